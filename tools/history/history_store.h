// The host's history: every stored record and every alarm transition, in an
// SQLite database (WAL, so `smd-host history` can read while a run writes),
// with per-minute and per-hour summaries written in the same transaction as
// the rounds they sum up (so a crash cannot leave them short) to keep plots
// of long ranges fast, and raw rounds pruned after a while.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "history_time.h"
#include "readings.h"
#include "record.h"

struct sqlite3;
struct sqlite3_stmt;

namespace smdhost {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A round or an alarm transition on its way into the history.
struct HistoryRow {
    enum Kind { round, transition };
    Kind kind = round;
    std::string device;
    unsigned int dataId = 0;
    std::string at;      // when stored (round) or when it happened (transition)
    std::string source;  // round: "round" or "restore"
    std::vector<unsigned char> image;
    std::string signalId, name, valueText;  // transition
    bool raised = false;
};

struct RoundRow {
    long long id = 0;
    std::string device;
    unsigned int dataId = 0;
    std::string storedAt;
    std::string source;  // "round" or "restore"
    std::vector<unsigned char> image;
};

struct TransitionRow {
    long long id = 0;
    std::string device;
    unsigned int dataId = 0;
    std::string at;
    std::string signalId, name, valueText;
    bool raised = false;
    long long t = 0;  // unix seconds of `at`; set by transitionsBetween
};

// An alarm the last transition of its signal left raised.
struct RaisedAlarm {
    std::string signalId, name;
    long long t = 0;  // unix seconds of that transition; 0 when its time is unknown
};

struct PlotPoint {
    long long t = 0;                      // unix seconds: the round's time, or the bucket's start
    float min[kReadingCount]{}, mean[kReadingCount]{}, max[kReadingCount]{};  // as kReadings
    unsigned alarms = 0;                  // bit i: alarm i (record order) active at any time in the point
    long long rounds = 0;                 // how many rounds the point sums up
};

struct PlotSeries {
    std::string tier;               // "raw", "minute" or "hour"
    long long step = 0;             // seconds per point (0 for raw; raw merged: the bucket's width)
    std::vector<PlotPoint> points;  // oldest first
};

// How long each resolution is kept, in seconds before the time of the
// device's round being stored; 0 keeps it for ever.
struct Retention {
    long long raw = 30LL * 86400;
    long long minute = 400LL * 86400;
    long long hour = 0;
};

// The schema this build writes (PRAGMA user_version); older files are
// upgraded when opened for writing.
constexpr int kHistorySchema = 3;

// What a run that ended without a clean stop left behind.
struct UncleanEnd {
    bool found = false;
    long long lastRound = -1;  // unix seconds of the latest stored round; -1: none stored
    std::string lastText;      // the same as local time, or when that run started
    long long lost = 0;        // rows it kept in memory at its last commit, never stored
};

// How a run is marked in the history: one transition, under a signal id no plug-in uses.
constexpr const char* kUncleanSignalId = "UNCLEAN_END";
constexpr const char* kUncleanSignalName = "run ended without a clean stop";

class HistoryStore {
public:
    // readOnly: the database must exist already. A file with tables of its
    // own and no rounds is another program's: refused, left as it was.
    HistoryStore(const std::string& path, bool readOnly);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    const std::string& path() const { return path_; }

    // Rows in one transaction, with the tiers of their rounds: all or none
    // (StoreError, nothing kept).
    void add(const std::vector<HistoryRow>& rows);
    void addRound(const std::string& device, unsigned int dataId, const std::string& source,
                  const unsigned char* image, std::size_t length, const std::string& storedAt);
    void addTransition(const std::string& device, unsigned int dataId, const std::string& at,
                       const std::string& signalId, const std::string& name,
                       const std::string& valueText, bool raised);

    // The image of the device's latest stored record; false when none.
    bool lastRecord(const std::string& device, std::vector<unsigned char>& image);
    // Per signal identifier, whether its last transition raised it.
    std::map<std::string, bool> alarmStates(const std::string& device);
    // The signals left raised, with the name and time of their raising.
    std::vector<RaisedAlarm> raisedAlarms(const std::string& device);

    // Oldest first; device empty means every device; limit 0 means all
    // (otherwise the latest `limit` rows).
    std::vector<RoundRow> rounds(const std::string& device, long long limit);
    std::vector<TransitionRow> transitions(const std::string& device, long long limit);
    long long countRounds(const std::string& device);
    long long countTransitions(const std::string& device);

