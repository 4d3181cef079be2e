// What happens in a run, as plain values: the host raises them, sinks (the
// console printer, the history) take them. A further sink is one add() away.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <json/json.h>

#include "record.h"

namespace smdhost {

// Anything else worth a line: device set-up, supply traffic, command answers.
struct NoteEvent {
    std::string device;  // empty: the host itself
    std::string text;
    Json::Value extra;   // kind-specific JSON members; "event" defaults to "note"
};

// A completed round (or the record handed back at start, restored).
struct RoundEvent {
    std::string device;
    unsigned int dataId = 0;
    Record record;
    std::vector<unsigned char> image;  // the record as the plug-in handed it over
    std::vector<std::string> alarms;   // names of the alarms active in this round
    bool restored = false;
    std::string storedAt;              // host wall clock, with milliseconds
    double ageSeconds = 0;             // how old the values are
};

// Every refresh: whether it completed a round, and whether that differs
// from the refresh before (a run starts as if after a round).
struct RefreshEvent {
    std::string device;
    bool completed = false;
    bool changed = false;
};

struct AlarmEvent {
    std::string device;
    unsigned int dataId = 0;
    std::string at;  // host wall clock, with milliseconds
    std::string signalId, name, valueText;
    bool raised = false;
};

// A device that completed no round for its stale time (stale), or its first
// round after that (fresh again).
struct StaleEvent {
    std::string device;
    unsigned int dataId = 0;
    std::string at;
    bool stale = false;
    double ageSeconds = 0;  // since its last round (or since start)
};

// A write handed to the device (announced before the call returns).
struct WriteEvent {
    std::string device;
    int code = 0;  // kWriteRegisterCode or kWriteRegistersCode
    int address = 0;
    std::vector<uint16_t> values;
    std::string what;  // "write register 40 = 535"
};

struct WriteOutcomeEvent {
    std::string device;
    std::string result;  // one of kWriteOutcomeKinds (write_tracker.h)
    std::string text;    // the whole sentence, beginning with the write's description
    std::optional<int> status;    // the master's report
    std::optional<int> outcome;   // the driver's outcome code
    std::optional<int> returned;  // the control call's return when refused
};

using Event = std::variant<NoteEvent, RoundEvent, RefreshEvent, AlarmEvent, StaleEvent,
                           WriteEvent, WriteOutcomeEvent>;

// Called from device threads and the command loop alike: a sink keeps
// itself consistent, and must not call back into the host.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void onEvent(const Event& event) = 0;
};

// Hands every event to each sink in the order they were added. Sinks are
// added before the devices start.
class EventFanout : public EventSink {
public:
    void add(EventSink& sink) { sinks_.push_back(&sink); }
    void onEvent(const Event& event) override {
        for (EventSink* s : sinks_) s->onEvent(event);
    }

private:
    std::vector<EventSink*> sinks_;
};

}  // namespace smdhost
