// Rounds and transitions the history could not take at once (database busy
// past its wait, disk full): kept in order, in a bounded queue, and stored
// as soon as the database takes writes again.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace smdhost {

class HistoryStore;

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

// Where rows go; throws when the row is not stored.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    virtual void write(const HistoryRow& row) = 0;
};

// The history database as a RowWriter.
class StoreWriter : public RowWriter {
public:
    explicit StoreWriter(HistoryStore& store) : store_(store) {}
    void write(const HistoryRow& row) override;

private:
    HistoryStore& store_;
};

class StoreQueue {
public:
    using Say = std::function<void(const std::string& line)>;
    static constexpr std::size_t kCapacity = 10000;

    // say: one line each time storing falls behind, catches up, or
    // starts dropping the oldest kept rows.
    StoreQueue(RowWriter& writer, Say say, std::size_t capacity = kCapacity)
        : writer_(writer), say_(std::move(say)), capacity_(capacity) {}

    // Stores the row after any kept before it; keeps it when that fails.
    // Any thread.
    void add(HistoryRow row);
    // The end of the run: one more try; how many rows were never stored.
    std::size_t finish();

private:
    bool drain();  // with mutex_ held; true when nothing is left behind

    RowWriter& writer_;
    Say say_;
    std::size_t capacity_;
    std::mutex mutex_;
    std::deque<HistoryRow> kept_;
    std::size_t dropped_ = 0;
    bool behind_ = false;
    std::size_t storedSinceBehind_ = 0;
};

}  // namespace smdhost
