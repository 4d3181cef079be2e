// What the host asks of the program around it: what the last run left,
// the commands, and a way to be asked to stop. The program gives it these;
// the host knows nothing of where they come from.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace smdhost {

// What the last run left for each device.
class LastRun {
public:
    virtual ~LastRun() = default;
    // Per signal identifier, whether the last run left it raised.
    virtual std::map<std::string, bool> alarmStates(const std::string& device) = 0;
    // The image of the device's latest record; false when none.
    virtual bool lastRecord(const std::string& device, std::vector<unsigned char>& image) = 0;
    // Where it was kept, for the lines that say so.
    virtual std::string where() const = 0;
};

// The commands typed on standard input or due in a scenario.
class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // Command-loop thread only.
    virtual void execute(const std::string& line) = 0;
    virtual bool quitAsked() const = 0;
    virtual void quit() = 0;
};

// A stop asked from outside (a signal): a descriptor that turns readable,
// and what asked, read once it has.
struct StopRequest {
    int fd = -1;
    std::function<std::string()> take;
};

}  // namespace smdhost
