#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "history_store.h"
#include "host_app.h"
#include "test_support.h"

using smdhost::HistoryStore;
using smdhost::StoreError;

namespace {

std::vector<unsigned char> recordImage(unsigned char seed) {
    std::vector<unsigned char> img(37, 0);
    img[0] = seed;
    img[16] = 0x00;  // acVoltage = 80.0f
    img[17] = 0x00;
    img[18] = 0xa0;
    img[19] = 0x42;
    img[28] = 1;  // mains failure
    img[30] = 0xea;
    img[31] = 0x07;
    img[32] = 1;
    img[33] = 2;
    img[34] = seed % 24;  // rounds are kept in the order of their times
    return img;
}

}  // namespace

TEST(HistoryStore, KeepsRoundsAndGivesTheLatestBack) {
    plortest::TempDir dir;
    HistoryStore store(dir.file("h.db"), false);
    for (unsigned char i = 1; i <= 3; ++i) {
        const auto img = recordImage(i);
        store.addRound(i == 2 ? "b" : "a", 10, "round", img.data(), img.size(), "t");
    }
    std::vector<unsigned char> last;
    ASSERT_TRUE(store.lastRecord("a", last));
    EXPECT_EQ(last, recordImage(3));
    EXPECT_FALSE(store.lastRecord("c", last));
    EXPECT_EQ(store.countRounds(""), 3);
    EXPECT_EQ(store.countRounds("b"), 1);

    const auto latest = store.rounds("", 2);  // the latest two, oldest first
    ASSERT_EQ(latest.size(), 2u);
    EXPECT_EQ(latest[0].device, "b");
    EXPECT_EQ(latest[1].image, recordImage(3));
    EXPECT_EQ(store.rounds("a", 0).size(), 2u);

    const auto bad = std::vector<unsigned char>(36, 0);
    EXPECT_THROW(store.addRound("a", 10, "round", bad.data(), bad.size(), "t"), StoreError);
}

TEST(HistoryStore, AlarmStatesFollowTheLastTransition) {
    plortest::TempDir dir;
    HistoryStore store(dir.file("h.db"), false);
    store.addTransition("a", 1, "t1", "41B415001001", "市电故障", "80", true);
    store.addTransition("a", 1, "2026-01-02 03:04:05.678", "41B430501001", "模块故障", "模块故障", true);
    store.addTransition("a", 1, "t3", "41B415001001", "市电故障", "220", false);
    store.addTransition("b", 2, "t4", "41B220302001", "直流输出电压过低", "0", true);
    const auto states = store.alarmStates("a");
    EXPECT_EQ(states.size(), 2u);
    EXPECT_FALSE(states.at("41B415001001"));
    EXPECT_TRUE(states.at("41B430501001"));
    EXPECT_EQ(store.transitions("b", 0).size(), 1u);
    EXPECT_EQ(store.countTransitions(""), 4);
    // What the next start shows as still raised: with when, for the dashboard.
    const auto raised = store.raisedAlarms("a");
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].signalId, "41B430501001");
    EXPECT_EQ(raised[0].name, "模块故障");
    EXPECT_EQ(raised[0].t, smdhost::LocalTime().unix("2026-01-02 03:04:05"));
    EXPECT_GT(raised[0].t, 0);
}

TEST(HistoryStore, LeavesAnotherProgramsDatabaseAsItWas) {
    plortest::TempDir dir;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("app.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE users(id)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_THROW(HistoryStore(dir.file("app.db"), false), StoreError);
    ASSERT_EQ(sqlite3_open(dir.file("app.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT group_concat(name), (SELECT journal_mode FROM pragma_journal_mode) "
                       "FROM sqlite_master", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "users");
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)), "delete");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST(HistoryStore, ReopensInWalModeAndReadOnlyNeedsAFile) {
    plortest::TempDir dir;
    {
        HistoryStore store(dir.file("h.db"), false);
        const auto img = recordImage(5);
        store.addRound("a", 1, "round", img.data(), img.size(), "t");
    }
    HistoryStore reader(dir.file("h.db"), true);
    EXPECT_EQ(reader.countRounds(""), 1);
    EXPECT_THROW(HistoryStore(dir.file("missing.db"), true), StoreError);
    dir.write("junk.db", "this is not a database, just text of some length........\n");
    EXPECT_THROW(HistoryStore(dir.file("junk.db"), false), StoreError);
}

TEST(HistoryCommand, PrintsDecodedRoundsCsvAndTransitions) {
    plortest::TempDir dir;
    const std::string db = dir.file("h.db");
    {
        HistoryStore store(db, false);
        const auto img = recordImage(9);
        store.addRound("sps1", 9, "round", img.data(), img.size(), "2026-01-02 00:00:00.000");
        store.addTransition("sps1", 9, "2026-01-02 00:00:00.000", "41B415001001", "市电故障",
                            "80", true);
    }
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> expected;
    } cases[] = {
        {{"--db", db}, {"sps1", "round", "2026-01-02 00:00:00", "80", "市电故障"}},
        {{"--db", db, "--csv"},
         {"id,device,data_id,stored_at,source,record_time,temperature",
          ",sps1,9,2026-01-02 00:00:00.000,round,2026-01-02 09:00:00,0,0,0,80,0,0,0,0,0,1,0,09"}},
        {{"--db", db, "--transitions"}, {"RAISED", "41B415001001", "市电故障", "value 80"}},
        {{"--db", db, "--transitions", "--csv"},
         {"1,sps1,9,2026-01-02 00:00:00.000,raised,41B415001001,市电故障,80"}},
        {{"--db", db, "--device", "other"}, {"no rounds stored"}},
    };
    for (const auto& c : cases) {
        plortest::CoutCapture capture;
        EXPECT_EQ(smdhost::runHistory(c.args), 0);
        for (const auto& e : c.expected)
            EXPECT_NE(capture.text().find(e), std::string::npos) << e << "\n" << capture.text();
    }
    EXPECT_EQ(smdhost::runHistory({"--db", dir.file("none.db")}), 1);
    EXPECT_EQ(smdhost::runHistory({"--limit", "x"}), 2);
    EXPECT_EQ(smdhost::runHistory({"--bogus"}), 2);
}
