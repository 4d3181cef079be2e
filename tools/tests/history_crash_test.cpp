// The history after a writer killed at random moments: each start finds the
// tiers equal to what the raw rounds sum up to, the killed runs' rounds
// included, and says that the run before ended without a clean stop.
#include <sqlite3.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "history_store.h"
#include "history_writer.h"
#include "record.h"
#include "readings.h"
#include "record_stamp.h"
#include "test_support.h"

using smdhost::HistoryRow;
using smdhost::HistoryStore;

namespace {

constexpr long long kT0 = 1780000000 / 3600 * 3600 + 1800;  // mid-hour

HistoryRow roundAt(long long t) {
    HistoryRow row;
    row.device = "sps1";
    row.dataId = 1;
    row.source = "round";
    row.at = "stamp";
    row.image.assign(37, 0);
    const float readings[5] = {20.0f + static_cast<float>(t % 7), 50, 53.0f - static_cast<float>(t % 5) / 4, 220, 10};
    std::memcpy(&row.image[4], readings, sizeof readings);
    row.image[28] = (t % 13 == 0) ? 1 : 0;
    smdtest::stampRecord(row.image, t);
    return row;
}

long long latest(const std::string& path) {
    HistoryStore store(path, true);
    const auto rows = store.rounds("sps1", 1);
    if (rows.empty()) return kT0 - 1;
    return kT0 + store.countRounds("sps1") - 1;
}

// A writer in a child process, storing batches of 1 to 20 rounds a second
// apart; it says after each commit, and is killed after `commits` of them.
void killedRun(const std::string& path, int commits, unsigned seed) {
    const long long from = latest(path) + 1;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(ready[0]);
        HistoryStore store(path, false);
        long long t = from;
        for (unsigned r = seed;; r = r * 1103515245u + 12345u) {
            std::vector<HistoryRow> batch;
            for (unsigned n = 1 + (r >> 16) % 20; n > 0; --n) batch.push_back(roundAt(t++));
            store.add(batch);
            (void)!::write(ready[1], "c", 1);
        }
    }
    ::close(ready[1]);
    char c;
    for (int i = 0; i < commits; ++i) ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(ready[0]);
    EXPECT_TRUE(WIFSIGNALED(status));
}

using Sums = std::map<long long, std::tuple<long long, double, double, double, long long>>;

// Per bucket: rounds, and min, sum, max of the dc voltage, and the alarm mask.
Sums tierSums(sqlite3* db, const std::string& table) {
    Sums out;
    sqlite3_stmt* st = nullptr;
    const std::string sql = "SELECT key >> 12, n, dc_voltage_min, dc_voltage_sum, dc_voltage_max, alarms FROM " + table;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (sqlite3_step(st) == SQLITE_ROW)
        out[sqlite3_column_int64(st, 0)] =
            std::make_tuple(sqlite3_column_int64(st, 1), sqlite3_column_double(st, 2),
                            sqlite3_column_double(st, 3), sqlite3_column_double(st, 4),
                            sqlite3_column_int64(st, 5));
    sqlite3_finalize(st);
    return out;
}

// The same summed up from the stored records.
Sums rawSums(const std::string& path, long long step) {
    HistoryStore store(path, true);
    Sums out;
    for (const auto& row : store.rounds("sps1", 0)) {
        smdhost::Record r;
        if (row.source != "round" || !smdhost::decodeRecord(row.image.data(), row.image.size(), r)) continue;
        const long long t = smdhost::LocalTime().unix(r.year, r.month, r.day, r.hour, r.minute, r.second);
        auto& [n, lo, sum, hi, alarms] = out[t / step * step];
        lo = n == 0 ? r.dcVoltage : std::min<double>(lo, r.dcVoltage);
        hi = n == 0 ? r.dcVoltage : std::max<double>(hi, r.dcVoltage);
        sum += r.dcVoltage;
        alarms |= static_cast<long long>(r.alarms[4]) << 4;
        ++n;
    }
    return out;
}

