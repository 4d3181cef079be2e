// The commands typed on standard input or due in a scenario.
#pragma once

#include <string>

#include "console.h"
#include "device_set.h"
#include "events.h"
#include "write_tracker.h"

namespace smdhost {

class Commands {
public:
    Commands(DeviceSet& devices, WriteTracker& writes, Console& console, EventSink& events)
        : devices_(devices), writes_(writes), out_(console), events_(events) {}

    // Command-loop thread only.
    void execute(const std::string& line);
    bool quitAsked() const { return quit_; }
    void quit() { quit_ = true; }

private:
    void result(Device& d);
    void snapshot(Device& d, bool raw);
    void note(Device& d, const std::string& text, Json::Value extra = Json::Value());

    DeviceSet& devices_;
    WriteTracker& writes_;
    Console& out_;
    EventSink& events_;
    Device* current_ = nullptr;  // null: the first device
    bool quit_ = false;
};

// Decimal, or hexadecimal with 0x, from 0 to 65535.
bool parseWord(const std::string& text, uint16_t& out);

}  // namespace smdhost
