// Arbitrary bytes as the four input-file texts (and the calibration and the
// sample count) through whole polling rounds.
#include <cstdint>
#include <iostream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "plor_sps.h"
#include "test_support.h"

namespace {

struct Env {
    plortest::TempDir dir{"plor-fuzz"};
    std::vector<std::string> inputs;
    std::stringbuf sink;
    std::streambuf* previous = nullptr;

    Env() {
        for (int i = 1; i <= 4; ++i) inputs.push_back(dir.file("ai" + std::to_string(i)));
        previous = std::cout.rdbuf(&sink);
    }
    // The stream flushes once more at exit, after this object is gone.
    ~Env() { std::cout.rdbuf(previous); }
};

class FuzzSps : public PLOR_SPS {
public:
    void calibrate(FuzzedDataProvider& in) {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        for (float* f : {&a2_, &b2_, &a3_, &b3_, &a4_, &b4_}) *f = in.ConsumeFloatingPoint<float>();
    }
    void setSampleCount(int32_t count) { tempRing_.count = count; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Env env;
    FuzzedDataProvider in(data, size);
    FuzzSps dev;
    dev.calibrate(in);
    dev.setSampleCount(in.ConsumeIntegralInRange<int32_t>(0, std::numeric_limits<int32_t>::max()));
    const int rounds = in.ConsumeIntegralInRange(1, 3);
    // Some inputs make one file change at every pause: the round must give up.
    const bool churn = in.ConsumeBool();
    std::string texts[4];
    for (int i = 0; i < 3; ++i) texts[i] = in.ConsumeRandomLengthString(5000);
    texts[3] = in.ConsumeRemainingBytesAsString();

    plor::Board board;
    for (size_t i = 0; i < 4; ++i) board.inputs[i] = env.inputs[i];
    unsigned int pauses = 0;
    board.sleepUs = [&](unsigned int) {
        if (churn) env.dir.write("ai4", texts[3] + std::to_string(++pauses));
    };
    dev.setBoard(board);
    for (size_t i = 0; i < 4; ++i) env.dir.write("ai" + std::to_string(i + 1), texts[i]);
    for (int r = 0; r < rounds; ++r) dev.RefreshStatus();
    env.sink.str(std::string());
    return 0;
}
