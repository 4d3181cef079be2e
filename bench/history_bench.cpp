// The history store's costs: storing one round with its tiers (and, with a
// short raw retention, the pruning every round then does), and plot queries
// over a database of 30 days of rounds a second. That database is written in
// the first schema and upgraded by opening it (compacted once), which is
// timed too; it is kept in the build folder for the next run.
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "history_sink.h"
#include "history_store.h"
#include "history_writer.h"
#include "test_support.h"

namespace {

constexpr long long kEnd = 1780000000 / 3600 * 3600;  // the last round's time (2026)
constexpr long long kDays = 30, kRounds = kDays * 86400;
const char* const kDevice = "sps1";

struct Reading {
    float v[5];
    unsigned alarms;
};

// Smooth daily swings, and a ten-minute mains failure every day.
Reading readingAt(long long t) {
    const double day = 6.283185307179586 * static_cast<double>(t % 86400) / 86400.0;
    const bool mainsDown = t % 86400 >= 43200 && t % 86400 < 43800;
    Reading r{{static_cast<float>(25 + 5 * std::sin(day)), static_cast<float>(50 + 3 * std::cos(day)),
               mainsDown ? 51.0f : 53.5f, mainsDown ? 0.0f : 220.0f, mainsDown ? 0.0f : 12.0f},
              mainsDown ? (1u << 4) : 0u};
    return r;
}

// The 37-byte record of the round at t; its time fields read as local (UTC here).
void recordAt(long long t, unsigned char* img, std::string& timeText) {
    std::memset(img, 0, 37);
    const Reading r = readingAt(t);
    img[0] = 1;
    std::memcpy(img + 4, r.v, sizeof r.v);
    for (int i = 0; i < 6; ++i) img[24 + i] = (r.alarms >> i) & 1;
    std::tm tm{};
    const std::time_t tt = static_cast<std::time_t>(t);
    gmtime_r(&tt, &tm);
    const int year = tm.tm_year + 1900;
    img[30] = year & 0xff;
    img[31] = static_cast<unsigned char>(year >> 8);
    img[32] = static_cast<unsigned char>(tm.tm_mon + 1);
    img[33] = static_cast<unsigned char>(tm.tm_mday);
    img[34] = static_cast<unsigned char>(tm.tm_hour);
    img[35] = static_cast<unsigned char>(tm.tm_min);
    img[36] = static_cast<unsigned char>(tm.tm_sec);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", year, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    timeText = buf;
}

void check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
}

// The rounds table as smd-host wrote it before the tiers.
const char* const kOldSchema = R"(
CREATE TABLE rounds(id INTEGER PRIMARY KEY AUTOINCREMENT, device TEXT NOT NULL,
  data_id INTEGER NOT NULL, stored_at TEXT NOT NULL, source TEXT NOT NULL,
  record BLOB NOT NULL CHECK(length(record) = 37), record_time TEXT,
  temperature REAL, load_current REAL, dc_voltage REAL, ac_voltage REAL, ac_current REAL,
  dc_low INTEGER, dc_high INTEGER, ac_high INTEGER, ac_low INTEGER,
  mains_fail INTEGER, module_fail INTEGER);
CREATE INDEX rounds_by_device ON rounds(device, id);
CREATE TABLE transitions(id INTEGER PRIMARY KEY AUTOINCREMENT, device TEXT NOT NULL,
  data_id INTEGER NOT NULL, at TEXT NOT NULL, signal_id TEXT NOT NULL, name TEXT NOT NULL,
  value_text TEXT, state TEXT NOT NULL CHECK(state IN ('raised', 'cleared')));
CREATE INDEX transitions_by_device ON transitions(device, id);
)";

bool cached(const std::string& path) {
    sqlite3* db = nullptr;
    bool ok = false;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT (SELECT count(*) FROM rounds), user_version FROM pragma_user_version",
                               -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            ok = sqlite3_column_int64(s, 0) == kRounds && sqlite3_column_int(s, 1) == smdhost::kHistorySchema;
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return ok;
}

