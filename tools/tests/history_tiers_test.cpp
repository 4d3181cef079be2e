// The history's tiers, pruning and plot query, on real database files; the
// old-schema file was written by smd-host before the tiers existed.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "history_store.h"
#include "host_app.h"
#include "record.h"
#include "test_support.h"

using smdhost::HistoryStore;

namespace {

constexpr long long kT0 = 1780000000 / 3600 * 3600;  // an hour's start in 2026

// A record measured at unix time t (read as UTC), with dc volts and alarm flags.
std::vector<unsigned char> roundAt(long long t, float dc, unsigned alarms = 0) {
    std::vector<unsigned char> img(37, 0);
    const float readings[5] = {25, 50, dc, 220, 10};
    std::memcpy(&img[4], readings, sizeof readings);
    for (int i = 0; i < 6; ++i) img[24 + i] = (alarms >> i) & 1;
    std::tm tm{};
    const std::time_t tt = static_cast<std::time_t>(t);
    gmtime_r(&tt, &tm);
    const int year = tm.tm_year + 1900;
    img[30] = year & 0xff;
    img[31] = year >> 8;
    img[32] = static_cast<unsigned char>(tm.tm_mon + 1);
    img[33] = static_cast<unsigned char>(tm.tm_mday);
    img[34] = static_cast<unsigned char>(tm.tm_hour);
    img[35] = static_cast<unsigned char>(tm.tm_min);
    img[36] = static_cast<unsigned char>(tm.tm_sec);
    return img;
}

void add(HistoryStore& store, long long t, float dc, unsigned alarms = 0,
         const char* source = "round") {
    const auto img = roundAt(t, dc, alarms);
    store.addRound("sps1", 1, source, img.data(), img.size(), "stamp");
}

class HistoryTiers : public ::testing::Test {
protected:
    // Record times are local; UTC keeps the expected values plain.
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    plortest::TempDir dir;
};

}  // namespace

TEST_F(HistoryTiers, KeepMinMeanMaxAndAnyAlarmPerBucket) {
    HistoryStore store(dir.file("h.db"), false);
    add(store, kT0 + 1, 50, 0);
    add(store, kT0 + 30, 54, 1u << 4);
    add(store, kT0 + 59, 52, 0);
    add(store, kT0 + 59, 10, 0, "restore");  // a copy handed back at start: not counted
    add(store, kT0 + 61, 48, 1u << 0);
    add(store, kT0 + 3600, 40, 0);
    // The files as a crash would leave them, the current minute only in memory.
    for (const char* suffix : {"", "-wal"}) {
        std::ifstream in(dir.file("h.db") + suffix, std::ios::binary);
        dir.write(std::string("crashed.db") + suffix, std::string(std::istreambuf_iterator<char>(in), {}));
    }
    HistoryStore crashed(dir.file("crashed.db"), false);

    struct Case {
        long long from, to;
        const char* tier;
        std::vector<std::vector<double>> points;  // t - kT0, rounds, dc min, mean, max, alarms
    } cases[] = {
        {kT0, kT0 + 3600, "raw",
         {{1, 1, 50, 50, 50, 0}, {30, 1, 54, 54, 54, 16}, {59, 1, 52, 52, 52, 0},
          {61, 1, 48, 48, 48, 1}, {3600, 1, 40, 40, 40, 0}}},
        {kT0, kT0 + 86399, "minute",
         {{0, 3, 50, 52, 54, 16}, {60, 1, 48, 48, 48, 1}, {3600, 1, 40, 40, 40, 0}}},
        {kT0 - 86400 * 29, kT0 + 86400, "hour", {{0, 4, 48, 51, 54, 17}, {3600, 1, 40, 40, 40, 0}}},
    };
    for (const auto& c : cases) for (HistoryStore* from : {&store, &crashed}) {
        const auto s = from->plot("sps1", c.from, c.to);
        EXPECT_EQ(s.tier, c.tier);
        ASSERT_EQ(s.points.size(), c.points.size()) << c.tier;
        for (std::size_t i = 0; i < s.points.size(); ++i) {
            const auto& p = s.points[i];
            const auto& e = c.points[i];
            EXPECT_EQ(p.t - kT0, e[0]) << c.tier << " " << i;
            EXPECT_EQ(p.rounds, e[1]) << c.tier << " " << i;
            EXPECT_FLOAT_EQ(p.min[2], e[2]);
            EXPECT_FLOAT_EQ(p.mean[2], e[3]);
            EXPECT_FLOAT_EQ(p.max[2], e[4]);
            EXPECT_EQ(p.alarms, e[5]) << c.tier << " " << i;
            EXPECT_FLOAT_EQ(p.mean[3], 220);
        }
    }
    EXPECT_TRUE(store.plot("other", kT0, kT0 + 60).points.empty());
    EXPECT_TRUE(store.plot("sps1", kT0 + 60, kT0).points.empty());
    // A web client's range and size, however wild, give a bounded answer.
    const auto wild = store.plot("sps1", LLONG_MIN, LLONG_MAX, SIZE_MAX);
    EXPECT_EQ(wild.tier, "hour");
    EXPECT_EQ(wild.points.size(), 2u);
}

