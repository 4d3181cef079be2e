// Arbitrary bytes as a Modbus reply while a register write is pending.
// Byte 0: bit 0 picks 210 over 206, bit 1 appends a valid CRC so that the
// checks after it are reached; the rest is the frame.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <vector>

#include "modbus_rtu.h"
#include "plor_sps.h"

namespace {

struct NullBuf : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

PLOR_SPS& device() {
    static PLOR_SPS* dev = [] {
        // Never destroyed: the stream still flushes into it at exit.
        std::cout.rdbuf(new NullBuf);
        auto* d = new PLOR_SPS;
        Json::Value doc;
        doc["hostSetting"]["slaveAddress"] = 1;
        d->InitSetting(doc);
        return d;
    }();
    return *dev;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    PLOR_SPS& dev = device();
    const bool multiple = (data[0] & 1) != 0;
    const uint16_t request[] = {0x0010, 0x1234, 0x0002};
    int len = 0;
    dev.DeviceIoControl(multiple ? 210 : 206, request, multiple ? 6 : 4, nullptr, 0, len);

    std::vector<uint8_t> frame(data + 1, data + size);
    if (data[0] & 2) {
        const uint16_t crc = smd::rtu::crc16(frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
    }
    // Exactly the frame's bytes on the heap, so a read past it is caught.
    unsigned char* exact = frame.empty() ? nullptr : new unsigned char[frame.size()];
    if (exact != nullptr) std::memcpy(exact, frame.data(), frame.size());
    dev.process(exact, static_cast<unsigned int>(frame.size()));
    delete[] exact;

    int32_t result = 0;
    dev.DeviceIoControl(1000, nullptr, 0, &result, 4, len);
    if (result != -1 && result != 1 && result != 3) std::abort();
    return 0;
}
