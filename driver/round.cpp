#include "round.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>

#include "numbers.h"

namespace {

// Converted ai1 reading at each whole degree from -40 to 125 degrees C.
constexpr int32_t kTempTable[166] = {
    118,  126,  135,  143,  153,  162,  173,  184,  195,  207,   // -40
    220,  233,  247,  261,  276,  292,  309,  326,  345,  364,   // -30
    383,  404,  425,  448,  471,  495,  520,  545,  572,  600,   // -20
    628,  657,  688,  719,  751,  784,  818,  852,  888,  924,   // -10
    961,  999,  1038, 1077, 1117, 1158, 1199, 1241, 1284, 1327,  // 0
    1370, 1414, 1459, 1503, 1548, 1593, 1639, 1684, 1730, 1775,  // 10
    1821, 1866, 1912, 1957, 2003, 2048, 2092, 2137, 2181, 2224,  // 20
    2268, 2310, 2353, 2395, 2436, 2477, 2517, 2556, 2595, 2633,  // 30
    2671, 2708, 2744, 2780, 2815, 2849, 2883, 2915, 2947, 2979,  // 40
    3009, 3039, 3069, 3097, 3125, 3152, 3179, 3204, 3229, 3254,  // 50
    3278, 3301, 3324, 3346, 3367, 3388, 3408, 3427, 3446, 3465,  // 60
    3483, 3501, 3517, 3534, 3550, 3566, 3580, 3595, 3610, 3623,  // 70
    3636, 3649, 3662, 3674, 3686, 3698, 3709, 3720, 3730, 3740,  // 80
    3750, 3760, 3769, 3778, 3787, 3795, 3803, 3811, 3819, 3826,  // 90
    3834, 3841, 3848, 3854, 3861, 3867, 3873, 3879, 3884, 3890,  // 100
    3896, 3901, 3906, 3911, 3915, 3920, 3925, 3929, 3933, 3937,  // 110
    3941, 3945, 3949, 3953, 3956, 3960,                          // 120
};

int32_t temperatureSample(int32_t raw) {
    const float v = static_cast<float>(raw) / 1000.0f;
    double w = static_cast<double>(v) / 1.8 * 3960.0;
    // Saturate before truncating: far outside the table either end gives the
    // same degree, and an out-of-range conversion is undefined.
    w = std::min(w, static_cast<double>(std::numeric_limits<int32_t>::max()));
    w = std::max(w, static_cast<double>(std::numeric_limits<int32_t>::min()));
    const int32_t x = static_cast<int32_t>(w);
    const auto above = std::upper_bound(std::begin(kTempTable), std::end(kTempTable), x);
    const auto atOrBelow = static_cast<int32_t>(above - std::begin(kTempTable));
    return std::min<int32_t>(-40 + atOrBelow, 125);
}

// Appends text, or a float as the stream's default format prints it (general
// notation, six significant digits), without the stream's locale round trip.
// The float goes through snprintf: the library's float to_chars would raise
// the module's C++ runtime requirement for this one use. A line is at most
// about 70 bytes, well inside the buffer.
struct LineBuilder {
    plor::Line& line;
    char* at() { return line.text + line.length; }
    size_t room() const { return sizeof line.text - line.length; }
    void put(const char* s) {
        const size_t n = std::strlen(s);
        std::memcpy(at(), s, n);
        line.length += n;
    }
    void put(float v) {
        const int n = std::snprintf(at(), room(), "%.6g", static_cast<double>(v));
        line.length += static_cast<size_t>(n);
    }
    void put(int32_t v) { line.length = static_cast<size_t>(std::to_chars(at(), at() + room(), v).ptr - line.text); }
};

float calibrated(plor::Line& line, const char* gainLabel, float gain, const char* offsetLabel,
                 float offset, int32_t raw) {
    // Two statements keep the product rounded to float before the add.
    const float product = gain * static_cast<float>(raw);
    const float value = product + offset;
    LineBuilder b{line};
    b.put("rAi:");
    b.put(value);
    b.put(gainLabel);
    b.put(gain);
    b.put(offsetLabel);
    b.put(offset);
    b.put(" iAi:");
    b.put(raw);
    return value < 0 ? 0.0f : value;
}

}  // namespace

plor::RoundValues plor::computeRound(const std::array<std::string, 4>& texts, const Gains& gains,
                                     const TemperatureRing& ring) {
    RoundValues out;
    out.ring = ring;

    // ai1: one sample per round; the temperature follows the mean of ten.
    TemperatureRing& r = out.ring;
    const int32_t sample = temperatureSample(parseInt32(texts[0].c_str()));
    const int32_t slot = r.count % 10;
    if (slot != 0) {
        r.samples[slot] = sample;
    } else {
        int32_t mean = sample;
        if (r.count > 0) {
            int32_t sum = 0;
            for (int32_t s : r.samples) sum += s;
            mean = sum / 10;
        }
        out.temperature = static_cast<float>(mean);
        out.temperatureSet = true;
        r.samples[0] = sample;
    }
    // Past the top the count steps back by ten: the slot sequence goes on
    // and the count never reads as the first acquisition again.
    r.count = r.count == std::numeric_limits<int32_t>::max() ? r.count - 9 : r.count + 1;

    out.loadCurrent = calibrated(out.lines[0], " a2_:", gains.a2, " b2_:", gains.b2,
                                 parseInt32(texts[1].c_str()));
    out.dcVoltage = calibrated(out.lines[1], " a3_:", gains.a3, " b3_:", gains.b3,
                               parseInt32(texts[2].c_str()));
    out.acVoltage = calibrated(out.lines[2], " a4_:", gains.a4, " b4_:", gains.b4,
                               parseInt32(texts[3].c_str()));

    if (!(static_cast<double>(out.acVoltage) < 0.001)) {
        const float power = out.loadCurrent * out.dcVoltage;
        const double current =
            (static_cast<double>(power) / 0.95) / static_cast<double>(out.acVoltage);
        out.acCurrent = static_cast<float>(current);
        if (static_cast<double>(out.acCurrent) < 0.2) out.acCurrent = 0.0f;
    }
    return out;
}
