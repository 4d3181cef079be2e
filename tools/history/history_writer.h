// The history's writer: rounds and transitions are handed over on any thread
// and stored on one thread of its own, in batches (one transaction each), so
// a slow or locked database never holds up a polling thread. With a commit
// interval, a batch gathers what came in that interval: one commit rewrites a
// few pages, whether it holds one round or forty. While the
// database takes no writes (busy past its wait, disk full) the rows are kept
// in order, in a bounded queue, and stored as soon as it does again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history_store.h"

namespace smdhost {

// Where batches go; throws when the batch is not stored (then none of it is).
class RowWriter {
public:
    virtual ~RowWriter() = default;
    virtual void write(const std::vector<HistoryRow>& rows) = 0;
    // Before each write: how many rows stay kept beside the batch.
    virtual void waiting(std::size_t) {}
};

// The history database as a RowWriter.
class StoreWriter : public RowWriter {
public:
    explicit StoreWriter(HistoryStore& store) : store_(store) {}
    void write(const std::vector<HistoryRow>& rows) override { store_.add(rows); }
    void waiting(std::size_t rows) override { store_.setWaiting(rows); }

private:
    HistoryStore& store_;
};

class HistoryWriter {
public:
    using Say = std::function<void(const std::string& line)>;
    static constexpr std::size_t kCapacity = 10000;
    static constexpr std::size_t kMostPerBatch = 1000;

    // say: one line each time storing falls behind, catches up, or starts
    // dropping the oldest kept rows (on the writer's thread). retry: the
    // pause after a batch the database refused. commitEvery: the least time
    // between two batches (0: a batch as soon as rows come); a full batch or
    // the end of the run does not wait for it.
    HistoryWriter(RowWriter& writer, Say say, std::size_t capacity = kCapacity,
                  std::chrono::milliseconds retry = std::chrono::milliseconds(1000),
                  std::chrono::milliseconds commitEvery = std::chrono::milliseconds(0));
    ~HistoryWriter() { finish(); }
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Any thread; never waits for the database.
    void add(HistoryRow row);
    // Rows waiting for the database (for the benchmark's pacing).
    std::size_t backlog();
    // The end of the run: what is kept is stored, with one more try if the
    // database refuses; how many rows were never stored.
    std::size_t finish();

private:
    void run();
    bool storeBatch(std::unique_lock<std::mutex>& lock);
    void say(std::unique_lock<std::mutex>& lock, const std::string& line);

    RowWriter& writer_;
    Say say_;
    const std::size_t capacity_;
    const std::chrono::milliseconds retry_;
    const std::chrono::milliseconds commitEvery_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<HistoryRow> kept_;
    std::size_t dropped_ = 0;
    bool dropSaid_ = false;
    bool behind_ = false;
    std::size_t storedSinceBehind_ = 0;
    bool stopping_ = false;
    bool finished_ = false;
    std::size_t unstored_ = 0;
    std::thread thread_;
};

}  // namespace smdhost
