// Scenario files for the simulated site: timed raw values of the four board
// inputs, commands typed at given times, and how the supply answers.
//
//   # time(s)  ai1   ai2   ai3    ai4
//   0          930   535   5350   2200
//   8          -     -     -      800       # '-' keeps the value
//   9          -     520~540 -    -         # 'A~B' never holds still
//   10         -     -     -      x         # 'x' removes the file
//   5          command write 40 535        # as typed on standard input
//   12         supply silent               # echo | wrong | silent
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace smdhost {

struct InputValue {
    enum Kind { keep, fixed, jitter, absent };
    Kind kind = keep;
    long lo = 0;
    long hi = 0;
};

struct ScenarioStep {
    enum Type { inputs, command, supply };
    double at = 0;  // seconds from the start
    Type type = inputs;
    std::array<InputValue, 4> values{};
    std::string text;  // command line, or supply mode
    int line = 0;
};

struct Scenario {
    std::string name;
    std::vector<ScenarioStep> steps;  // in time order
};

class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Scenario parseScenario(const std::string& text, const std::string& source);

// NAME (looked up among the shipped scenarios) or a path to a file.
Scenario loadScenario(const std::string& nameOrPath, const std::vector<std::string>& searchDirs);

}  // namespace smdhost
