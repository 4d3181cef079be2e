#include "history_sink.h"

#include "clock_text.h"

namespace smdhost {

void HistorySink::onEvent(const Event& event) {
    HistoryRow row;
    if (const auto* e = std::get_if<RoundEvent>(&event)) {
        row.kind = HistoryRow::round;
        row.device = e->device;
        row.dataId = e->dataId;
        row.at = e->storedAt;
        row.source = e->restored ? "restore" : "round";
        row.image = e->image;
    } else if (const auto* e = std::get_if<AlarmEvent>(&event)) {
        row.kind = HistoryRow::transition;
        row.device = e->device;
        row.dataId = e->dataId;
        row.at = e->at;
        row.signalId = e->signalId;
        row.name = e->name;
        row.valueText = e->valueText;
        row.raised = e->raised;
    } else if (const auto* e = std::get_if<StaleEvent>(&event)) {
        // With the alarm transitions, under a signal id no plug-in uses.
        row.kind = HistoryRow::transition;
        row.device = e->device;
        row.dataId = e->dataId;
        row.at = e->at;
        row.signalId = kStaleSignalId;
        row.name = kStaleSignalName;
        row.valueText = "no round for " + ageText(e->ageSeconds);
        row.raised = e->stale;
    } else {
        return;
    }
    writer_.add(std::move(row));
}

}  // namespace smdhost