    // Answered from the coarsest tier that still gives enough points for the range (and at most
    // about maxPoints points, merging buckets further when needed; more than 10000 counts as
    // 10000). Rounds handed back to a device at start ("restore") are copies and count once.
    // Reads on a connection of its own: a plot holds up no round being stored.
    PlotSeries plot(const std::string& device, long long from, long long to,
                    std::size_t maxPoints = 2000);
    // Transitions whose time lies in [from, to], oldest first.
    std::vector<TransitionRow> transitionsBetween(const std::string& device, long long from,
                                                  long long to);
    // The same a page at a time, each row handed to `each` as it is read (a
    // year of them is never held at once): at most `limit` rows (0: all),
    // starting after row `after` of time `from` (0: from the range's start).
    // True when rows beyond the page remain. `each` must not call the store.
    bool eachTransitionBetween(const std::string& device, long long from, long long to,
                               long long after, std::size_t limit,
                               const std::function<void(const TransitionRow&)>& each);

    void setRetention(const Retention& keep);
    // The most the file, WAL included, may take; 0: no bound. When it is
    // reached the oldest raw rounds go first, then minute buckets, then hour
    // buckets and transitions; the last hour of rounds and day of buckets stay.
    void setBudget(long long bytes);
    // Rows the writer still keeps in memory beside what it stores now, so the
    // next start can count them if this run never ends cleanly.
    void setWaiting(std::size_t rows);

    // A run begins: what the last one left if it ended without a clean stop,
    // said in the history by one transition (device "", kUncleanSignalId) at `at`.
    UncleanEnd beginRun(const std::string& at);
    // The run ends cleanly: everything it had is stored.
    void endRun();
    // Rounds and transitions stored through this object.
    long long storedRounds();
    long long storedTransitions();
    // Proves at start that the database takes writes (a write transaction)
    // and is sound (PRAGMA quick_check); StoreError with the reason if not.
    void checkSound();

    // After this every call is ignored (used when leaving with a stuck device).
    void close();

private:
    enum Kept { kInsertRound, kInsertTransition, kUpsertMinute, kUpsertHour, kPruneRaw,
                kPruneMinute, kPruneHour, kPruneTransitions, kBegin, kCommit, kRollback,
                kPageCount, kFreePages, kNewestKey, kKeptCount };
    // The rounds of one batch in one minute of one device, summed up.
    struct Bucket {
        long long n = 0;
        float min[kReadingCount]{}, max[kReadingCount]{};
        double sum[kReadingCount]{};
        unsigned alarms = 0;
        void add(const Record& r);  // history_tiers.cpp
    };
    using Buckets = std::map<std::pair<int, long long>, Bucket>;
    void exec(const char* sql);
    void refuseForeign();            // history_schema.cpp
    void upgrade();                  // history_schema.cpp
    sqlite3_stmt* kept(Kept which);  // history_schema.cpp
    void step(Kept which);
    long long single(Kept which);    // history_budget.cpp: the first column of a kept query
    int deviceId(const std::string& name);
    std::vector<int> deviceIds(sqlite3* db, const std::string& name);
    void insertRound(const HistoryRow& row, Buckets& buckets, long long& due);
    void insertTransition(const HistoryRow& row);
    void addToTiers(const Bucket& b, int device, long long minute);
    void flushTiers(bool all);  // history_tiers.cpp
    void refoldTiers();         // history_tiers.cpp
    void mergePending(int device, long long step, long long from, long long to, const Buckets& pending,
                      std::vector<PlotPoint>& points);
    void prune(long long now);
    void holdBudget();               // history_budget.cpp
    void shrinkToBudget();           // history_budget.cpp
    sqlite3* reader();
    std::string path_;
    sqlite3* db_ = nullptr;
    std::array<sqlite3_stmt*, kKeptCount> kept_{};
    Retention keep_;
    LocalTime localTime_;
    int sincePrune_ = 0;
    Buckets pending_;       // per device, its latest minute: not in the tiers yet
    long long flushes_ = 0; // commits that moved buckets from pending_ to the tiers
    std::map<std::string, int> devices_;               // name: its number in the keys
    std::map<int, std::pair<long long, int>> lastKey_;  // device: latest second, copies in it
    long long budget_ = 0;
    long long runId_ = 0;
    std::size_t waiting_ = 0, waitingStored_ = 0;
    long long storedRounds_ = 0, storedTransitions_ = 0;
    std::mutex mutex_;
    // The plots' connection, opened on the first plot.
    sqlite3* readDb_ = nullptr;
    bool readClosed_ = false;
    std::mutex readMutex_;
};

}  // namespace smdhost
