// The console's sink: each event as a text line, or as one JSON line.
#pragma once

#include "console.h"
#include "events.h"

namespace smdhost {

class EventPrinter : public EventSink {
public:
    explicit EventPrinter(Console& console) : out_(console) {}
    void onEvent(const Event& event) override;

private:
    void note(const std::string& device, const std::string& text, Json::Value j);
    void round(const RoundEvent& e);
    void alarm(const AlarmEvent& e);
    void write(const WriteEvent& e);
    void writeOutcome(const WriteOutcomeEvent& e);
    Console& out_;
};

// A reading as JSON: null for what JSON cannot hold (nan, inf).
Json::Value jsonNumber(float v);

}  // namespace smdhost
