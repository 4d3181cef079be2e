// Arbitrary scenario files: parsing either gives steps in time order or
// throws ScenarioError, never anything else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const smdhost::Scenario s = smdhost::parseScenario(text, "fuzz.scn");
        for (std::size_t i = 1; i < s.steps.size(); ++i)
            if (s.steps[i].at < s.steps[i - 1].at) std::abort();
    } catch (const smdhost::ScenarioError&) {
    }
    return 0;
}
