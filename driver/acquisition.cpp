#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <iterator>
#include <limits>
#include <mutex>
#include <string>

#include "numbers.h"
#include "plor_sps.h"

namespace {

// Converted ai1 reading at each whole degree from -40 to 125 degrees C.
constexpr int32_t kTempTable[166] = {
    118,  126,  135,  143,  153,  162,  173,  184,  195,  207,   // -40
    220,  233,  247,  261,  276,  292,  309,  326,  345,  364,   // -30
    383,  404,  425,  448,  471,  495,  520,  545,  572,  600,   // -20
    628,  657,  688,  719,  751,  784,  818,  852,  888,  924,   // -10
    961,  999,  1038, 1077, 1117, 1158, 1199, 1241, 1284, 1327,  // 0
    1370, 1414, 1459, 1503, 1548, 1593, 1639, 1684, 1730, 1775,  // 10
    1821, 1866, 1912, 1957, 2003, 2048, 2092, 2137, 2181, 2224,  // 20
    2268, 2310, 2353, 2395, 2436, 2477, 2517, 2556, 2595, 2633,  // 30
    2671, 2708, 2744, 2780, 2815, 2849, 2883, 2915, 2947, 2979,  // 40
    3009, 3039, 3069, 3097, 3125, 3152, 3179, 3204, 3229, 3254,  // 50
    3278, 3301, 3324, 3346, 3367, 3388, 3408, 3427, 3446, 3465,  // 60
    3483, 3501, 3517, 3534, 3550, 3566, 3580, 3595, 3610, 3623,  // 70
    3636, 3649, 3662, 3674, 3686, 3698, 3709, 3720, 3730, 3740,  // 80
    3750, 3760, 3769, 3778, 3787, 3795, 3803, 3811, 3819, 3826,  // 90
    3834, 3841, 3848, 3854, 3861, 3867, 3873, 3879, 3884, 3890,  // 100
    3896, 3901, 3906, 3911, 3915, 3920, 3925, 3929, 3933, 3937,  // 110
    3941, 3945, 3949, 3953, 3956, 3960,                          // 120
};

constexpr unsigned int kReadPauseUs = 100000;
// A file that will not hold still is given up on rather than holding the
// host's thread forever.
constexpr int kStableReadAttempts = 10;

enum class StableRead { ok, failed, unstable };

// One read of the whole file. A failure is no reading: it ends the round,
// with the reader's usual line.
bool readOnce(const std::string& path, std::string& text) {
    if (plor::readFile(path.c_str(), text) == plor::ReadStatus::ok) return true;
    std::cout << "读取 " << path << " 失败！" << std::endl;
    return false;
}

// Three equal consecutive reads make the text; the input's writer may be
// half-way through an update at any one of them.
StableRead stableRead(const plor::Board& board, const std::string& path, std::string& accepted) {
    std::string first, second;
    for (int attempt = 1; attempt <= kStableReadAttempts; ++attempt) {
        if (!readOnce(path, first)) return StableRead::failed;
        board.sleepUs(kReadPauseUs);
        if (!readOnce(path, second)) return StableRead::failed;
        board.sleepUs(kReadPauseUs);
        if (first != second) continue;
        if (!readOnce(path, accepted)) return StableRead::failed;
        if (accepted == second) return StableRead::ok;
        if (attempt < kStableReadAttempts) board.sleepUs(kReadPauseUs);
    }
    std::cout << "读取 " << path << " 不稳定！" << std::endl;
    return StableRead::unstable;
}

int32_t temperatureSample(int32_t raw) {
    const float v = static_cast<float>(raw) / 1000.0f;
    double w = static_cast<double>(v) / 1.8 * 3960.0;
    // Saturate before truncating: far outside the table either end gives the
    // same degree, and an out-of-range conversion is undefined.
    w = std::min(w, static_cast<double>(std::numeric_limits<int32_t>::max()));
    w = std::max(w, static_cast<double>(std::numeric_limits<int32_t>::min()));
    const int32_t x = static_cast<int32_t>(w);
    const auto above = std::upper_bound(std::begin(kTempTable), std::end(kTempTable), x);
    const auto atOrBelow = static_cast<int32_t>(above - std::begin(kTempTable));
    return std::min<int32_t>(-40 + atOrBelow, 125);
}

// Appends text, or a float as the stream's default format prints it (general
// notation, six significant digits), without the stream's locale round trip.
struct LineBuilder {
    char text[160];
    char* at = text;
    void put(const char* s) {
        const size_t n = std::strlen(s);
        std::memcpy(at, s, n);
        at += n;
    }
    void put(float v) {
        at = std::to_chars(at, std::end(text), v, std::chars_format::general, 6).ptr;
    }
    void put(int32_t v) { at = std::to_chars(at, std::end(text), v).ptr; }
};

float calibrated(const char* gainLabel, float gain, const char* offsetLabel, float offset,
                 int32_t raw) {
    // Two statements keep the product rounded to float before the add.
    const float product = gain * static_cast<float>(raw);
    const float value = product + offset;
    LineBuilder line;
    line.put("rAi:");
    line.put(value);
    line.put(gainLabel);
    line.put(gain);
    line.put(offsetLabel);
    line.put(offset);
    line.put(" iAi:");
    line.put(raw);
    std::cout.write(line.text, line.at - line.text) << std::endl;
    return value < 0 ? 0.0f : value;
}

}  // namespace

