// The data-device template: generic settings, round completion and cache
// restore, observed through the recording host.
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_doc.h"
#include "plor_sps_data.h"
#include "test_support.h"
#include "uni_data_device.h"

namespace {

using plortest::CoutCapture;
using plortest::hex;
using plortest::json;
using Lines = std::vector<std::string>;

// A minimal driver: its alarm evaluation counts itself into the first alarm
// byte, reports once and leaves rules for the batch check.
class TemplateDevice : public UniDataDevice<PLOR_SPS_Data_t, SPModbus, 5156> {
public:
    using UniDataDevice::b_mode_;
    using UniDataDevice::record_;
    using UniDataDevice::signalNames_;
    using UniDataDevice::thresholdIds_;
    using SMDVDevice::batchResult_;
    using SMDVDevice::dataReady_;
    using SMDVDevice::ruleValues_;
    using SMDVDevice::statusWord_;
    using SMDVDevice::thresholdLevels_;
    using SMDVDevice::thresholdValues_;
    using SMDVDevice::updateTime_;

    int process_payload(tab_type, unsigned int) override { return 0; }
    void RunCheckThreshold() override {
        record_.dcLowAlarm = static_cast<uint8_t>(++evaluations);
        CheckThresholdBool(1, "41B220302001", "", "test", "0", true, 0);
        for (int i = 0; i < rulesToAdd; ++i) ruleValues_.push_back(rule_value{});
    }

    int evaluations = 0;
    int rulesToAdd = 0;
};

class TemplateTest : public ::testing::Test {
protected:
    void SetUp() override {
        dev.Init(std::weak_ptr<SMDController>(), 7, Json::Value());
        dev.setClock([this] { return clock.now; });
    }

    std::vector<uint8_t> bytes(const PLOR_SPS_Data_t& r) const {
        const auto* p = reinterpret_cast<const uint8_t*>(&r);
        return std::vector<uint8_t>(p, p + sizeof r);
    }

    std::vector<std::string> kinds() const {
        std::vector<std::string> out;
        for (const auto& c : host.calls()) out.push_back(c.what);
        return out;
    }

