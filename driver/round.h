// The arithmetic of one polling round, apart from any file or device: the
// four accepted texts, the calibration and the temperature ring in; the five
// readings, the next ring and the lines the round prints out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace plor {

// Whole-degree temperature samples and the number of acquisitions so far;
// the slot of the next sample is the count modulo ten.
struct TemperatureRing {
    int32_t samples[10] = {};
    int32_t count = 0;
};

// Gain and offset of ai2, ai3 and ai4: value = gain * raw + offset.
struct Gains {
    float a2 = 0.0f, b2 = 0.0f, a3 = 0.0f, b3 = 0.0f, a4 = 0.0f, b4 = 0.0f;
};

// One printed line, without its line end.
struct Line {
    char text[128];
    size_t length = 0;
    std::string str() const { return std::string(text, length); }
};

struct RoundValues {
    bool temperatureSet = false;  // only some acquisitions set the temperature
    float temperature = 0.0f;
    float loadCurrent = 0.0f;
    float dcVoltage = 0.0f;
    float acVoltage = 0.0f;
    float acCurrent = 0.0f;
    TemperatureRing ring;       // the ring after this acquisition
    std::array<Line, 3> lines;  // the "rAi:" lines of ai2, ai3 and ai4
};

RoundValues computeRound(const std::array<std::string, 4>& texts, const Gains& gains,
                         const TemperatureRing& ring);

}  // namespace plor
