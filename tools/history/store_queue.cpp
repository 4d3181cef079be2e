#include "store_queue.h"

#include <exception>

#include "history_store.h"

namespace smdhost {

void StoreWriter::write(const HistoryRow& row) {
    if (row.kind == HistoryRow::round)
        store_.addRound(row.device, row.dataId, row.source, row.image.data(), row.image.size(),
                        row.at);
    else
        store_.addTransition(row.device, row.dataId, row.at, row.signalId, row.name,
                             row.valueText, row.raised);
}

bool StoreQueue::drain() {
    while (!kept_.empty()) {
        try {
            writer_.write(kept_.front());
        } catch (const std::exception& e) {
            if (!behind_)
                say_("smd-host: the history database takes no writes (" + std::string(e.what()) +
                     "); keeping rounds and transitions until it does");
            behind_ = true;
            return false;
        }
        kept_.pop_front();
        if (behind_) ++storedSinceBehind_;
    }
    if (behind_)
        say_("smd-host: the history database takes writes again: " +
             std::to_string(storedSinceBehind_) + " kept rows stored");
    behind_ = false;
    storedSinceBehind_ = 0;
    return true;
}

void StoreQueue::add(HistoryRow row) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() == capacity_) {
        // The newest rows matter most: the state the next start restores.
        if (dropped_++ == 0)
            say_("smd-host: more than " + std::to_string(capacity_) +
                 " rows kept for the history database; dropping the oldest");
        kept_.pop_front();
    }
    kept_.push_back(std::move(row));
    drain();
}

std::size_t StoreQueue::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    drain();
    return kept_.size() + dropped_;
}

}  // namespace smdhost