    plortest::RecordingHost host;
    plortest::FakeClock clock;
    TemplateDevice dev;
};

struct ModeCase {
    const char* name;
    bool startInMode3;
    const char* doc;
    int mode;
    Lines lines;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class TemplateModeTest : public TemplateTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(TemplateModeTest, ReadsAlarmModeAndPrints) {
    const ModeCase& c = GetParam();
    if (c.startInMode3) {
        CoutCapture quiet;
        dev.InitSetting(json(R"({"appSetting":{"b_mode":3}})"));
    }
    CoutCapture out;
    EXPECT_TRUE(dev.InitSetting(json(c.doc)));
    EXPECT_EQ(dev.b_mode_, c.mode);
    EXPECT_EQ(out.lines(), c.lines);
    EXPECT_EQ(dev.record().dataId, 7u);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, TemplateModeTest,
    ::testing::Values(
        ModeCase{"number3", false, R"({"appSetting":{"b_mode":3}})", 3,
                 {"InitSetting 7 b_mode_:3", "here 1"}},
        ModeCase{"text3", false, R"({"appSetting":{"b_mode":"3"}})", 3,
                 {"InitSetting 7 b_mode_:3", "here 1"}},
        ModeCase{"textWithoutDigits", false, R"({"appSetting":{"b_mode":"three"}})", 0,
                 {"InitSetting 7 b_mode_:0"}},
        ModeCase{"leadingDigits", false, R"({"appSetting":{"b_mode":"2x"}})", 2,
                 {"InitSetting 7 b_mode_:2"}},
        ModeCase{"realNumber", false, R"({"appSetting":{"b_mode":3.9}})", 3,
                 {"InitSetting 7 b_mode_:3", "here 1"}},
        ModeCase{"boolean", false, R"({"appSetting":{"b_mode":true}})", 0,
                 {"InitSetting 7 b_mode_:0"}},
        ModeCase{"hugeSaturates", false, R"({"appSetting":{"b_mode":"99999999999"}})",
                 2147483647, {"InitSetting 7 b_mode_:2147483647"}},
        ModeCase{"modeNull", false, R"({"appSetting":{"b_mode":null}})", 1, {}},
        ModeCase{"appSettingAbsent", false, R"({})", 1, {}},
        ModeCase{"appSettingNull", false, R"({"appSetting":null})", 1, {}},
        ModeCase{"appSettingArray", false, R"({"appSetting":[{"b_mode":3}]})", 1, {}},
        ModeCase{"appSettingString", false, R"({"appSetting":"b_mode"})", 1, {}},
        ModeCase{"nullDocument", false, R"(null)", 1, {}},
        ModeCase{"keptMode3StillReadsRules", true, R"({"thresholdSetting":{}})", 3,
                 {"here 1", "here 2"}},
        ModeCase{"emptyRules", false, R"({"appSetting":{"b_mode":3},"thresholdSetting":{}})", 3,
                 {"InitSetting 7 b_mode_:3", "here 1", "here 2"}},
        ModeCase{"rulesInsideAppSettingIgnored", false,
                 R"({"appSetting":{"b_mode":3,"thresholdSetting":{"r":{}}}})", 3,
                 {"InitSetting 7 b_mode_:3", "here 1"}},
        ModeCase{"rulesIgnoredOutsideMode3", false,
                 R"({"appSetting":{"b_mode":1},"thresholdSetting":{"r":{"ID":"1"}}})", 1,
                 {"InitSetting 7 b_mode_:1"}}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

TEST_F(TemplateTest, Mode3ReadsThresholdRules) {
    dev.thresholdLevels_["d"] = 2;
    dev.thresholdValues_["d"] = 1.5f;
    CoutCapture out;
    dev.InitSetting(json(R"({"appSetting":{"b_mode":3},"thresholdSetting":{
        "d":{"NMAlarmID":"N1","ID":7,"SignalNumber":"2","SignalName":"Full"},
        "b":"text", "a":5, "c":{"SignalName":"Only"}}})"));
    const Lines expected = {"InitSetting 7 b_mode_:3",
                            "here 1",
                            "here 2",
                            "here a",
                            "here b",
                            "here c",
                            "7 NMAlarmID is missing",
                            "7 ID is missing",
                            "7 SignalNumber is missing",
                            "mobile:c:;;; level:0 value:0",
                            "here d",
                            "mobile:d:N1;7;2; level:2 value:1.5"};
    EXPECT_EQ(out.lines(), expected);
    const std::map<std::string, std::string> ids = {{"c", ";;;"}, {"d", "N1;7;2;"}};
    const std::map<std::string, std::string> names = {{"c", "Only"}, {"d", "Full"}};
    EXPECT_EQ(dev.thresholdIds_, ids);
    EXPECT_EQ(dev.signalNames_, names);

    // A later document replaces entries and removes none.
    CoutCapture again;
    dev.InitSetting(json(R"({"thresholdSetting":{"d":{"NMAlarmID":"N2","ID":"8"}}})"));
    EXPECT_EQ(dev.thresholdIds_.at("d"), "N2;8;;");
    EXPECT_EQ(dev.thresholdIds_.at("c"), ";;;");
    EXPECT_EQ(dev.signalNames_.at("d"), "Full");
}

// A document the JSON library rejects changes neither the mode nor a table.
TEST_F(TemplateTest, RejectedDocumentChangesNothingButDataId) {
    const char* const docs[] = {
        R"([1])",
        R"({"appSetting":{"b_mode":[3]}})",
        R"({"appSetting":{"b_mode":{}}})",
        R"({"appSetting":{"b_mode":3},"thresholdSetting":{"a":{"ID":"1"},"b":{"ID":[]}}})",
        R"({"appSetting":{"b_mode":3},"thresholdSetting":{"a":{"SignalName":{"x":1}}}})",
    };
    for (const char* doc : docs) {
        SCOPED_TRACE(doc);
        dev.record_.dataId = 0;
        CoutCapture quiet;
        EXPECT_THROW(dev.InitSetting(json(doc)), Json::Exception);
        EXPECT_EQ(dev.b_mode_, 1);
        EXPECT_TRUE(dev.thresholdIds_.empty());
        EXPECT_TRUE(dev.signalNames_.empty());
        EXPECT_EQ(dev.record().dataId, 7u);
    }
}

TEST_F(TemplateTest, RejectedRulesKeepEarlierTables) {
    {
        CoutCapture quiet;
        dev.InitSetting(json(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"a":{"ID":"1"}}})"));
    }
    CoutCapture quiet;
    EXPECT_THROW(dev.InitSetting(json(R"({"appSetting":{"b_mode":"3"},"thresholdSetting":{
                     "a":{"ID":"changed","SignalName":"n"},"z":{"SignalNumber":[1]}}})")),
                 Json::Exception);
    EXPECT_EQ(dev.thresholdIds_, (std::map<std::string, std::string>{{"a", ";1;;"}}));
    EXPECT_TRUE(dev.signalNames_.empty());
}

TEST_F(TemplateTest, RoundDoneHandsOverBeforeEvaluationAndStoresAfter) {
    dev.record_.dcVoltage = 53.5f;
    dev.rulesToAdd = 2;
    host.batchResult = true;
    CoutCapture out;
    dev.RoundDone();

    EXPECT_EQ(kinds(), (Lines{"SendSP", "Reset", "Check", "Batch", "History"}));
    const auto sent = host.callsOf("SendSP").at(0);
    const auto stored = host.callsOf("History").at(0);
    EXPECT_EQ(sent.code, 5156);
    ASSERT_EQ(sent.image.size(), 37u);
    ASSERT_EQ(stored.image.size(), 37u);
    EXPECT_EQ(hex(sent.image, 12, 4), "00 00 56 42");
    EXPECT_EQ(hex(sent.image, 30, 7), "EA 07 03 05 07 04 09");
    EXPECT_EQ(sent.image[24], 0);    // before this round's evaluation
    EXPECT_EQ(stored.image[24], 1);  // after it
    EXPECT_EQ(host.callsOf("Batch").at(0).code, 2);
    EXPECT_EQ(out.lines(), (Lines{"rvSize is 2"}));
    EXPECT_TRUE(dev.ruleValues_.empty());
    EXPECT_TRUE(dev.batchResult_);
    EXPECT_TRUE(dev.dataReady_);
    EXPECT_EQ(dev.statusWord_, 1);
    EXPECT_EQ(dev.updateTime_, clock.now);

    // The next round carries the previous evaluation to the host, and the
    // batch result starts afresh.
    host.clear();
    host.batchResult = false;
    dev.rulesToAdd = 0;
    clock.now += boost::posix_time::seconds(61);
    dev.RoundDone();
    EXPECT_EQ(host.callsOf("SendSP").at(0).image[24], 1);
    EXPECT_EQ(host.callsOf("History").at(0).image[24], 2);
    EXPECT_EQ(hex(host.callsOf("History").at(0).image, 34, 3), "07 05 0A");
    EXPECT_EQ(host.callsOf("Batch").at(0).code, 0);
    EXPECT_FALSE(dev.batchResult_);
    EXPECT_EQ(out.lines(), (Lines{"rvSize is 2", "rvSize is 0"}));
}

TEST_F(TemplateTest, RoundDoneStampsWholeSeconds) {
    clock.now += boost::posix_time::milliseconds(750);
    CoutCapture quiet;
    dev.RoundDone();
    EXPECT_EQ(dev.updateTime_.time_of_day(), boost::posix_time::time_duration(7, 4, 9));
}

TEST_F(TemplateTest, LoadFromCacheRejectsWrongImagesUntouched) {
    dev.record_.acVoltage = 230.0f;
    const std::vector<uint8_t> before = bytes(dev.record());
    const std::vector<uint8_t> image(38, 0xAB);
    struct Case {
        const unsigned char* data;
        int length;
    };
    for (const Case c : {Case{image.data(), 36}, Case{image.data(), 38}, Case{nullptr, 37},
                         Case{image.data(), 0}, Case{image.data(), -37}}) {
        SCOPED_TRACE(c.length);
        EXPECT_FALSE(dev.LoadFromCache(c.data, c.length));
    }
    EXPECT_FALSE(dev.LoadFromCache(std::string(36, '\x01')));
    EXPECT_EQ(bytes(dev.record()), before);
    EXPECT_FALSE(dev.dataReady_);
    EXPECT_TRUE(host.calls().empty());
}

TEST_F(TemplateTest, LoadFromCacheRestoresAndCompletesARound) {
    std::vector<uint8_t> image(37);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i + 1);
    CoutCapture out;
    ASSERT_TRUE(dev.LoadFromCache(image.data(), 37));

