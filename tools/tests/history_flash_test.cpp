// The history as a board's flash needs it: a file held to its budget while
// a run writes past it, group commits, and an unclean end counted.
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "history_store.h"
#include "history_writer.h"
#include "record_stamp.h"
#include "test_support.h"

using smdhost::HistoryRow;
using smdhost::HistoryStore;

namespace {

constexpr long long kT0 = 1780000000 / 3600 * 3600;

HistoryRow roundAt(long long t, int device) {
    HistoryRow row;
    row.device = "sps" + std::to_string(device);
    row.dataId = static_cast<unsigned>(device);
    row.source = "round";
    row.at = "stamp";
    row.image.assign(37, 0);
    const float readings[5] = {25, 50, 53.5f, 220, 10};
    std::memcpy(&row.image[4], readings, sizeof readings);
    smdtest::stampRecord(row.image, t);
    return row;
}

long long onDisk(const std::string& path) {
    long long total = 0;
    for (const char* suffix : {"", "-wal"}) {
        struct stat st {};
        if (::stat((path + suffix).c_str(), &st) == 0) total += st.st_size;
    }
    return total;
}

class HistoryFlash : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    plortest::TempDir dir;
};

// Rows counted as the writer hands them over.
struct CountingWriter : smdhost::RowWriter {
    std::vector<std::size_t> batches;
    void write(const std::vector<HistoryRow>& rows) override { batches.push_back(rows.size()); }
};

}  // namespace

// Four devices, a round a second each, ten seconds a commit, for a day:
// about two and a half times the budget. The file never passes it; the oldest rounds
// went, the last hour's and the old transition stayed, and the tiers still
// answer for the first hour.
TEST_F(HistoryFlash, HoldsItsBudgetWhileARunWritesPastIt) {
    const std::string path = dir.file("h.db");
    const long long budget = 8 << 20;
    HistoryStore store(path, false);
    store.setBudget(budget);
    store.addTransition("sps1", 1, "2026-05-28 20:00:00.000", "41B415001001", "市电故障", "80", true);
    long long largest = 0;
    const long long end = kT0 + 24 * 3600;
    for (long long t = kT0; t < end; t += 10) {
        std::vector<HistoryRow> batch;
        for (long long s = t; s < t + 10; ++s)
            for (int d = 1; d <= 4; ++d) batch.push_back(roundAt(s, d));
        store.add(batch);
        largest = std::max(largest, onDisk(path));
    }
    EXPECT_LE(largest, budget);
    EXPECT_GT(largest, budget / 2);
    for (int d = 1; d <= 4; ++d) {
        const std::string device = "sps" + std::to_string(d);
        SCOPED_TRACE(device);
        const auto raw = store.plot(device, end - 3600, end - 1, 4000);
        EXPECT_EQ(raw.tier, "raw");
        EXPECT_EQ(raw.points.size(), 3600u);
        EXPECT_TRUE(store.plot(device, kT0, kT0 + 60).tier != "raw");
        long long rounds = 0;
        for (const auto& p : store.plot(device, kT0, kT0 + 3599).points) rounds += p.rounds;
        EXPECT_EQ(rounds, 3600);
    }
    EXPECT_EQ(store.countTransitions("sps1"), 1);
    EXPECT_LT(store.countRounds(""), 4 * 24 * 3600);
}

// A commit interval gathers what comes in it into one batch; the end of the
// run does not wait for it.
TEST(HistoryWriterGroups, OneBatchPerIntervalAndNoWaitAtTheEnd) {
    CountingWriter rows;
    smdhost::HistoryWriter writer(rows, [](const std::string&) {}, smdhost::HistoryWriter::kCapacity,
                                  std::chrono::milliseconds(1000), std::chrono::hours(1));
    for (int i = 0; i < 100; ++i) writer.add(roundAt(kT0 + i, 1));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(writer.finish(), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(30));
    // The first round may have gone alone: a run's first rows do not wait.
    ASSERT_LE(rows.batches.size(), 2u);
    EXPECT_EQ(rows.batches.back() + (rows.batches.size() == 2 ? rows.batches.front() : 0), 100u);
}

// A run that never ended: the next start says from when rounds may be
// missing and how many rows it still held; one that ended cleanly: nothing.
TEST_F(HistoryFlash, AnUncleanEndIsSaidOnceWithWhatWasHeld) {
    const std::string path = dir.file("h.db");
    {
        HistoryStore run(path, false);
        EXPECT_FALSE(run.beginRun("2026-05-28 20:00:00.000").found);
        run.setWaiting(17);
        run.add({roundAt(kT0, 1), roundAt(kT0 + 1, 1)});
    }  // no endRun: killed
    {
        HistoryStore next(path, false);
        const smdhost::UncleanEnd end = next.beginRun("2026-05-28 21:00:00.000");
        ASSERT_TRUE(end.found);
        EXPECT_EQ(end.lastRound, kT0 + 1);
        EXPECT_EQ(end.lost, 17);
        const auto said = next.transitions("", 0);
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0].at, "2026-05-28 21:00:00.000");
        EXPECT_EQ(said[0].valueText, "rounds may be missing after " + end.lastText +
                                         "; 17 rows kept in memory were lost");
        next.endRun();
    }
    HistoryStore clean(path, false);
    EXPECT_FALSE(clean.beginRun("2026-05-28 22:00:00.000").found);
    EXPECT_EQ(clean.transitions("", 0).size(), 1u);
}
