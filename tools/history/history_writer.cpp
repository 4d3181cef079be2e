#include "history_writer.h"

#include <exception>
#include <iterator>

namespace smdhost {

HistoryWriter::HistoryWriter(RowWriter& writer, Say say, std::size_t capacity,
                             std::chrono::milliseconds retry, std::chrono::milliseconds commitEvery)
    : writer_(writer), say_(std::move(say)), capacity_(capacity), retry_(retry),
      commitEvery_(commitEvery) {
    thread_ = std::thread([this] { run(); });
}

void HistoryWriter::add(HistoryRow row) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) {
            ++unstored_;
            return;
        }
        if (kept_.size() >= capacity_) {
            // The newest rows matter most: the state the next start restores.
            kept_.pop_front();
            ++dropped_;
        }
        kept_.push_back(std::move(row));
    }
    wake_.notify_one();
}

// Says a line with the lock let go: the console may be slow, add() must not be.
void HistoryWriter::say(std::unique_lock<std::mutex>& lock, const std::string& line) {
    lock.unlock();
    say_(line);
    lock.lock();
}

// One batch from the front of the queue; false when the database refused it
// (the rows are back at the front, in order).
bool HistoryWriter::storeBatch(std::unique_lock<std::mutex>& lock) {
    const std::size_t n = std::min(kept_.size(), kMostPerBatch);
    std::vector<HistoryRow> batch(std::make_move_iterator(kept_.begin()),
                                  std::make_move_iterator(kept_.begin() + static_cast<long>(n)));
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<long>(n));
    const std::size_t left = kept_.size();
    lock.unlock();
    std::string why;
    try {
        writer_.waiting(left);
        writer_.write(batch);
    } catch (const std::exception& e) {
        why = e.what();
    }
    lock.lock();
    if (dropped_ > 0 && !dropSaid_) {
        dropSaid_ = true;
        say(lock, "smd-host: more than " + std::to_string(capacity_) +
                      " rows kept for the history database; dropping the oldest");
    }
    if (why.empty()) {
        if (behind_) storedSinceBehind_ += n;
        if (behind_ && kept_.empty()) {
            behind_ = false;
            say(lock, "smd-host: the history database takes writes again: " +
                          std::to_string(storedSinceBehind_) + " kept rows stored");
            storedSinceBehind_ = 0;
        }
        return true;
    }
    kept_.insert(kept_.begin(), std::make_move_iterator(batch.begin()),
                 std::make_move_iterator(batch.end()));
    for (; kept_.size() > capacity_; ++dropped_) kept_.pop_front();
    if (!behind_) {
        behind_ = true;
        say(lock, "smd-host: the history database takes no writes (" + why +
                      "); keeping rounds and transitions until it does");
    }
    return false;
}

void HistoryWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    // The first rows of a run go at once: a dashboard opened at start has them.
    std::chrono::steady_clock::time_point lastCommit{};
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !kept_.empty(); });
        if (kept_.empty()) return;
        if (commitEvery_.count() > 0)
            wake_.wait_until(lock, lastCommit + commitEvery_,
                             [this] { return stopping_ || kept_.size() >= kMostPerBatch; });
        lastCommit = std::chrono::steady_clock::now();
        if (storeBatch(lock)) continue;
        if (stopping_) return;
        wake_.wait_for(lock, retry_, [this] { return stopping_; });
        if (stopping_) {
            // The end of the run: one more try, then what is left is counted.
            while (!kept_.empty() && storeBatch(lock)) {
            }
            return;
        }
    }
}

std::size_t HistoryWriter::backlog() {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.size();
}

std::size_t HistoryWriter::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return kept_.size() + dropped_ + unstored_;
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    return kept_.size() + dropped_ + unstored_;
}

}  // namespace smdhost
