// The history's sink: rounds, alarm transitions and STALE/FRESH go to the
// database, through the queue that keeps them while it takes no writes.
#pragma once

#include "events.h"
#include "store_queue.h"

namespace smdhost {

// How STALE and FRESH are stored among the transitions: raised, cleared.
constexpr const char* kStaleSignalId = "STALE";
constexpr const char* kStaleSignalName = "no round completed";

class HistorySink : public EventSink {
public:
    explicit HistorySink(StoreQueue& queue) : queue_(queue) {}
    void onEvent(const Event& event) override;

private:
    StoreQueue& queue_;
};

}  // namespace smdhost
