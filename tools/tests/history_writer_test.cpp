// The history's writer: storing on its own thread, in batches, keeping rows
// in order while the database takes no writes; and the start's proof that
// it does.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "history_store.h"
#include "history_writer.h"
#include "test_support.h"

using smdhost::HistoryRow;
using smdhost::HistoryWriter;

namespace {

// A database that can refuse writes or hold a batch until let go.
struct Database : smdhost::RowWriter {
    std::mutex m;
    std::condition_variable cv;
    bool failing = false, held = false;
    int attempts = 0;
    std::vector<std::size_t> batches;
    std::vector<std::string> stored, said;

    void write(const std::vector<HistoryRow>& rows) override {
        std::unique_lock<std::mutex> lock(m);
        ++attempts;
        cv.notify_all();
        cv.wait(lock, [&] { return !held; });
        if (failing) throw smdhost::StoreError("database or disk is full");
        batches.push_back(rows.size());
        for (const auto& r : rows) stored.push_back(r.at);
        cv.notify_all();
    }
    HistoryWriter::Say sayer() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m);
            said.push_back(line);
            cv.notify_all();
        };
    }
    template <typename Pred>
    bool until(Pred pred) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(10), pred);
    }
    void set(bool& flag, bool value) {
        std::lock_guard<std::mutex> lock(m);
        flag = value;
        cv.notify_all();
    }
};

HistoryRow row(const std::string& at) {
    HistoryRow r;
    r.at = at;
    return r;
}

}  // namespace

TEST(HistoryWriter, KeepsRowsInOrderUntilTheDatabaseTakesWritesAgain) {
    Database db;
    HistoryWriter writer(db, db.sayer(), 4, std::chrono::milliseconds(1));
    writer.add(row("a"));
    ASSERT_TRUE(db.until([&] { return db.stored.size() == 1; }));
    db.set(db.failing, true);
    for (const char* at : {"b", "c", "d", "e"}) writer.add(row(at));
    ASSERT_TRUE(db.until([&] { return db.attempts >= 3; }));
    db.set(db.failing, false);
    ASSERT_TRUE(db.until([&] { return db.stored.size() == 5 && db.said.size() == 2; }));
    EXPECT_EQ(db.stored, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_NE(db.said[0].find("takes no writes (database or disk is full)"), std::string::npos);
    EXPECT_NE(db.said[1].find("takes writes again: 4 kept rows stored"), std::string::npos);

    // Full: the oldest go, and the end counts them with those never stored.
    db.set(db.failing, true);
    for (const char* at : {"f", "g", "h", "i", "j"}) writer.add(row(at));
    ASSERT_TRUE(db.until([&] {
        return std::any_of(db.said.begin(), db.said.end(), [](const std::string& l) {
            return l.find("dropping the oldest") != std::string::npos;
        });
    }));
    EXPECT_EQ(writer.finish(), 5u);
    EXPECT_EQ(db.stored.back(), "e");
}

TEST(HistoryWriter, AddNeverWaitsForTheDatabaseAndStoresInBatches) {
    Database db;
    db.held = true;
    HistoryWriter writer(db, db.sayer());
    writer.add(row("0"));
    ASSERT_TRUE(db.until([&] { return db.attempts == 1; }));  // the writer is held
    // Two devices' rounds go in at once, though the database holds the writer.
    auto device = [&](const char* name) {
        return std::async(std::launch::async, [&writer, name] {
            for (int i = 1; i <= 150; ++i) writer.add(row(name + std::to_string(i)));
        });
    };
    auto a = device("a"), b = device("b");
    ASSERT_EQ(a.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(b.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    db.set(db.held, false);
    EXPECT_EQ(writer.finish(), 0u);
    ASSERT_EQ(db.stored.size(), 301u);
    int next[2] = {1, 1};  // each device's rounds in its own order
    for (std::size_t i = 1; i < db.stored.size(); ++i) {
        const std::string& at = db.stored[i];
        int& n = next[at[0] == 'a' ? 0 : 1];
        EXPECT_EQ(at.substr(1), std::to_string(n++));
    }
    EXPECT_EQ(db.batches, (std::vector<std::size_t>{1, 300}));  // one transaction for the backlog
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
