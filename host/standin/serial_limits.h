// What the stand-in's serial port and Modbus master can be set to. The
// runnable host checks its site configuration against the same values, so
// a setting the port cannot apply is refused in both places alike.
#pragma once

#include <string>

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

// "parity" and "localEcho" take one of these texts; "stopBits" 1 or 2.
constexpr const char* kParityList = "\"none\", \"even\" or \"odd\"";
constexpr const char* kLocalEchoList = "\"auto\", \"on\" or \"off\"";

inline bool isParity(const std::string& s) { return s == "none" || s == "even" || s == "odd"; }
inline bool isLocalEcho(const std::string& s) { return s == "auto" || s == "on" || s == "off"; }

// "rs485": {"enabled", "rtsOnSend", "rtsAfterSend" (true or false),
// "delayBeforeSendMs", "delayAfterSendMs"}; serial drivers cap the delays here.
constexpr long long kMaxRs485DelayMs = 100;

}  // namespace smd
