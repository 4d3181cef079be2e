// The driver's calibration settings and its start values.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_doc.h"
#include "plor_sps.h"
#include "test_support.h"

namespace {

using plortest::CoutCapture;
using plortest::json;
using Lines = std::vector<std::string>;

class Probe : public PLOR_SPS {
public:
    using PLOR_SPS::a1_;
    using PLOR_SPS::a2_;
    using PLOR_SPS::a3_;
    using PLOR_SPS::a4_;
    using PLOR_SPS::ai2x1_;
    using PLOR_SPS::ai2y1_;
    using PLOR_SPS::ai3x1_;
    using PLOR_SPS::ai3x2_;
    using PLOR_SPS::ai4x1_;
    using PLOR_SPS::ai4x2_;
    using PLOR_SPS::b1_;
    using PLOR_SPS::b2_;
    using PLOR_SPS::b3_;
    using PLOR_SPS::b4_;
    using PLOR_SPS::b_mode_;
    using PLOR_SPS::baudRate_;
    using PLOR_SPS::portFlag_;
    using PLOR_SPS::tempRing_;
    using PLOR_SPS::thresholdIds_;
    using PLOR_SPS::write_expect_;
    using PLOR_SPS::write_result_;

    // Every calibration member, in declaration order.
    std::vector<uint32_t> calibration() const {
        const int32_t ints[] = {ai1x1_, ai1x2_, ai2x1_, ai2x2_, ai3x1_, ai3x2_, ai4x1_, ai4x2_};
        const float floats[] = {ai1y1_, ai1y2_, ai2y1_, ai2y2_, ai3y1_, ai3y2_, ai4y1_, ai4y2_,
                                a1_,    b1_,    a2_,    b2_,    a3_,    b3_,    a4_,    b4_};
        std::vector<uint32_t> out;
        for (int32_t v : ints) out.push_back(static_cast<uint32_t>(v));
        for (float f : floats) {
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            out.push_back(bits);
        }
        return out;
    }
};

uint32_t bits(float f) {
    uint32_t out;
    std::memcpy(&out, &f, sizeof out);
    return out;
}

class SettingsTest : public ::testing::Test {
protected:
    Lines apply(const std::string& doc) {
        CoutCapture out;
        dev.InitSetting(json(doc));
        return out.lines();
    }

    plortest::RecordingHost host;
    Probe dev;
};

TEST_F(SettingsTest, StartValues) {
    EXPECT_EQ(dev.DeviceType(), "plor_sps");
    EXPECT_TRUE(dev.IsSupportDevice("plor_sps"));
    EXPECT_EQ(dev.baudRate_, 9600);
    EXPECT_EQ(dev.portFlag_, 1);
    EXPECT_EQ(dev.b_mode_, 1);
    EXPECT_EQ(dev.write_result_, -1);
    EXPECT_EQ(dev.write_expect_, -1);
    EXPECT_EQ(dev.tempRing_.count, 0);
    EXPECT_EQ(dev.calibration(), std::vector<uint32_t>(24, 0));
    const PLOR_SPS_Data_t rec = dev.record();
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&rec),
                                   reinterpret_cast<const uint8_t*>(&rec) + sizeof rec),
              std::vector<uint8_t>(37, 0));
}

TEST_F(SettingsTest, DataIdIsSetWhateverTheDocument) {
    dev.Init(std::weak_ptr<SMDController>(), 42, Json::Value());
    EXPECT_EQ(apply("{}"), Lines{});
    EXPECT_EQ(dev.record().dataId, 42u);
}

TEST_F(SettingsTest, TwoPointsGiveExactSinglePrecisionCoefficients) {
    const Lines lines = apply(R"({"appSetting":{
        "ai2x1":0, "ai2x2":1000, "ai2y1":0, "ai2y2":100,
        "ai3x1":"100", "ai3x2":900, "ai3y1":"0", "ai3y2":60.0}})");
    EXPECT_EQ(bits(dev.a2_), 0x3DCCCCCDu);
    EXPECT_EQ(bits(dev.b2_), 0x80000000u);  // -0.0: +0 over a negative divisor
    EXPECT_EQ(bits(dev.a3_), 0x3D99999Au);
    EXPECT_EQ(dev.b3_, -7.5f);
    EXPECT_EQ(lines, Lines{"ai3y2_:60 ai3y1_:0 ai3x2_:900 ai3x1_:100"});
}

struct Channel3Case {
    const char* name;
    const char* doc;
    float a3, b3;
    bool line;
};

void PrintTo(const Channel3Case& c, std::ostream* os) { *os << c.name; }

class Channel3Test : public SettingsTest, public ::testing::WithParamInterface<Channel3Case> {};

