// One polling round: read the four inputs, compute, stage the readings and
// complete the round. The arithmetic itself is in round.cpp.
#include <unistd.h>

#include <array>
#include <iostream>
#include <mutex>
#include <string>

#include "plor_sps.h"
#include "round.h"

namespace {

constexpr unsigned int kReadPauseUs = 100000;
// A file that will not hold still is given up on rather than holding the
// host's thread forever.
constexpr int kStableReadAttempts = 10;

enum class StableRead { ok, failed, unstable };

// One read of the whole file. A failure is no reading: it ends the round,
// with the reader's usual line. So is an empty text, which is what a
// writer caught between truncating and writing leaves.
bool readOnce(const std::string& path, std::string& text) {
    if (plor::readFile(path.c_str(), text) == plor::ReadStatus::ok && !text.empty()) return true;
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

}  // namespace

int PLOR_SPS::RefreshStatus() {
    SMDSPDevice::RefreshStatus();
    for (const std::string& path : board_.inputs) {
        if (::access(path.c_str(), F_OK) != 0) return 0;
    }

    // All four texts first: a round that cannot read one of them changes
    // nothing at all.
    std::array<std::string, 4> texts;
    for (size_t i = 0; i < 4; ++i) {
        if (stableRead(board_, board_.inputs[i], texts[i]) != StableRead::ok) return 0;
    }

    plor::Gains gains;
    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        gains = {a2_, b2_, a3_, b3_, a4_, b4_};
    }
    const plor::RoundValues round = plor::computeRound(texts, gains, tempRing_);
    for (const plor::Line& line : round.lines) {
        std::cout.write(line.text, static_cast<std::streamsize>(line.length)) << std::endl;
    }
    tempRing_ = round.ring;

    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        roundTemperature_ = round.temperatureSet;
        roundValues_.temperature = round.temperature;
        roundValues_.loadCurrent = round.loadCurrent;
        roundValues_.dcVoltage = round.dcVoltage;
        roundValues_.acVoltage = round.acVoltage;
        roundValues_.acCurrent = round.acCurrent;
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
