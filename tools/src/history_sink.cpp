#include "history_sink.h"

#include "event_printer.h"

namespace smdhost {

void HistorySink::onEvent(const Event& event) {
    if (const auto* e = std::get_if<RoundEvent>(&event)) {
        try {
            store_.addRound(e->device, e->dataId, e->restored ? "restore" : "round",
                            e->image.data(), e->image.size(), e->storedAt);
        } catch (const std::exception& x) {
            out_.error("smd-host: " + e->device + ": cannot store round: " + x.what());
        }
    } else if (const auto* e = std::get_if<StaleEvent>(&event)) {
        // With the alarm transitions, under a signal id no plug-in uses.
        try {
            store_.addTransition(e->device, e->dataId, e->at, kStaleSignalId, kStaleSignalName,
                                 "no round for " + ageText(e->ageSeconds), e->stale);
        } catch (const std::exception& x) {
            out_.error("smd-host: " + e->device + ": cannot store alarm transition: " + x.what());
        }
    } else if (const auto* e = std::get_if<AlarmEvent>(&event)) {
        try {
            store_.addTransition(e->device, e->dataId, e->at, e->signalId, e->name, e->valueText,
                                 e->raised);
        } catch (const std::exception& x) {
            out_.error("smd-host: " + e->device + ": cannot store alarm transition: " + x.what());
        }
    }
}

}  // namespace smdhost
