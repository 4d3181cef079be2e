#include "scenario.h"

#include "files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <sys/stat.h>

namespace smdhost {

namespace {

// Far beyond any board input, and a span that cannot overflow.
constexpr long kMaxInput = 1000000000;
// Past this the board thread's wake-up time would not fit its clock.
constexpr double kMaxSeconds = 1e7;

bool parseLong(const std::string& s, long& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -kMaxInput || v > kMaxInput) return false;
    out = v;
    return true;
}

bool parseValue(const std::string& tok, InputValue& v) {
    if (tok == "-") {
        v.kind = InputValue::keep;
        return true;
    }
    if (tok == "x") {
        v.kind = InputValue::absent;
        return true;
    }
    const auto tilde = tok.find('~');
    if (tilde != std::string::npos) {
        v.kind = InputValue::jitter;
        return parseLong(tok.substr(0, tilde), v.lo) && parseLong(tok.substr(tilde + 1), v.hi) &&
               v.lo < v.hi;
    }
    v.kind = InputValue::fixed;
    if (!parseLong(tok, v.lo)) return false;
    v.hi = v.lo;
    return true;
}

bool isRegularReadable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Scenario parseScenario(const std::string& text, const std::string& source) {
    Scenario sc;
    sc.name = source;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    double last = 0;
    bool haveInputs = false;
    while (std::getline(in, raw)) {
        ++lineNo;
        const auto hash = raw.find('#');
        const std::string line = raw.substr(0, hash);
        std::istringstream words(line);
        std::vector<std::string> tok;
        for (std::string w; words >> w;) tok.push_back(w);
        if (tok.empty()) continue;
        auto fail = [&](const std::string& why) {
            return ScenarioError("scenario '" + source + "' line " + std::to_string(lineNo) + ": " +
                                 why);
        };
        ScenarioStep step;
        step.line = lineNo;
        char* end = nullptr;
        step.at = std::strtod(tok[0].c_str(), &end);
        if (*end != '\0' || !std::isfinite(step.at) || step.at < 0)
            throw fail("time '" + tok[0] + "' is not a number of seconds");
        if (step.at > kMaxSeconds)
            throw fail("time '" + tok[0] + "' is past " + std::to_string(static_cast<long>(kMaxSeconds)) +
                       " s");
        if (step.at < last) throw fail("time goes backwards");
        last = step.at;
        if (tok.size() < 2) throw fail("nothing happens at " + tok[0]);
        if (tok[1] == "command") {
            step.type = ScenarioStep::command;
            const auto pos = line.find("command");
            step.text = line.substr(pos + 7);
            step.text.erase(0, step.text.find_first_not_of(" \t"));
            while (!step.text.empty() && std::isspace(static_cast<unsigned char>(step.text.back())))
                step.text.pop_back();
            if (step.text.empty()) throw fail("command without text");
        } else if (tok[1] == "supply") {
            step.type = ScenarioStep::supply;
            if (tok.size() != 3 || (tok[2] != "echo" && tok[2] != "wrong" && tok[2] != "silent"))
                throw fail("supply takes one of echo, wrong, silent");
            step.text = tok[2];
        } else {
            step.type = ScenarioStep::inputs;
            if (tok.size() != 5) throw fail("expected a time and four values (ai1 to ai4)");
            for (std::size_t i = 0; i < 4; ++i) {
                if (!parseValue(tok[i + 1], step.values[i]))
                    throw fail("value '" + tok[i + 1] + "' of ai" + std::to_string(i + 1) +
                               " is not a number (at most " +
                               std::to_string(kMaxInput) + " either way), A~B (A<B), '-' or 'x'");
                if (!haveInputs && step.values[i].kind == InputValue::keep)
                    throw fail("the first row must give every input");
            }
            haveInputs = true;
        }
        sc.steps.push_back(step);
    }
    if (!haveInputs) throw ScenarioError("scenario '" + source + "': no input values");
    return sc;
}

Scenario loadScenario(const std::string& nameOrPath, const std::vector<std::string>& searchDirs) {
    std::string path;
    if (isRegularReadable(nameOrPath)) {
        path = nameOrPath;
    } else if (nameOrPath.find('/') == std::string::npos) {
        for (const auto& dir : searchDirs) {
            const std::string candidate = dir + "/" + nameOrPath + ".scn";
            if (isRegularReadable(candidate)) {
                path = candidate;
                break;
            }
        }
    }
    if (path.empty())
        throw ScenarioError("scenario '" + nameOrPath +
                            "' not found (give a file or one of the shipped names)");
    std::string text, error;
    if (!readTextFile(path, text, error))
        throw ScenarioError("cannot read scenario '" + path + "': " + error);
    Scenario sc = parseScenario(text, path);
    sc.name = nameOrPath;
    return sc;
}

}  // namespace smdhost
