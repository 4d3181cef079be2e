// The history's sink: rounds and alarm transitions go to the database.
#pragma once

#include "console.h"
#include "events.h"
#include "history_store.h"

namespace smdhost {

// How STALE and FRESH are stored among the transitions: raised, cleared.
constexpr const char* kStaleSignalId = "STALE";
constexpr const char* kStaleSignalName = "no round completed";

class HistorySink : public EventSink {
public:
    HistorySink(HistoryStore& store, Console& console) : store_(store), out_(console) {}
    void onEvent(const Event& event) override;

private:
    HistoryStore& store_;
    Console& out_;
};

}  // namespace smdhost