TEST_F(HistoryTiers, AnswersEachRangeWithAboutMaxPoints) {
    HistoryStore store(dir.file("h.db"), false);
    // Two days of a round every 20 s, and one round a day for a year before.
    for (long long t = kT0 - 365 * 86400LL; t < kT0 - 2 * 86400; t += 86400) add(store, t, 50);
    for (long long t = kT0 - 2 * 86400; t < kT0; t += 20) add(store, t, 50 + (t / 20) % 3);

    struct Case {
        long long span;
        std::size_t maxPoints;
        const char* tier;
        long long step;
    } cases[] = {
        {600, 2000, "raw", 0},          // 30 rounds
        {3600, 2000, "raw", 0},         // 180 rounds
        {3600 * 4, 200, "minute", 120}, // 240 buckets merged two to one
        {86400, 2000, "minute", 60},    // 1440 buckets
        {86400, 500, "minute", 180},    // merged three to one
        {30 * 86400, 2000, "hour", 3600},
        {365 * 86400, 2000, "hour", 3600},  // the rows there are fit
        {365 * 86400, 100, "hour", 88 * 3600},
    };
    for (const auto& c : cases) {
        const auto s = store.plot("sps1", kT0 - c.span, kT0 - 1, c.maxPoints);
        EXPECT_EQ(s.tier, c.tier) << c.span;
        EXPECT_EQ(s.step, c.step) << c.span;
        EXPECT_FALSE(s.points.empty());
        EXPECT_LE(s.points.size(), c.maxPoints + 1) << c.span;
        long long rounds = 0, last = kT0 - c.span - s.step - 1;
        for (const auto& p : s.points) {
            EXPECT_GT(p.t, last);  // oldest first, one point per bucket
            last = p.t;
            rounds += p.rounds;
            EXPECT_GE(p.mean[2], p.min[2]);
            EXPECT_LE(p.mean[2], p.max[2]);
        }
        EXPECT_EQ(rounds, std::min<long long>(c.span, 2 * 86400) / 20 +
                              (c.span > 2 * 86400 ? (c.span - 2 * 86400) / 86400 : 0))
            << c.span;
    }
}

TEST_F(HistoryTiers, PlotsWhileRoundsAreStored) {
    HistoryStore store(dir.file("h.db"), false);
    std::thread writer([&] {
        for (long long t = kT0; t < kT0 + 600; ++t) add(store, t, 50);
    });
    long long seen = 0;
    while (seen < 600) {
        long long rounds = 0;
        for (const auto& p : store.plot("sps1", kT0, kT0 + 86399).points) rounds += p.rounds;
        EXPECT_GE(rounds, seen);  // never fewer than before, the live minute included
        seen = rounds;
        if (store.countRounds("sps1") == 600) break;
    }
    writer.join();
    long long rounds = 0;
    for (const auto& p : store.plot("sps1", kT0, kT0 + 86399).points) rounds += p.rounds;
    EXPECT_EQ(rounds, 600);
}