    EXPECT_EQ(kinds(), (Lines{"SendSP", "Reset", "Check", "Batch", "History"}));
    const auto sent = host.callsOf("SendSP").at(0).image;
    // Every cached byte comes back, its time too, except the data id, which
    // is the device's own: the cache may predate a change.
    EXPECT_TRUE(std::equal(image.begin() + 4, image.end(), sent.begin() + 4));
    EXPECT_EQ(hex(sent, 0, 4), "07 00 00 00");
    EXPECT_EQ(dev.record().dataId, 7u);
    EXPECT_EQ(hex(host.callsOf("History").at(0).image, 0, 4), "07 00 00 00");
    EXPECT_TRUE(dev.dataReady_);
    EXPECT_EQ(out.lines(), (Lines{"rvSize is 0"}));

    // The text form goes the same way.
    host.clear();
    EXPECT_TRUE(dev.LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(host.callsOf("SendSP").size(), 1u);
}

// A restored reading is as old as its stamp: the device's update time comes
// from it, and the round after it is stamped anew.
TEST_F(TemplateTest, RestoredRecordKeepsItsOwnTime) {
    using boost::posix_time::ptime;
    using boost::posix_time::time_duration;
    using boost::gregorian::date;
    const struct Case {
        const char* what;
        ttime_t stamp;
        ptime update;  // not-a-date-time: none
    } cases[] = {
        {"old reading", {2020, 1, 2, 3, 4, 5}, ptime(date(2020, 1, 2), time_duration(3, 4, 5))},
        {"leap day", {2024, 2, 29, 23, 59, 59}, ptime(date(2024, 2, 29), time_duration(23, 59, 59))},
        {"zeroed", {0, 0, 0, 0, 0, 0}, ptime()},
        {"no such day", {2023, 2, 29, 1, 0, 0}, ptime()},
        {"no such hour", {2023, 2, 28, 24, 0, 0}, ptime()},
        {"no such second", {2023, 2, 28, 1, 0, 60}, ptime()},
    };
    for (const Case& c : cases) {
        PLOR_SPS_Data_t rec{};
        rec.dcVoltage = 53.5f;
        std::memcpy(&rec.year, &c.stamp, sizeof c.stamp);
        CoutCapture quiet;
        host.clear();
        ASSERT_TRUE(dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&rec), 37)) << c.what;
        EXPECT_EQ(dev.updateTime_, c.update) << c.what;
        for (const char* kind : {"SendSP", "History"}) {
            const auto image = host.callsOf(kind).at(0).image;
            EXPECT_EQ(0, std::memcmp(image.data() + 30, &c.stamp, 7)) << c.what << " " << kind;
        }
    }
    // The next round is a fresh measurement again.
    CoutCapture quiet;
    host.clear();
    dev.RoundDone();
    EXPECT_EQ(hex(host.callsOf("SendSP").at(0).image, 30, 7), "EA 07 03 05 07 04 09");
    EXPECT_EQ(dev.updateTime_, clock.now);
}

}  // namespace
