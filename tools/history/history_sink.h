// The history's sink: rounds, alarm transitions and STALE/FRESH go to the
// database: handed to the writer, which stores them on a thread of its own.
#pragma once

#include "events.h"
#include "history_writer.h"

namespace smdhost {

// How STALE and FRESH are stored among the transitions: raised, cleared.
constexpr const char* kStaleSignalId = "STALE";
constexpr const char* kStaleSignalName = "no round completed";

class HistorySink : public EventSink {
public:
    explicit HistorySink(HistoryWriter& writer) : writer_(writer) {}
    void onEvent(const Event& event) override;

private:
    HistoryWriter& writer_;
};

}  // namespace smdhost