TEST_P(Channel3Test, DirectCoefficientsYieldToTwoPoints) {
    const Channel3Case& c = GetParam();
    const Lines lines = apply(c.doc);
    EXPECT_EQ(dev.a3_, c.a3);
    EXPECT_EQ(dev.b3_, c.b3);
    EXPECT_EQ(lines.size(), c.line ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, Channel3Test,
    ::testing::Values(
        Channel3Case{"equalPoints", R"({"appSetting":{"a3":"0.06","b3":"-1","ai3x1":100,"ai3x2":100}})",
                     0.06f, -1.0f, false},
        Channel3Case{"distinctPoints",
                     R"({"appSetting":{"a3":"0.06","b3":"-1","ai3x1":100,"ai3x2":900,"ai3y2":60}})",
                     0.075f, -7.5f, true},
        Channel3Case{"noPoints", R"({"appSetting":{"a3":2,"b3":true}})", 2.0f, 0.0f, false}),
    [](const ::testing::TestParamInfo<Channel3Case>& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, LaterCallsWorkOnEarlierValues) {
    apply(R"({"appSetting":{"a4":2}})");
    EXPECT_EQ(dev.a4_, 2.0f);
    apply(R"({"appSetting":{"ai4x1":0,"ai4x2":10,"ai4y2":5}})");
    EXPECT_EQ(dev.a4_, 0.5f);
    // The stored points are derived again and override the new gain.
    apply(R"({"appSetting":{"a4":2,"b4":3}})");
    EXPECT_EQ(dev.a4_, 0.5f);
    EXPECT_EQ(bits(dev.b4_), 0x80000000u);
    // Absent and null keys keep their members.
    apply(R"({"appSetting":{"ai4x1":null}})");
    EXPECT_EQ(dev.ai4x1_, 0);
    EXPECT_EQ(dev.ai4x2_, 10);
}

struct KeyCase {
    const char* value;  // JSON text of the value given to "ai2x1" and "ai2y1"
    int32_t asInt;
    float asFloat;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.value; }

class KeyFormTest : public SettingsTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyFormTest, ParsesLikeAtoiAndAtof) {
    const KeyCase& c = GetParam();
    apply(std::string(R"({"appSetting":{"ai2x1":)") + c.value + R"(,"ai2y1":)" + c.value + "}}");
    EXPECT_EQ(dev.ai2x1_, c.asInt);
    EXPECT_EQ(dev.ai2y1_, c.asFloat);
}

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Settings, KeyFormTest,
    ::testing::Values(KeyCase{"12", 12, 12.0f}, KeyCase{R"("12")", 12, 12.0f},
                      KeyCase{R"("12abc")", 12, 12.0f}, KeyCase{R"("12.7")", 12, 12.7f},
                      KeyCase{"12.7", 12, 12.7f}, KeyCase{R"("abc")", 0, 0.0f},
                      KeyCase{"true", 0, 0.0f}, KeyCase{"false", 0, 0.0f},
                      KeyCase{R"(" -5")", -5, -5.0f}, KeyCase{R"("")", 0, 0.0f},
                      KeyCase{R"("99999999999")", kMax, 99999999999.0f},
                      KeyCase{"-99999999999", kMin, -99999999999.0f},
                      KeyCase{R"("1e3")", 1, 1000.0f}, KeyCase{"1e3", 1000, 1000.0f}));

TEST_F(SettingsTest, ExtremeRawPointsDoNotOverflow) {
    apply(R"({"appSetting":{"ai4x1":"-99999999999","ai4x2":99999999999,"ai4y2":"4294967295"}})");
    EXPECT_EQ(dev.ai4x1_, kMin);
    EXPECT_EQ(dev.ai4x2_, kMax);
    // The spread 2^32 - 1 rounds to 2^32 in single precision.
    EXPECT_EQ(dev.a4_, 1.0f);
    EXPECT_EQ(dev.b4_, 2147483648.0f);
}

TEST_F(SettingsTest, AppSettingNotAnObjectReadsNoKeysButRunsTheGenericPart) {
    apply(R"({"appSetting":{"b_mode":3}})");
    for (const char* doc : {R"({"appSetting":[{"a2":5}],"thresholdSetting":{"r":{"ID":"1"}}})",
                            R"({"appSetting":"a2","thresholdSetting":{"r":{"ID":"1"}}})"}) {
        SCOPED_TRACE(doc);
        dev.thresholdIds_.clear();
        const Lines lines = apply(doc);
        EXPECT_EQ(dev.calibration(), std::vector<uint32_t>(24, 0));
        EXPECT_EQ(dev.thresholdIds_.at("r"), ";1;;");
        EXPECT_EQ(lines.front(), "here 1");
    }
}