int PLOR_SPS::RefreshStatus() {
    SMDSPDevice::RefreshStatus();
    for (const std::string& path : board_.inputs) {
        if (::access(path.c_str(), F_OK) != 0) return 0;
    }

    // All four texts first: a round that cannot read one of them changes
    // nothing at all.
    std::string texts[4];
    for (size_t i = 0; i < 4; ++i) {
        if (stableRead(board_, board_.inputs[i], texts[i]) != StableRead::ok) return 0;
    }

    // ai1: one sample per round; the temperature follows the mean of ten.
    const int32_t sample = temperatureSample(plor::parseInt32(texts[0].c_str()));
    const int32_t slot = tempSampleCount_ % 10;
    bool temperatureSet = false;
    float temperature = 0.0f;
    if (slot != 0) {
        tempSamples_[slot] = sample;
    } else {
        int32_t mean = sample;
        if (tempSampleCount_ > 0) {
            int32_t sum = 0;
            for (int32_t s : tempSamples_) sum += s;
            mean = sum / 10;
        }
        temperature = static_cast<float>(mean);
        temperatureSet = true;
        tempSamples_[0] = sample;
    }
    // Past the top the count steps back by ten: the slot sequence goes on
    // and the count never reads as the first acquisition again.
    tempSampleCount_ = tempSampleCount_ == std::numeric_limits<int32_t>::max()
                           ? tempSampleCount_ - 9
                           : tempSampleCount_ + 1;

    float a2, b2, a3, b3, a4, b4;
    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        a2 = a2_, b2 = b2_, a3 = a3_, b3 = b3_, a4 = a4_, b4 = b4_;
    }
    const float loadCurrent =
        calibrated(" a2_:", a2, " b2_:", b2, plor::parseInt32(texts[1].c_str()));
    const float dcVoltage =
        calibrated(" a3_:", a3, " b3_:", b3, plor::parseInt32(texts[2].c_str()));
    const float acVoltage =
        calibrated(" a4_:", a4, " b4_:", b4, plor::parseInt32(texts[3].c_str()));

    float acCurrent = 0.0f;
    if (!(static_cast<double>(acVoltage) < 0.001)) {
        const float power = loadCurrent * dcVoltage;
        const double current =
            (static_cast<double>(power) / 0.95) / static_cast<double>(acVoltage);
        acCurrent = static_cast<float>(current);
        if (static_cast<double>(acCurrent) < 0.2) acCurrent = 0.0f;
    }

    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        roundTemperature_ = temperatureSet;
        roundValues_.temperature = temperature;
        roundValues_.loadCurrent = loadCurrent;
        roundValues_.dcVoltage = dcVoltage;
        roundValues_.acVoltage = acVoltage;
        roundValues_.acCurrent = acCurrent;
        roundPending_ = true;
    }
    RoundDone();
    return 0;
}

// Runs under snapshotMutex_ inside RoundDone, so that readers see the new
// values and their time stamp together.
void PLOR_SPS::fillRound(PLOR_SPS_Data_t& record) {
    if (!roundPending_) return;
    if (roundTemperature_) record.temperature = roundValues_.temperature;
    record.loadCurrent = roundValues_.loadCurrent;
    record.dcVoltage = roundValues_.dcVoltage;
    record.acVoltage = roundValues_.acVoltage;
    record.acCurrent = roundValues_.acCurrent;
    roundPending_ = false;
}
