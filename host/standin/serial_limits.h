// What the stand-in's serial port and Modbus master can be set to. The
// runnable host checks its site configuration against the same values, so
// a setting the port cannot apply is refused in both places alike.
#pragma once

namespace smd {

// Line speeds the port opens at (bit/s).
constexpr long long kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
constexpr const char* kBaudRateList =
    "1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400";

constexpr bool isBaudRate(long long baud) {
    for (long long b : kBaudRates) {
        if (b == baud) return true;
    }
    return false;
}

// How long the master waits for a reply (ms).
constexpr long long kMinReplyTimeoutMs = 1;
constexpr long long kMaxReplyTimeoutMs = 60000;

constexpr int kMinSlaveAddress = 1;
constexpr int kMaxSlaveAddress = 247;

}  // namespace smd
