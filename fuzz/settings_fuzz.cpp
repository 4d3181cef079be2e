// Arbitrary JSON documents through InitSetting, then one round, so that
// whatever calibration a document sets is used.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <json/json.h>

#include "plor_sps.h"
#include "test_support.h"

namespace {

struct Env {
    plortest::TempDir dir{"plor-fuzz"};
    plor::Board board;
    std::stringbuf sink;
    std::streambuf* previous = nullptr;

    Env() {
        const char* texts[] = {"930\n", "535\n", "-535\n", "2200\n"};
        for (size_t i = 0; i < 4; ++i) {
            const std::string name = "ai" + std::to_string(i + 1);
            dir.write(name, texts[i]);
            board.inputs[i] = dir.file(name);
        }
        board.sleepUs = [](unsigned int) {};
        previous = std::cout.rdbuf(&sink);
    }
    // The stream flushes once more at exit, after this object is gone.
    ~Env() { std::cout.rdbuf(previous); }
};

// Whatever a document holds, no calibration member may end up NaN or
// infinite: readings from it could never raise an alarm.
class FuzzSps : public PLOR_SPS {
public:
    bool calibrationFinite() const {
        for (float f : {ai1y1_, ai1y2_, ai2y1_, ai2y2_, ai3y1_, ai3y2_, ai4y1_, ai4y2_, a1_, b1_, a2_,
                        b2_, a3_, b3_, a4_, b4_}) {
            if (!std::isfinite(f)) return false;
        }
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Env env;
    static const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    Json::Value doc;
    std::string errors;
    const char* text = reinterpret_cast<const char*>(data);
    if (!reader->parse(text, text + size, &doc, &errors)) return 0;

    FuzzSps dev;
    dev.setBoard(env.board);
    try {
        dev.InitSetting(doc);
        // A second document on top of the first: settings may come again.
        dev.InitSetting(doc);
    } catch (const Json::Exception&) {
        // The JSON library rejects reading a member of the wrong kind.
    }
    if (!dev.calibrationFinite()) std::abort();
    dev.RefreshStatus();
    env.sink.str(std::string());
    return 0;
}