TEST_F(HistoryTiers, PrunesAFewRowsARoundAndFallsBackToTheTiers) {
    HistoryStore store(dir.file("h.db"), false);
    for (long long t = kT0; t < kT0 + 3 * 3600; t += 10) add(store, t, 50);
    EXPECT_EQ(store.countRounds("sps1"), 3 * 360);

    smdhost::Retention keep;
    keep.raw = 3600;
    keep.minute = 2 * 3600;
    store.setRetention(keep);
    // Each round takes at most a batch with it: no round stalls on a big delete.
    long long before = store.countRounds("sps1");
    for (int i = 0; i < 300; ++i) {
        add(store, kT0 + 3 * 3600 + i, 50);
        const long long now = store.countRounds("sps1");
        EXPECT_GE(now, before + 1 - 1024);
        before = now;
    }
    EXPECT_LE(store.countRounds("sps1"), 360 + 300);

    // The first hour: raw and minute rows are gone, the hour tier answers.
    const auto old = store.plot("sps1", kT0, kT0 + 1800);
    EXPECT_EQ(old.tier, "hour");
    ASSERT_EQ(old.points.size(), 1u);
    EXPECT_EQ(old.points[0].rounds, 360);
    // The second hour's minutes are still there.
    const auto middle = store.plot("sps1", kT0 + 5400, kT0 + 7000);
    EXPECT_EQ(middle.tier, "minute");
    EXPECT_EQ(middle.points.size(), 27u);
}

TEST_F(HistoryTiers, UpgradesAnOldFileInPlace) {
    const std::string db = dir.file("old.db");
    {
        std::ifstream in(std::string(SMD_TEST_DATA) + "/history-v0.db", std::ios::binary);
        dir.write("old.db", std::string(std::istreambuf_iterator<char>(in), {}));
    }
    auto history = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--db", db});
        plortest::CoutCapture capture;
        EXPECT_EQ(smdhost::runHistory(args), 0);
        return capture.text();
    };
    // What the old file holds, read beside this build's store.
    std::vector<std::string> before;
    {
        sqlite3* old = nullptr;
        ASSERT_EQ(sqlite3_open_v2(db.c_str(), &old, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(old, "SELECT device || ',' || data_id || ',' || stored_at || ',' || source || ',' "
                                "|| lower(hex(record)) FROM rounds ORDER BY id", -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            before.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        sqlite3_close(old);
    }
    ASSERT_EQ(before.size(), 12u);
    // Read-only, an old file is refused with the reason, left as it was.
    {
        plortest::CoutCapture capture;
        EXPECT_EQ(smdhost::runHistory({"--db", db}), 1);
    }

    for (int open = 0; open < 2; ++open) {  // the second open finds it upgraded already
        HistoryStore store(db, false);
        EXPECT_EQ(store.countRounds(""), 12);
        const long long from = 1796691129, to = from + 11;  // 2026-12-08 00:52:09..20 UTC
        const auto raw = store.plot("sps1", from, to);
        EXPECT_EQ(raw.tier, "raw");
        ASSERT_EQ(raw.points.size(), 12u);
        EXPECT_EQ(raw.points.back().t, to);
        const auto minutes = store.plot("sps1", from - 86400, to);
        EXPECT_EQ(minutes.tier, "minute");
        ASSERT_EQ(minutes.points.size(), 1u);
        const auto& m = minutes.points[0];
        EXPECT_EQ(m.rounds, 12);
        EXPECT_FLOAT_EQ(m.min[3], 80);
        EXPECT_FLOAT_EQ(m.max[3], 220);
        EXPECT_FLOAT_EQ(m.mean[3], (6 * 220 + 3 * 120 + 3 * 80) / 12.0f);
        EXPECT_EQ(m.alarms, (1u << 3) | (1u << 4) | (1u << 5));
        const auto rows = store.transitionsBetween("sps1", from, to);
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[2].signalId, "41B415001001");
        EXPECT_EQ(rows[2].t, from + 9);
        EXPECT_TRUE(store.transitionsBetween("sps1", from + 10, to).empty());
        std::vector<std::string> after;
        for (const auto& r : store.rounds("", 0))
            after.push_back(r.device + "," + std::to_string(r.dataId) + "," + r.storedAt + "," + r.source +
                            "," + smdhost::hexOf(r.image.data(), r.image.size()));
        EXPECT_EQ(after, before);
    }
    EXPECT_NE(history({"--csv"}).find("2026-12-08 00:52:20"), std::string::npos);
    EXPECT_NE(history({"--transitions", "--csv"}).find("41B415001001"), std::string::npos);
}
