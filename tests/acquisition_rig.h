// A device on a fake board: input files in a per-test directory, a sleeper
// that only counts (and may change the files between reads) and a fixed clock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "plor_sps.h"
#include "test_support.h"

namespace plortest {

// Reaches the members a test needs to set up or inspect.
class ProbeSps : public PLOR_SPS {
public:
    void calibrate(float a2, float b2, float a3, float b3, float a4, float b4) {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        a2_ = a2, b2_ = b2, a3_ = a3, b3_ = b3, a4_ = a4, b4_ = b4;
    }
    void setMode(int32_t mode) {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        b_mode_ = mode;
    }
    void setSampleCount(int32_t count) { tempRing_.count = count; }
    int32_t sampleCount() const { return tempRing_.count; }
    std::vector<int32_t> samples() const {
        return std::vector<int32_t>(tempRing_.samples, tempRing_.samples + 10);
    }
};

struct Rig {
    TempDir dir;
    RecordingHost host;
    ProbeSps dev;
    FakeClock clock;
    std::vector<unsigned int> sleeps;
    // Called after each sleep is counted, with the number of sleeps so far.
    std::function<void(size_t)> onSleep;

    Rig() {
        plor::Board board;
        for (size_t i = 0; i < 4; ++i) board.inputs[i] = input(i);
        board.adcChannel = dir.file("channel_tpadc");
        board.adcSample = dir.file("tpadc");
        board.sleepUs = [this](unsigned int us) {
            sleeps.push_back(us);
            if (onSleep) onSleep(sleeps.size());
        };
        dev.setBoard(board);
        dev.setClock([this] { return clock.now; });
    }

    std::string input(size_t i) const { return dir.file("ai" + std::to_string(i + 1)); }
    void write(size_t i, const std::string& text) const {
        dir.write("ai" + std::to_string(i + 1), text);
    }
    void inputs(const std::string& ai1, const std::string& ai2, const std::string& ai3,
                const std::string& ai4) const {
        write(0, ai1);
        write(1, ai2);
        write(2, ai3);
        write(3, ai4);
    }
};

}  // namespace plortest
