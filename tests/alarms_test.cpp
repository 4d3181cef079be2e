// The six voltage alarms as the host receives them, driven through a cached
// record so that exactly the given voltages are judged.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "acquisition_rig.h"
#include "test_support.h"

namespace {

using plortest::CoutCapture;
using plortest::Rig;

void load(Rig& rig, float dc, float ac, uint8_t flags) {
    PLOR_SPS_Data_t image;
    std::memset(&image, 0, sizeof image);
    image.dcVoltage = dc;
    image.acVoltage = ac;
    std::memset(&image.dcLowAlarm, flags, 6);
    CoutCapture out;
    ASSERT_TRUE(rig.dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&image), sizeof image));
}

std::string activeOf(const std::vector<plortest::HostCall>& checks) {
    std::string s;
    for (const auto& c : checks) s += c.active ? '1' : '0';
    return s;
}

TEST(Alarms, ReportsAllSixWithIdentifiersNamesAndFixedArguments) {
    Rig rig;
    load(rig, 53.2f, 220.0f, 0);
    const auto checks = rig.host.callsOf("Check");
    ASSERT_EQ(checks.size(), 6u);
    const char* ids[] = {"41B220302001", "41B220304001", "41B210404001",
                         "41B210402001", "41B415001001", "41B430501001"};
    const char* names[] = {"直流输出电压过低",    "直流输出电压过高", "交流输入A相电压过高",
                           "交流输入A相电压过低", "市电故障",         "模块故障"};
    const char* texts[] = {"53.2000008", "53.2000008", "220", "220", "220", "模块故障"};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(checks[i].code, 1) << i;
        EXPECT_EQ(checks[i].signalId, ids[i]) << i;
        EXPECT_EQ(checks[i].alarmId, ids[i]) << i;
        EXPECT_EQ(checks[i].name, names[i]) << i;
        EXPECT_EQ(checks[i].valueText, texts[i]) << i;
        EXPECT_FALSE(checks[i].active) << i;
        EXPECT_EQ(checks[i].address, 1) << i;
    }
}

TEST(Alarms, StrictLimits) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float dc, ac;
        const char* active;  // alarms 1 to 6
        const char* dcText;
        const char* acText;
    } cases[] = {
        {40.0f, 220.0f, "000000", "40", "220"},
        {59.0f, 220.0f, "000000", "59", "220"},
        {39.99f, 220.0f, "100001", "39.9900017", "220"},
        {59.01f, 220.0f, "010001", "59.0099983", "220"},
        {53.5f, 280.0f, "000000", "53.5", "280"},
        {53.5f, 280.5f, "001001", "53.5", "280.5"},
        {53.5f, 150.0f, "000000", "53.5", "150"},
        {53.5f, 120.0f, "000101", "53.5", "120"},
        {53.5f, 90.0f, "000101", "53.5", "90"},
        {53.5f, 80.0f, "000111", "53.5", "80"},
        {0.0f, 0.0f, "100111", "0", "0"},
        {nan, nan, "000000", "nan", "nan"},
        {-nan, 220.0f, "000000", "-nan", "220"},
        {std::numeric_limits<float>::infinity(), 220.0f, "010001", "infinity", "220"},
        {53.5f, -std::numeric_limits<float>::infinity(), "000111", "53.5", "-infinity"},
    };
    for (const Case& c : cases) {
        Rig rig;
        load(rig, c.dc, c.ac, 0);
        const auto checks = rig.host.callsOf("Check");
        ASSERT_EQ(checks.size(), 6u);
        EXPECT_EQ(activeOf(checks), c.active) << c.dcText << " " << c.acText;
        EXPECT_EQ(checks[0].valueText, c.dcText);
        EXPECT_EQ(checks[1].valueText, c.dcText);
        for (size_t i = 2; i < 5; ++i) EXPECT_EQ(checks[i].valueText, c.acText);
        EXPECT_EQ(checks[5].valueText, "模块故障");
        // The flags stored match what was reported.
        const PLOR_SPS_Data_t r = rig.dev.record();
        const uint8_t* flags = &r.dcLowAlarm;
        std::string stored;
        for (int i = 0; i < 6; ++i) stored += static_cast<char>('0' + flags[i]);
        EXPECT_EQ(stored, c.active);
    }
}

TEST(Alarms, OnlyModeOneEvaluates) {
    for (int32_t mode : {0, 2, 3}) {
        Rig rig;
        rig.dev.setMode(mode);
        load(rig, 0.0f, 0.0f, 1);
        EXPECT_TRUE(rig.host.callsOf("Check").empty()) << mode;
        const auto stored = rig.host.callsOf("History");
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(plortest::hex(stored[0].image, 24, 6), "01 01 01 01 01 01") << mode;
    }
}

}  // namespace
