// DeviceIoControl with arbitrary codes, inputs and capacities. Buffers are
// heap blocks of exactly the size claimed, so any overrun is caught.
// Layout: byte 0 picks the code (low 4 bits) and the flags (high 4 bits),
// bytes 1-2 the output capacity (signed), bytes 3-6 a raw code; the rest is
// the input. A 310 body is handed over on a thread with a small stack, as
// host threads on the board have, so a body that reaches the JSON reader
// too deep overflows it.
#include <pthread.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <streambuf>

#include "plor_sps.h"

namespace {

struct NullBuf : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

struct Fixture {
    NullBuf sink;
    PLOR_SPS dev;
    boost::posix_time::ptime now{boost::gregorian::date(2024, 3, 5),
                                 boost::posix_time::time_duration(7, 4, 9)};
    Fixture() {
        std::cout.rdbuf(&sink);
        dev.setClock([this] { return now; });
    }
};

Fixture& fixture() {
    static Fixture* f = new Fixture;
    return *f;
}

void onSmallStack(const std::function<void()>& fn) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto body = [](void* p) -> void* {
        (*static_cast<const std::function<void()>*>(p))();
        return nullptr;
    };
    if (pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&fn)) != 0) {
        std::abort();
    }
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

const int kCodes[] = {206, 210, 310, 320, 801, 803, 0, 1, 1000, -1, INT_MIN, INT_MAX};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    Fixture& f = fixture();
    const unsigned pick = data[0] & 0x0F;
    const unsigned flags = data[0] >> 4;
    int16_t capacity;
    std::memcpy(&capacity, data + 1, 2);
    int code;
    std::memcpy(&code, data + 3, 4);
    if (pick < sizeof kCodes / sizeof kCodes[0]) code = kCodes[pick];
    const size_t n = size - 7;

    // A completed round now and then, so the snapshot has something to show.
    if (flags & 1) {
        PLOR_SPS_Data_t rec{};
        std::memcpy(&rec.temperature, data + 1, 2);
        f.now += boost::posix_time::seconds(1);
        f.dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&rec), sizeof rec);
    }

    unsigned char* input = n > 0 ? new unsigned char[n] : nullptr;
    if (input != nullptr) std::memcpy(input, data + 7, n);
    int inputLength = static_cast<int>(n);
    if (flags & 2) inputLength = -inputLength - 1;

    const size_t room = capacity > 0 ? static_cast<size_t>(capacity) : 0;
    unsigned char* output = (room > 0 && !(flags & 4)) ? new unsigned char[room] : nullptr;

    int outputLength = INT_MIN;
    int rc = 0;
    const auto call = [&] {
        rc = f.dev.DeviceIoControl(code, input, inputLength, output, capacity, outputLength);
    };
    if (code == 310) {
        onSmallStack(call);
    } else {
        call();
    }
    if (rc == 0 && (code == 801 || code == 803) &&
        (outputLength < 0 || static_cast<size_t>(outputLength) > room)) {
        std::abort();
    }
    delete[] output;
    delete[] input;
    return 0;
}
