// The whole-file reader, the one-byte writer and ADC sampling, on real files.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "acquisition_rig.h"
#include "board_io.h"
#include "test_support.h"

namespace {

using plortest::CoutCapture;
using plortest::Rig;
using plortest::TempDir;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ReadWholeFile, ReturnsWhatOneReadGives) {
    const std::string exact(4096, '7');
    struct Case {
        const char* what;
        std::string content;
        std::string expected;
    } cases[] = {
        {"number and newline", "535\n", "535\n"},
        {"empty", "", ""},
        {"longer than a read", std::string(5000, 'a'), std::string(4096, 'a')},
        {"exactly a full read, no terminator", exact, exact},
        {"NUL inside", std::string("12\0" "34", 5), "12"},
        {"NUL first", std::string("\0" "9", 2), ""},
    };
    for (const Case& c : cases) {
        TempDir dir;
        dir.write("f", c.content);
        CoutCapture out;
        EXPECT_EQ(readWholeFile(dir.file("f").c_str()), c.expected) << c.what;
        EXPECT_EQ(out.text(), "") << c.what;
    }
}

TEST(ReadWholeFile, FailuresAreInBandTexts) {
    TempDir dir;
    const std::string missing = dir.file("missing");
    {
        CoutCapture out;
        EXPECT_EQ(readWholeFile(missing.c_str()), "-1");
        EXPECT_EQ(out.text(), "读取 " + missing + " 失败！\n");
    }
    std::string text = "old";
    EXPECT_EQ(plor::readFile(missing.c_str(), text), plor::ReadStatus::openFailed);
    EXPECT_EQ(text, "old");
}

// Only a regular file is read. A FIFO used to block in open for good, and a
// device gave endless zeros; neither may hold the caller or pass as a text.
TEST(ReadWholeFile, AnythingButARegularFileIsNotOpenedForReading) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", dir.file("zero").c_str()), 0);
    for (const std::string& path : {dir.path(), dir.file("fifo"), dir.file("zero")}) {
        CoutCapture out;
        EXPECT_EQ(readWholeFile(path.c_str()), "-1") << path;
        EXPECT_EQ(out.text(), "读取 " + path + " 失败！\n");
        std::string text = "old";
        EXPECT_EQ(plor::readFile(path.c_str(), text), plor::ReadStatus::notRegular) << path;
        EXPECT_EQ(text, "old");
    }
}

TEST(WriteGpio, WritesOneByteOverTheStartAndLogsTheCharacter) {
    TempDir dir;
    dir.write("attr", "xyz");
    CoutCapture out;
    EXPECT_EQ(SPGpio::writeGpio(dir.file("attr"), '3'), 0);
    EXPECT_EQ(slurp(dir.file("attr")), "3yz");
    EXPECT_EQ(out.text(), "SPGpio::writeGpio " + dir.file("attr") + " value:3\n");
}

TEST(WriteGpio, MissingFileIsNotCreated) {
    TempDir dir;
    const std::string path = dir.file("none");
    CoutCapture out;
    EXPECT_EQ(SPGpio::writeGpio(path, '1'), 1);
    EXPECT_EQ(out.lines(), (std::vector<std::string>{"SPGpio::writeGpio " + path + " value:1",
                                                     "打开文件 " + path + " 失败！"}));
    struct stat st;
    EXPECT_NE(::stat(path.c_str(), &st), 0);
}

TEST(GetAd, TrimmedMeanOfTenSamples) {
    struct Case {
        const char* what;
        std::vector<std::string> samples;
        int expected;
    } cases[] = {
        {"one high, one low", {"100", "101", "99", "100", "100", "100", "100", "100", "100", "105"}, 100},
        {"all equal", std::vector<std::string>(10, "100"), 100},
        {"greatest twice counts once", {"1", "9", "9", "1", "1", "1", "1", "1", "1", "0"}, 2},
        {"truncates toward zero",
         {"-100", "-100", "-100", "1000", "-100", "-100", "-100", "-100", "-101", "-2000"}, -100},
        {"extremes do not overflow", std::vector<std::string>(10, "2147483647"), INT_MAX},
        {"text without digits", {"x", "x", "x", "x", "x", "x", "x", "x", "x", "8"}, 0},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.dir.write("channel_tpadc", "0");
        rig.dir.write("tpadc", c.samples[0]);
        // Each 20 ms pause follows a sample: put the next one in place.
        size_t next = 1;
        rig.onSleep = [&](size_t) {
            if (rig.sleeps.back() == 20000 && next < c.samples.size())
                rig.dir.write("tpadc", c.samples[next++]);
        };
        CoutCapture out;
        EXPECT_EQ(rig.dev.getAd('2'), c.expected) << c.what;
        EXPECT_EQ(slurp(rig.dir.file("channel_tpadc")), "2") << c.what;
        std::vector<unsigned int> pauses(11, 20000);
        pauses[0] = 1000000;
        EXPECT_EQ(rig.sleeps, pauses) << c.what;
    }
}

TEST(GetAd, UnreadableSampleCountsAsMinusOne) {
    Rig rig;
    CoutCapture out;
    EXPECT_EQ(rig.dev.getAd('1'), -1);
    const auto lines = out.lines();
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[1], "打开文件 " + rig.dir.file("channel_tpadc") + " 失败！");
    EXPECT_EQ(lines[11], "读取 " + rig.dir.file("tpadc") + " 失败！");
}

}  // namespace