void expectTiersEqualRaw(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    for (const auto& [table, step] : {std::pair<std::string, int>{"tier_minute", 60},
                                      std::pair<std::string, int>{"tier_hour", 3600}}) {
        SCOPED_TRACE(table);
        const Sums raw = rawSums(path, step), tier = tierSums(db, table);
        ASSERT_EQ(tier.size(), raw.size());
        for (const auto& [t, r] : raw) {
            ASSERT_EQ(tier.count(t), 1u) << t;
            const auto& m = tier.at(t);
            EXPECT_EQ(std::get<0>(m), std::get<0>(r)) << t;
            EXPECT_DOUBLE_EQ(std::get<1>(m), std::get<1>(r)) << t;
            EXPECT_NEAR(std::get<2>(m), std::get<2>(r), 1e-6 * std::abs(std::get<2>(r))) << t;
            EXPECT_DOUBLE_EQ(std::get<3>(m), std::get<3>(r)) << t;
            EXPECT_EQ(std::get<4>(m), std::get<4>(r)) << t;
        }
    }
    sqlite3_close(db);
}

// A run as smd-host makes it, in a child: rounds handed to a writer with a
// commit interval, the pipe told each round's time as it is handed over;
// killed after `rounds` of them.
long long killedGroupRun(const std::string& path, int rounds) {
    const long long from = latest(path) + 1;
    int handed[2];
    EXPECT_EQ(::pipe(handed), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(handed[0]);
        HistoryStore store(path, false);
        store.beginRun("start");
        smdhost::StoreWriter rows(store);
        // Room for all it is handed (the pipe lets it run ahead): none dropped.
        smdhost::HistoryWriter writer(rows, [](const std::string&) {}, 1000000, std::chrono::milliseconds(1000),
                                      std::chrono::milliseconds(2));
        for (long long t = from;; ++t) {
            writer.add(roundAt(t));
            (void)!::write(handed[1], "r", 1);
        }
    }
    ::close(handed[1]);
    char c;
    for (int i = 0; i < rounds; ++i) EXPECT_EQ(::read(handed[0], &c, 1), 1);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(handed[0]);
    EXPECT_TRUE(WIFSIGNALED(status));
    return from;
}

}  // namespace

TEST(HistoryCrash, RepeatedKillsLoseNoRoundFromTheTiers) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    plortest::TempDir dir;
    const std::string path = dir.file("h.db");
    { HistoryStore create(path, false); }
    for (unsigned run = 0; run < 12; ++run) killedRun(path, 2 + static_cast<int>(run * 7 % 11), run + 1);
    const long long from = latest(path) + 1;
    {
        HistoryStore clean(path, false);
        for (long long t = from; t < from + 90; ++t) clean.add({roundAt(t)});
    }
    HistoryStore read(path, true);
    EXPECT_GT(read.countRounds("sps1"), 200);
    expectTiersEqualRaw(path);
}

// Group commits killed at random points: what is stored is every round from
// the first on, none skipped, the tiers agree, and each next start says the
// run before ended uncleanly, from its last stored round on.
TEST(HistoryCrash, GroupCommitsKilledLoseOnlyTheLastRoundsAndSaySo) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    plortest::TempDir dir;
    const std::string path = dir.file("h.db");
    { HistoryStore create(path, false); }
    unsigned seed = 7;
    int committed = 0;  // runs killed after a commit of their own
    for (int run = 0; run < 8; ++run) {
        seed = seed * 1103515245u + 12345u;
        const long long from = killedGroupRun(path, 500 + static_cast<int>((seed >> 16) % 8000));
        HistoryStore next(path, false);
        const long long stored = next.countRounds("sps1");
        const smdhost::UncleanEnd end = next.beginRun("2026-06-01 00:00:00.000");
        ASSERT_TRUE(end.found) << run;
        // No gap: the rounds kept are the first ones, up to the last committed.
        EXPECT_EQ(end.lastRound, stored == 0 ? -1 : kT0 + stored - 1) << run;
        if (stored > 0) {
            EXPECT_GE(end.lastRound, from - 1);
            EXPECT_NE(end.lastText.find(":"), std::string::npos);
        }
        committed += stored > 0 && end.lastRound >= from;
        const auto said = next.transitions("", 1);
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0].signalId, smdhost::kUncleanSignalId);
        EXPECT_NE(said[0].valueText.find(end.lastText), std::string::npos);
        next.endRun();
    }
    EXPECT_GT(committed, 0);
    expectTiersEqualRaw(path);
    HistoryStore clean(path, false);
    EXPECT_FALSE(clean.beginRun("later").found);  // the run before ended with endRun
}
