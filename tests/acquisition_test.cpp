// One polling round on a fake board: stable reads, the temperature table and
// ring, calibration, the derived AC current and all-or-nothing rounds.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "acquisition_rig.h"
#include "test_support.h"

namespace {

using plortest::CoutCapture;
using plortest::Rig;

std::vector<uint8_t> imageOf(const PLOR_SPS_Data_t& r) {
    const auto* p = reinterpret_cast<const uint8_t*>(&r);
    return std::vector<uint8_t>(p, p + sizeof r);
}

float temperatureAfterOneRound(const std::string& ai1) {
    Rig rig;
    rig.inputs(ai1, "0", "0", "0");
    CoutCapture out;
    rig.dev.RefreshStatus();
    return rig.dev.record().temperature;
}

TEST(Acquisition, TemperatureTableBoundaries) {
    struct Case {
        const char* raw;
        float degrees;
    } cases[] = {
        {"930", 25},   {"931", 26},    {"53", -40},   {"54", -39},
        {"1800", 125}, {"2000", 125},  {"-1", -40},   {"abc", -40},
        {"931\n", 26}, {"931abc", 26}, {" +931", 26}, {"99999999999", 125},
        {"-99999999999", -40},
    };
    for (const Case& c : cases) EXPECT_EQ(temperatureAfterOneRound(c.raw), c.degrees) << c.raw;
}

TEST(Acquisition, TemperatureIsTheTruncatedMeanOfTheTenRoundsBefore) {
    // 930 -> 25, 1800 -> 125, 54 -> -39, 53 -> -40.
    struct Case {
        const char* what;
        std::vector<std::string> raws;  // acquisitions 1 to 21
        std::vector<float> expected;    // temperature after 1, 2, 10, 11, 20, 21
    } cases[] = {
        {"negative mean truncates toward zero",
         {"1800", "54", "54", "54", "54", "54", "54", "54", "54", "54",  //
          "53", "930", "930", "930", "930", "930", "930", "930", "930", "930", "930"},
         {125, 125, 125, -22, -22, 18}},
        {"minus 395 gives minus 39",
         {"53", "53", "53", "53", "53", "54", "54", "54", "54", "54",  //
          "930", "930", "930", "930", "930", "930", "930", "930", "930", "930", "930"},
         {-40, -40, -40, -39, -39, 25}},
    };
    for (const Case& c : cases) {
        Rig rig;
        CoutCapture out;
        std::vector<float> seen;
        for (size_t n = 1; n <= c.raws.size(); ++n) {
            rig.inputs(c.raws[n - 1], "0", "0", "0");
            rig.dev.RefreshStatus();
            if (n == 1 || n == 2 || n == 10 || n == 11 || n == 20 || n == 21)
                seen.push_back(rig.dev.record().temperature);
        }
        EXPECT_EQ(seen, c.expected) << c.what;
        EXPECT_EQ(rig.dev.sampleCount(), 21) << c.what;
    }
}

TEST(Acquisition, SampleCountRunsPastTheTopWithoutLosingTheSlot) {
    Rig rig;
    rig.inputs("931", "0", "0", "0");  // 26 degrees
    rig.dev.setSampleCount(INT_MAX - 1);
    CoutCapture out;
    std::vector<int32_t> counts;
    for (int i = 0; i < 14; ++i) {
        rig.dev.RefreshStatus();
        counts.push_back(rig.dev.sampleCount());
    }
    EXPECT_EQ(counts[0], INT_MAX);
    for (size_t i = 0; i < counts.size(); ++i) {
        EXPECT_GT(counts[i], 0) << i;
        EXPECT_EQ(counts[i] % 10, static_cast<int32_t>((7 + i) % 10)) << i;
    }
    // Slots 6 to 9, then 0 (a mean, not a first sample), then 1 onwards.
    EXPECT_EQ(rig.dev.samples(), std::vector<int32_t>(10, 26));
    EXPECT_EQ(rig.dev.record().temperature, 10.0f);  // 4 x 26 and six empty slots
}

TEST(Acquisition, CalibrationLinesShowTheValueBeforeTheClamp) {
    Rig rig;
    rig.dev.calibrate(0.1f, 0.0f, 1.0f, -10.0f, 2.5f, 0.25f);
    rig.inputs("930\n", "535\n", "5", "12abc");
    CoutCapture out;
    EXPECT_EQ(rig.dev.RefreshStatus(), 0);
    EXPECT_EQ(out.lines(), (std::vector<std::string>{
                               "rAi:53.5 a2_:0.1 b2_:0 iAi:535",
                               "rAi:-5 a3_:1 b3_:-10 iAi:5",
                               "rAi:30.25 a4_:2.5 b4_:0.25 iAi:12",
                               "rvSize is 0",
                           }));
    const PLOR_SPS_Data_t r = rig.dev.record();
    EXPECT_EQ(r.temperature, 25.0f);
    EXPECT_EQ(r.loadCurrent, 53.5f);
    EXPECT_EQ(r.dcVoltage, 0.0f);
    EXPECT_EQ(r.acVoltage, 30.25f);
}

TEST(Acquisition, CalibrationLinesUseSixSignificantDigits) {
    Rig rig;
    rig.dev.calibrate(1e-5f, -0.000125f, 1.0f, 0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f);
    rig.inputs("930", "1234567", "-1234567", "7");
    CoutCapture out;
    rig.dev.RefreshStatus();
    const auto lines = out.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "rAi:12.3455 a2_:1e-05 b2_:-0.000125 iAi:1234567");
    EXPECT_EQ(lines[1], "rAi:-1.23457e+06 a3_:1 b3_:0 iAi:-1234567");
    EXPECT_EQ(lines[2], "rAi:nan a4_:nan b4_:0 iAi:7");
}

