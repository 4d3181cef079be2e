// The round's arithmetic on its own: texts, calibration and ring in, values,
// ring and lines out, with no file or device.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "round.h"

namespace {

TEST(Round, ValuesLinesAndRingFromTextsAlone) {
    plor::TemperatureRing ring;
    ring.count = 10;
    for (int32_t& s : ring.samples) s = 20;
    const plor::Gains gains{0.1f, 0.0f, 1.0f, -10.0f, 2.5f, 0.25f};
    const plor::RoundValues r = plor::computeRound({"931\n", "535\n", "5", "100abc"}, gains, ring);
    EXPECT_TRUE(r.temperatureSet);
    EXPECT_EQ(r.temperature, 20.0f);  // the mean of the ten before
    EXPECT_EQ(r.ring.samples[0], 26);
    EXPECT_EQ(r.ring.count, 11);
    EXPECT_EQ(r.loadCurrent, 53.5f);
    EXPECT_EQ(r.dcVoltage, 0.0f);  // -5 clamped
    EXPECT_EQ(r.acVoltage, 250.25f);
    EXPECT_EQ(r.acCurrent, 0.0f);  // no DC power
    EXPECT_EQ(r.lines[0].str(), "rAi:53.5 a2_:0.1 b2_:0 iAi:535");
    EXPECT_EQ(r.lines[1].str(), "rAi:-5 a3_:1 b3_:-10 iAi:5");
    EXPECT_EQ(r.lines[2].str(), "rAi:250.25 a4_:2.5 b4_:0.25 iAi:100");
}

// The lines must read exactly as the standard stream prints a float, for
// every kind of value, without relying on the library's float to_chars.
TEST(Round, FloatsPrintAsTheStreamDoes) {
    std::mt19937 random(9);
    std::vector<float> values = {0.0f, -0.0f, 1e-5f, 123456.0f, 1234567.0f, 0.000125f,
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::denorm_min()};
    for (int i = 0; i < 2000; ++i) {
        const uint32_t bits = random();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        values.push_back(f);
    }
    for (float gain : values) {
        const plor::RoundValues r =
            plor::computeRound({"0", "7", "0", "0"}, {gain, 0, 0, 0, 0, 0}, {});
        const float product = gain * 7.0f;
        const float value = product + 0.0f;
        std::ostringstream expected;
        expected << "rAi:" << value << " a2_:" << gain << " b2_:0 iAi:7";
        ASSERT_EQ(r.lines[0].str(), expected.str()) << gain;
    }
}

}  // namespace
