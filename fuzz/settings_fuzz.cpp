// Arbitrary JSON documents through InitSetting, then one round, so that
// whatever calibration a document sets is used.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <json/json.h>

#include "plor_sps.h"

namespace {

struct Env {
    std::string dir;
    plor::Board board;
    std::stringbuf sink;

    Env() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base ? base : "/tmp") + "/plor-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr) std::abort();
        dir = buf.data();
        const char* texts[] = {"930\n", "535\n", "-535\n", "2200\n"};
        for (size_t i = 0; i < 4; ++i) {
            board.inputs[i] = dir + "/ai" + std::to_string(i + 1);
            std::ofstream(board.inputs[i]) << texts[i];
        }
        board.sleepUs = [](unsigned int) {};
        std::cout.rdbuf(&sink);
    }
    ~Env() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
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

    PLOR_SPS dev;
    dev.setBoard(env.board);
    try {
        dev.InitSetting(doc);
        // A second document on top of the first: settings may come again.
        dev.InitSetting(doc);
    } catch (const Json::Exception&) {
        // The JSON library rejects reading a member of the wrong kind.
    }
    dev.RefreshStatus();
    env.sink.str(std::string());
    return 0;
}