void writeOldDatabase(const std::string& path) {
    std::remove(path.c_str());
    std::remove((path + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db), db);
    check(sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, kOldSchema, nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db,
                             "INSERT INTO rounds(device, data_id, stored_at, source, record, "
                             "record_time, temperature, load_current, dc_voltage, ac_voltage, "
                             "ac_current, dc_low, dc_high, ac_high, ac_low, mains_fail, module_fail) "
                             "VALUES(?1,1,?2,'round',?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15)",
                             -1, &s, nullptr),
          db);
    unsigned char img[37];
    std::string timeText;
    for (long long t = kEnd - kRounds + 1; t <= kEnd; ++t) {
        recordAt(t, img, timeText);
        const Reading r = readingAt(t);
        const std::string stamp = timeText + ".000";
        sqlite3_bind_text(s, 1, kDevice, -1, SQLITE_STATIC);
        sqlite3_bind_text(s, 2, stamp.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_blob(s, 3, img, 37, SQLITE_STATIC);
        sqlite3_bind_text(s, 4, timeText.c_str(), -1, SQLITE_STATIC);
        for (int i = 0; i < 5; ++i) sqlite3_bind_double(s, 5 + i, r.v[i]);
        for (int i = 0; i < 6; ++i) sqlite3_bind_int(s, 10 + i, (r.alarms >> i) & 1);
        check(sqlite3_step(s), db);
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_close(db);
}

std::string g_db;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void prepareDatabase() {
    g_db = std::string(HISTORY_BENCH_DIR) + "/history-30d.db";
    if (cached(g_db)) return;
    auto start = std::chrono::steady_clock::now();
    writeOldDatabase(g_db);
    std::printf("wrote %lld rounds in the old schema: %.1f s\n", kRounds, secondsSince(start));
    start = std::chrono::steady_clock::now();
    smdhost::HistoryStore store(g_db, false);  // the upgrade, tiers made from the rounds
    std::printf("upgraded in place: %.1f s\n", secondsSince(start));
}

// Records of consecutive seconds made beforehand: only storing is timed.
constexpr std::size_t kImages = 200000;
const std::vector<unsigned char>& recordImages() {
    static std::vector<unsigned char> images;
    if (images.empty()) {
        images.resize(kImages * 37);
        std::string timeText;
        for (std::size_t i = 0; i < kImages; ++i)
            recordAt(kEnd - kRounds + static_cast<long long>(i), &images[i * 37], timeText);
    }
    return images;
}

// Arg 0: raw rounds kept 30 days (nothing to prune yet); arg 1: kept 10
// minutes, so every 256th round also prunes a batch; arg 2: rounds stored as restored
// copies, which skip the tiers and pruning: the raw row's own cost.
void BM_StoreRound(benchmark::State& state) {
    plortest::TempDir dir("plor-bench");
    smdhost::HistoryStore store(dir.file("h.db"), false);
    if (state.range(0) == 1) {
        smdhost::Retention keep;
        keep.raw = 600;
        store.setRetention(keep);
    }
    const std::vector<unsigned char>& images = recordImages();
    std::size_t i = 0;
    for (auto _ : state) {
        store.addRound(kDevice, 1, state.range(0) == 2 ? "restore" : "round", &images[i * 37], 37,
                       "2026-05-28 20:00:00.000");
        i = (i + 1) % kImages;
    }
    if (state.range(0) == 1 && store.countRounds(kDevice) > 600 + 256) state.SkipWithError("no pruning");
}
BENCHMARK(BM_StoreRound)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A round as smd-host stores it: the polling thread hands the event to the
// history's sink, the writer thread stores it in a batch with others. Counted
// per round: the polling thread's CPU (poll_cpu_us) and the whole process's
// (all_cpu_us, the writer's share included), the last backlog stored.
void BM_HostStoresRound(benchmark::State& state) {
    plortest::TempDir dir("plor-bench");
    smdhost::HistoryStore store(dir.file("h.db"), false);
    smdhost::StoreWriter rows(store);
    smdhost::HistoryWriter writer(rows, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    smdhost::HistorySink sink(writer);
    smdhost::RoundEvent e;
    e.device = kDevice;
    e.dataId = 1;
    e.storedAt = "2026-05-28 20:00:00.000";
    const std::vector<unsigned char>& images = recordImages();
    std::size_t i = 0;
    double pollCpu = 0;
    const double allBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    for (auto _ : state) {
        // Rounds come far faster here than from devices: the writer is let catch up.
        if (i % 1000 == 0)
            while (writer.backlog() > 4000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        e.image.assign(&images[i * 37], &images[i * 37] + 37);  // as the host copies it
        const double before = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        sink.onEvent(e);
        pollCpu += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
        i = (i + 1) % kImages;
    }
    if (writer.finish() != 0) state.SkipWithError("rounds not stored");
    const double all = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - allBefore;
    const double n = static_cast<double>(state.iterations());
    state.counters["poll_cpu_us"] = pollCpu / n * 1e6;
    state.counters["all_cpu_us"] = all / n * 1e6;
    if (store.countRounds(kDevice) != static_cast<long long>(state.iterations()))
        state.SkipWithError("a round is missing");
}
BENCHMARK(BM_HostStoresRound)->Iterations(kImages)->Unit(benchmark::kMicrosecond);

// Arg: the range in hours, ending at the last round.
void BM_Plot(benchmark::State& state) {
    smdhost::HistoryStore store(g_db, true);
    const long long span = state.range(0) * 3600;
    std::size_t points = 0;
    std::string tier;
    for (auto _ : state) {
        const smdhost::PlotSeries s = store.plot(kDevice, kEnd - span + 1, kEnd);
        points = s.points.size();
        tier = s.tier;
        benchmark::DoNotOptimize(s.points.data());
    }
    state.counters["points"] = static_cast<double>(points);
    state.SetLabel(tier);
    if (points == 0 || points > 2100) state.SkipWithError("points out of bounds");
}
BENCHMARK(BM_Plot)->Arg(1)->Arg(24)->Arg(30 * 24)->Arg(365 * 24)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("TZ", "UTC", 1);  // the synthetic record times are UTC
    ::tzset();
    benchmark::Initialize(&argc, argv);
    prepareDatabase();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