TEST(Acquisition, AcCurrentAndItsFloors) {
    struct Case {
        float load, dc, ac;  // offsets with zero gains give the values exactly
        float expected;
    } cases[] = {
        {1.0f, 53.5f, 220.0f, 0.25598f},
        {1.0f, 40.0f, 220.0f, 0.0f},      // 0.19139 is below 0.2
        {1.0f, 53.5f, 0.0005f, 0.0f},     // no AC voltage to speak of
        {1.0f, 53.5f, -220.0f, 0.0f},     // clamped to 0 first
        {100.0f, 53.5f, 220.0f, 25.598f},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.dev.calibrate(0, c.load, 0, c.dc, 0, c.ac);
        rig.inputs("930", "1", "1", "1");
        CoutCapture out;
        rig.dev.RefreshStatus();
        EXPECT_NEAR(rig.dev.record().acCurrent, c.expected, 1e-4) << c.load << " " << c.dc << " " << c.ac;
    }
}

TEST(Acquisition, AMissingInputSkipsTheRoundSilently) {
    for (size_t missing = 0; missing < 4; ++missing) {
        Rig rig;
        rig.dev.calibrate(1, 0, 1, 0, 1, 0);
        rig.inputs("930", "1", "2", "3");
        CoutCapture out;
        rig.dev.RefreshStatus();
        const auto before = imageOf(rig.dev.record());
        rig.host.clear();
        ::unlink(rig.input(missing).c_str());
        rig.inputs("931", "4", "5", "6");
        ::unlink(rig.input(missing).c_str());
        const size_t sleepsBefore = rig.sleeps.size();
        CoutCapture quiet;
        EXPECT_EQ(rig.dev.RefreshStatus(), 0);
        EXPECT_EQ(quiet.text(), "") << missing;
        EXPECT_TRUE(rig.host.calls().empty()) << missing;
        EXPECT_EQ(imageOf(rig.dev.record()), before) << missing;
        EXPECT_EQ(rig.dev.sampleCount(), 1) << missing;
        EXPECT_EQ(rig.sleeps.size(), sleepsBefore) << missing;
    }
}

