#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "plor_sps_data.h"
#include "record.h"

using smdhost::decodeRecord;
using smdhost::Record;

namespace {

// A record image written out byte by byte, little-endian.
std::vector<unsigned char> image() {
    return {0x04, 0x03, 0x02, 0x01,              // dataId 0x01020304
            0x00, 0x00, 0xc8, 0x41,              // 25.0
            0x00, 0x00, 0x56, 0x42,              // 53.5
            0x00, 0x00, 0x20, 0x42,              // 40.0
            0x00, 0x00, 0xa0, 0x42,              // 80.0
            0x00, 0x00, 0x40, 0xbf,              // -0.75
            0, 0, 0, 1, 1, 1,                    // acLow, mainsFail, moduleFail
            0xe8, 0x07, 12, 31, 23, 59, 5};      // 2024-12-31 23:59:05
}

}  // namespace

TEST(Record, DecodesEveryFieldLittleEndian) {
    const auto img = image();
    Record r;
    ASSERT_TRUE(decodeRecord(img.data(), img.size(), r));
    EXPECT_EQ(r.dataId, 0x01020304u);
    EXPECT_FLOAT_EQ(r.temperature, 25.0f);
    EXPECT_FLOAT_EQ(r.loadCurrent, 53.5f);
    EXPECT_FLOAT_EQ(r.dcVoltage, 40.0f);
    EXPECT_FLOAT_EQ(r.acVoltage, 80.0f);
    EXPECT_FLOAT_EQ(r.acCurrent, -0.75f);
    EXPECT_EQ(r.timeText(), "2024-12-31 23:59:05");
    EXPECT_EQ(r.activeAlarmNames(),
              (std::vector<std::string>{"交流输入A相电压过低", "市电故障", "模块故障"}));
}

TEST(Record, AgreesWithThePluginsLayout) {
    PLOR_SPS_Data_t d{};
    d.dataId = 77;
    d.dcVoltage = 53.2f;
    d.mainsFailAlarm = 1;
    d.year = 2026;
    d.second = 59;
    unsigned char bytes[sizeof d];
    std::memcpy(bytes, &d, sizeof d);
    Record r;
    ASSERT_TRUE(decodeRecord(bytes, sizeof bytes, r));
    EXPECT_EQ(r.dataId, 77u);
    EXPECT_FLOAT_EQ(r.dcVoltage, 53.2f);
    EXPECT_EQ(r.alarms[4], 1);
    EXPECT_EQ(r.year, 2026);
    EXPECT_EQ(r.second, 59);
}

TEST(Record, RefusesOtherLengths) {
    const auto img = image();
    Record r;
    EXPECT_FALSE(decodeRecord(img.data(), 36, r));
    std::vector<unsigned char> longer = img;
    longer.push_back(0);
    EXPECT_FALSE(decodeRecord(longer.data(), longer.size(), r));
    EXPECT_FALSE(decodeRecord(nullptr, 37, r));
}

TEST(Record, NumberText) {
    const struct {
        double in;
        const char* out;
    } cases[] = {{53.5, "53.5"}, {220.0, "220"}, {0.25598, "0.256"}, {-0.0, "0"},
                 {53.2000008, "53.2"}, {1e30, "1000000000000000019884624838656"}};
    for (const auto& c : cases) EXPECT_EQ(smdhost::numberText(c.in), c.out) << c.in;
}
