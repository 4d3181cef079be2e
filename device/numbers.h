// Text-to-number conversions with the leniency of atoi/atof and none of
// their undefined corners: out-of-range integers saturate identically on
// 32- and 64-bit targets.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace plor {

// Leading white space, an optional sign, then decimal digits; anything else
// ends the number. No digits gives 0.
inline int32_t parseInt32(const char* text) {
    if (text == nullptr) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    // Accumulate as a magnitude in 64 bits; stop growing once past the range.
    constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude <= limit) magnitude = magnitude * 10 + (*p - '0');
    }
    if (negative) {
        return magnitude >= limit ? std::numeric_limits<int32_t>::min()
                                  : static_cast<int32_t>(-magnitude);
    }
    return magnitude >= limit ? std::numeric_limits<int32_t>::max()
                              : static_cast<int32_t>(magnitude);
}

// A number in general notation with this many significant digits: the text
// of a default stream (6) or of lexical_cast for a float (9), without their
// stream machinery in the module.
inline std::string generalText(double value, int digits) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%.*g", digits, value);
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

// atof, rounded to single precision (strtod is defined for every input).
inline float parseFloat(const char* text) {
    if (text == nullptr) return 0.0f;
    return static_cast<float>(std::strtod(text, nullptr));
}

}  // namespace plor