TEST(Acquisition, StableReadAcceptsOnlyThreeEqualReads) {
    struct Case {
        const char* what;
        size_t file;
        std::function<void(Rig&, size_t)> change;  // at the n-th sleep
        size_t sleeps;
        float loadCurrent;
    } cases[] = {
        {"steady", 1, [](Rig&, size_t) {}, 8, 10},
        {"second read differs", 1,
         [](Rig& rig, size_t n) { if (n == 3) rig.write(1, "20"); }, 10, 20},
        {"third read differs", 1,
         [](Rig& rig, size_t n) { if (n == 4) rig.write(1, "20"); }, 11, 20},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.dev.calibrate(1, 0, 1, 0, 1, 0);
        rig.inputs("930", "10", "50", "220");
        rig.onSleep = [&](size_t n) { c.change(rig, n); };
        CoutCapture out;
        rig.dev.RefreshStatus();
        EXPECT_EQ(rig.sleeps.size(), c.sleeps) << c.what;
        EXPECT_EQ(rig.sleeps, std::vector<unsigned int>(c.sleeps, 100000)) << c.what;
        EXPECT_EQ(rig.dev.record().loadCurrent, c.loadCurrent) << c.what;
        EXPECT_EQ(rig.host.callsOf("SendSP").size(), 1u) << c.what;
    }
}

TEST(Acquisition, ARoundThatCannotReadAllFourChangesNothing) {
    int counter = 0;
    struct Case {
        const char* what;
        std::function<void(Rig&, size_t)> change;
        size_t sleeps;
        size_t badFile;
        const char* line;
    } cases[] = {
        {"ai4 never holds still",
         [&](Rig& rig, size_t n) { if (n > 6) rig.write(3, std::to_string(++counter)); }, 26, 3,
         " 不稳定！"},
        {"ai3 vanishes after the check",
         [](Rig& rig, size_t n) { if (n == 1) ::unlink(rig.input(2).c_str()); }, 4, 2, " 失败！"},
        {"ai2 turns unreadable between reads",
         [](Rig& rig, size_t n) {
             if (n == 3) {
                 ::unlink(rig.input(1).c_str());
                 ::mkdir(rig.input(1).c_str(), 0700);
             }
         },
         3, 1, " 失败！"},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.dev.calibrate(1, 0, 1, 0, 1, 0);
        rig.inputs("1800", "10", "50", "220");
        const auto before = imageOf(rig.dev.record());
        rig.onSleep = [&](size_t n) { c.change(rig, n); };
        {
            CoutCapture out;
            EXPECT_EQ(rig.dev.RefreshStatus(), 0);
            EXPECT_EQ(out.lines(),
                      std::vector<std::string>{"读取 " + rig.input(c.badFile) + c.line})
                << c.what;
        }
        EXPECT_EQ(rig.sleeps.size(), c.sleeps) << c.what;
        EXPECT_TRUE(rig.host.calls().empty()) << c.what;
        EXPECT_EQ(imageOf(rig.dev.record()), before) << c.what;
        EXPECT_EQ(rig.dev.sampleCount(), 0) << c.what;
        EXPECT_EQ(rig.dev.samples(), std::vector<int32_t>(10, 0)) << c.what;

        // The next good round is still the first acquisition of the ring.
        rig.onSleep = nullptr;
        ::rmdir(rig.input(1).c_str());
        rig.inputs("930", "10", "50", "220");
        CoutCapture out;
        rig.dev.RefreshStatus();
        EXPECT_EQ(rig.dev.record().temperature, 25.0f) << c.what;
        EXPECT_EQ(rig.dev.sampleCount(), 1) << c.what;
    }
}

