// The history while the database takes no writes, and the start's proof
// that it does.
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "history_store.h"
#include "store_queue.h"
#include "test_support.h"

using smdhost::HistoryRow;

namespace {

struct FlakyWriter : smdhost::RowWriter {
    bool failing = false;
    std::vector<std::string> stored;
    void write(const HistoryRow& row) override {
        if (failing) throw smdhost::StoreError("database or disk is full");
        stored.push_back(row.at);
    }
};

HistoryRow row(const std::string& at) {
    HistoryRow r;
    r.at = at;
    return r;
}

}  // namespace

TEST(StoreQueue, KeepsRowsInOrderUntilTheDatabaseTakesWritesAgain) {
    FlakyWriter db;
    std::vector<std::string> said;
    smdhost::StoreQueue queue(db, [&](const std::string& l) { said.push_back(l); }, 4);
    queue.add(row("a"));
    db.failing = true;
    for (const char* at : {"b", "c", "d"}) queue.add(row(at));
    ASSERT_EQ(said.size(), 1u);  // said once, not per row
    EXPECT_NE(said[0].find("takes no writes (database or disk is full)"), std::string::npos);
    db.failing = false;
    queue.add(row("e"));
    EXPECT_EQ(db.stored, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[1].find("takes writes again: 4 kept rows stored"), std::string::npos);
    EXPECT_EQ(queue.finish(), 0u);

    // Full: the oldest go, and the end counts them with those never stored.
    db.failing = true;
    for (const char* at : {"f", "g", "h", "i", "j"}) queue.add(row(at));
    EXPECT_NE(said.back().find("dropping the oldest"), std::string::npos);
    EXPECT_EQ(queue.finish(), 5u);
    db.failing = false;
    EXPECT_EQ(queue.finish(), 1u);  // g to j stored; f lost
    EXPECT_EQ(db.stored.back(), "j");
}

TEST(HistoryStore, StartProvesItCanWrite) {
    plortest::TempDir dir;
    { smdhost::HistoryStore make(dir.file("h.db"), false); }
    smdhost::HistoryStore readOnly(dir.file("h.db"), true);
    try {
        readOnly.checkSound();
        ADD_FAILURE() << "a read-only database passed";
    } catch (const smdhost::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot be written"), std::string::npos) << e.what();
    }
    smdhost::HistoryStore writable(dir.file("h.db"), false);
    EXPECT_NO_THROW(writable.checkSound());
}
