// The commands typed on standard input or due in a scenario.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device_set.h"
#include "events.h"
#include "host_links.h"
#include "output.h"
#include "write_tracker.h"

namespace smdhost {

// A command another part of the program adds (the simulation's `supply`).
struct ExtraCommand {
    std::string name;
    std::string help;  // its line in `help`: usage, then what it does
    // The words after the name; false when they make no such command.
    std::function<bool(Device& target, const std::vector<std::string>& args)> run;
};

class Commands : public CommandRunner {
public:
    Commands(DeviceSet& devices, WriteTracker& writes, Output& out, EventSink& events)
        : devices_(devices), writes_(writes), out_(out), events_(events) {}

    // Before the command loop starts.
    void add(ExtraCommand command) { extras_.push_back(std::move(command)); }

    // Command-loop thread only.
    void execute(const std::string& line) override;
    bool quitAsked() const override { return quit_; }
    void quit() override { quit_ = true; }

private:
    bool own(Device& target, const std::vector<std::string>& tok);
    bool numbers(const std::vector<std::string>& tok, std::vector<uint16_t>& values);
    void help();
    void listDevices();
    void result(Device& d);
    void snapshot(Device& d, bool raw);
    void note(Device& d, const std::string& text, Json::Value extra = Json::Value());

    DeviceSet& devices_;
    WriteTracker& writes_;
    Output& out_;
    EventSink& events_;
    std::vector<ExtraCommand> extras_;
    Device* current_ = nullptr;  // null: the first device
    bool quit_ = false;
};

// Decimal, or hexadecimal with 0x, from 0 to 65535.
bool parseWord(const std::string& text, uint16_t& out);

}  // namespace smdhost