TEST_F(SettingsTest, ChannelOneChangesNoReading) {
    apply(R"({"appSetting":{"ai1x1":0,"ai1x2":100,"ai1y1":-40,"ai1y2":125,"a1":3,"b1":4}})");
    EXPECT_EQ(dev.a1_, 1.65f);
    EXPECT_EQ(dev.b1_, -40.0f);
    const PLOR_SPS_Data_t rec = dev.record();
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&rec),
                                   reinterpret_cast<const uint8_t*>(&rec) + sizeof rec),
              std::vector<uint8_t>(37, 0));
}

// A document that the JSON library rejects anywhere, in the driver's keys or
// in the generic part, leaves every calibration member, the mode and the
// rule tables as they were; only the data id is refreshed.
TEST_F(SettingsTest, RejectedDocumentChangesNoCalibration) {
    apply(R"({"appSetting":{"ai3x1":100,"ai3x2":900,"ai3y2":60,"a4":"2"}})");
    const std::vector<uint32_t> before = dev.calibration();
    dev.Init(std::weak_ptr<SMDController>(), 42, Json::Value());

    const char* const docs[] = {
        R"([1])",
        R"({"appSetting":{"ai3x1":0,"ai3x2":1000,"ai3y2":100,"b4":[1]}})",
        R"({"appSetting":{"a2":"5","ai2x1":{"x":1}}})",
        R"({"appSetting":{"ai3x1":0,"ai3x2":1000,"ai3y2":100,"b_mode":{}}})",
        R"({"appSetting":{"ai3x1":0,"ai3x2":1000,"b_mode":3},"thresholdSetting":{"r":{"ID":[]}}})",
    };
    for (const char* doc : docs) {
        SCOPED_TRACE(doc);
        CoutCapture out;
        EXPECT_THROW(dev.InitSetting(json(doc)), Json::Exception);
        // None of the values it read, only why it was refused.
        const Lines lines = out.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("InitSetting 42 refused: ", 0), 0u) << lines[0];
        EXPECT_EQ(dev.calibration(), before);
        EXPECT_EQ(dev.b_mode_, 1);
        EXPECT_TRUE(dev.thresholdIds_.empty());
        EXPECT_EQ(dev.record().dataId, 42u);
    }
}

// A NaN or infinite calibration would give readings no alarm can ever catch.
TEST_F(SettingsTest, NonFiniteCalibrationRefusesTheWholeDocument) {
    apply(R"({"appSetting":{"ai3x1":100,"ai3x2":900,"ai3y2":60,"a4":"2"}})");
    const std::vector<uint32_t> before = dev.calibration();
    dev.Init(std::weak_ptr<SMDController>(), 42, Json::Value());
    // A JSON number too large for a double, as a lenient reader gives it.
    Json::Value huge = json(R"({"appSetting":{}})");
    huge["appSetting"]["a2"] = std::numeric_limits<double>::infinity();
    struct Case {
        Json::Value doc;
        const char* why;
    } cases[] = {
        {json(R"({"appSetting":{"a4":"nan","b_mode":3}})"), "a4"},
        {json(R"({"appSetting":{"b2":"-inf"}})"), "b2"},
        {huge, "a2"},
        {json(R"({"appSetting":{"ai1x2":1,"ai1y1":-3e38,"ai1y2":3e38}})"), "a1"},
        {json(R"({"appSetting":{"ai3y2":3e38,"b_mode":3}})"), "b3"},  // printed its line before
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        CoutCapture out;
        EXPECT_FALSE(dev.InitSetting(c.doc));
        EXPECT_EQ(out.lines(), Lines{"InitSetting 42 refused: " + std::string(c.why) +
                                     " is not finite"});
        EXPECT_EQ(dev.calibration(), before);
        EXPECT_EQ(dev.b_mode_, 1);
        EXPECT_EQ(dev.record().dataId, 42u);
    }
}

TEST_F(SettingsTest, ExampleDocumentApplies) {
    std::ifstream in(std::string(PLOR_SOURCE_DIR) + "/examples/settings.json");
    ASSERT_TRUE(in.good());
    Json::Value doc;
    Json::CharReaderBuilder builder;
    std::string errors;
    ASSERT_TRUE(Json::parseFromStream(builder, in, &doc, &errors)) << errors;
    CoutCapture out;
    EXPECT_TRUE(dev.InitSetting(doc));
    EXPECT_EQ(out.lines(), (Lines{"ai3y2_:60 ai3y1_:0 ai3x2_:900 ai3x1_:100", "InitSetting 0 b_mode_:1"}));
    EXPECT_EQ(dev.a2_, 0.1f);
    EXPECT_EQ(dev.a3_, 0.075f);
    EXPECT_EQ(dev.a4_, 0.3f);
}

}  // namespace
