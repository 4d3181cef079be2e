// Arbitrary site configurations: parsing either gives a configuration or
// throws ConfigError, never anything else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "site_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        smdhost::parseSiteConfig(text, "fuzz.json");
    } catch (const smdhost::ConfigError&) {
    }
    return 0;
}