// Anything at an input but a regular file with some text is no reading: the
// round is abandoned at once, as for a file that cannot be read. A FIFO used
// to hold the round in open for good, and /dev/zero or an empty text gave 0.
TEST(Acquisition, HostileOrEmptyInputsAbandonTheRound) {
    struct Case {
        const char* what;
        size_t file;
        std::function<void(Rig&, const std::string&)> plant;
    } cases[] = {
        {"FIFO", 0, [](Rig&, const std::string& p) { ::mkfifo(p.c_str(), 0600); }},
        {"link to /dev/zero", 3,
         [](Rig&, const std::string& p) { ::symlink("/dev/zero", p.c_str()); }},
        {"directory", 1, [](Rig&, const std::string& p) { ::mkdir(p.c_str(), 0700); }},
        {"empty file", 2, [](Rig& rig, const std::string&) { rig.write(2, ""); }},
        {"NUL first", 2,
         [](Rig& rig, const std::string&) { rig.write(2, std::string("\0" "12", 3)); }},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.dev.calibrate(1, 0, 1, 0, 1, 0);
        rig.inputs("930", "10", "50", "220");
        ::unlink(rig.input(c.file).c_str());
        c.plant(rig, rig.input(c.file));
        CoutCapture out;
        EXPECT_EQ(rig.dev.RefreshStatus(), 0);
        EXPECT_EQ(out.lines(), std::vector<std::string>{"读取 " + rig.input(c.file) + " 失败！"})
            << c.what;
        EXPECT_TRUE(rig.host.calls().empty()) << c.what;
        EXPECT_EQ(rig.dev.sampleCount(), 0) << c.what;
    }
}

TEST(Acquisition, RoundHandsOverThenEvaluatesThenStoresHistory) {
    Rig rig;
    rig.dev.calibrate(0, 1, 1, 0, 1, 0);
    rig.inputs("930", "0", "30", "220");  // DC low
    CoutCapture out;
    rig.dev.RefreshStatus();
    std::vector<std::string> order;
    for (const auto& call : rig.host.calls()) order.push_back(call.what);
    EXPECT_EQ(order, (std::vector<std::string>{"SendSP", "Reset", "Check", "Check", "Check", "Check",
                                               "Check", "Check", "Batch", "History"}));
    auto sent = rig.host.callsOf("SendSP");
    auto stored = rig.host.callsOf("History");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].code, 5156);
    EXPECT_EQ(plortest::hex(sent[0].image, 24, 6), "00 00 00 00 00 00");
    EXPECT_EQ(plortest::hex(stored[0].image, 24, 6), "01 00 00 00 00 01");
    EXPECT_EQ(plortest::hex(stored[0].image, 30, 7), "EA 07 03 05 07 04 09");

    rig.host.clear();
    rig.dev.calibrate(0, 1, 0.5f, 0, 1, 0);
    rig.inputs("930", "0", "107", "220");  // 53.5 V, no alarm
    rig.dev.RefreshStatus();
    sent = rig.host.callsOf("SendSP");
    stored = rig.host.callsOf("History");
    EXPECT_EQ(plortest::hex(sent[0].image, 12, 4), "00 00 56 42");
    EXPECT_EQ(plortest::hex(sent[0].image, 24, 6), "01 00 00 00 00 01");
    EXPECT_EQ(plortest::hex(stored[0].image, 24, 6), "00 00 00 00 00 00");
}

TEST(Acquisition, RealSleepsHoldTheCallerForEightReads) {
    Rig rig;
    plor::Board board;
    for (size_t i = 0; i < 4; ++i) board.inputs[i] = rig.input(i);
    board.sleepUs = nullptr;  // the real pause
    rig.dev.setBoard(board);
    rig.inputs("930", "1", "1", "1");
    CoutCapture out;
    const auto start = std::chrono::steady_clock::now();
    rig.dev.RefreshStatus();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(800));
    EXPECT_EQ(rig.host.callsOf("SendSP").size(), 1u);
}

}  // namespace
