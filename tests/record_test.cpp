// The record image the driver hands the host, and the number parsing that
// every settings key and input text goes through.
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "numbers.h"
#include "plor_sps.h"
#include "test_support.h"

namespace {

using plortest::hex;

TEST(Record, ImageIsLittleEndianAndPacked) {
    plortest::RecordingHost host;
    plortest::FakeClock clock;
    PLOR_SPS dev;
    dev.setClock([&clock] { return clock.now; });
    // A restored record carries the device's own data id.
    dev.Init(std::weak_ptr<SMDController>(), 0x01020304u, Json::Value());

    PLOR_SPS_Data_t cached{};
    cached.dataId = 0x0A0B0C0Du;
    cached.dcVoltage = 53.5f;
    cached.acVoltage = 220.0f;
    cached.moduleFailAlarm = 1;
    cached.year = 1999;
    cached.month = 12;
    cached.day = 31;
    cached.hour = 23;
    cached.minute = 59;
    cached.second = 58;
    std::vector<uint8_t> image(sizeof cached);
    std::memcpy(image.data(), &cached, sizeof cached);

    plortest::CoutCapture quiet;
    ASSERT_TRUE(dev.LoadFromCache(image.data(), static_cast<int>(image.size())));
    const auto sent = host.callsOf("SendSP").at(0);
    EXPECT_EQ(sent.code, 5156);
    ASSERT_EQ(sent.image.size(), 37u);
    EXPECT_EQ(hex(sent.image, 0, 4), "04 03 02 01");
    EXPECT_EQ(hex(sent.image, 12, 4), "00 00 56 42");
    EXPECT_EQ(hex(sent.image, 16, 4), "00 00 5C 43");
    EXPECT_EQ(sent.image[29], 1);
    // A restored reading keeps its own time.
    EXPECT_EQ(hex(sent.image, 30, 7), "CF 07 0C 1F 17 3B 3A");
    EXPECT_EQ(host.callsOf("History").at(0).image.size(), 37u);
}

TEST(Numbers, ParseInt32BehavesLikeAtoiAndSaturates) {
    constexpr int32_t max = std::numeric_limits<int32_t>::max();
    constexpr int32_t min = std::numeric_limits<int32_t>::min();
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"0", 0},
        {"42", 42},
        {"  \t\n+42x", 42},
        {"-17.9", -17},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"+-1", 0},
        {"2147483647", max},
        {"2147483648", max},
        {"-2147483648", min},
        {"-2147483649", min},
        {"000000000000000000000012", 12},
        {"99999999999999999999999999999", max},
        {"-99999999999999999999999999999", min},
        {nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(plor::parseInt32(c.text), c.value);
    }
}

TEST(Numbers, ParseFloatRoundsToSinglePrecision) {
    EXPECT_EQ(plor::parseFloat("0.1"), 0.1f);
    EXPECT_EQ(plor::parseFloat(" 53.5V"), 53.5f);
    EXPECT_EQ(plor::parseFloat("1e3"), 1000.0f);
    EXPECT_EQ(plor::parseFloat("x1"), 0.0f);
    EXPECT_EQ(plor::parseFloat(nullptr), 0.0f);
}

}  // namespace
