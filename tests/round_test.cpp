// The round's arithmetic on its own, with no file or device.
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
