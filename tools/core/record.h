// The 37-byte measurement record as stored in the history, decoded with
// explicit little-endian reads so the host does not depend on its own
// byte order or on the plug-in's struct layout.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host_codes.h"

namespace smdhost {

struct Record {
    uint32_t dataId = 0;
    float temperature = 0, loadCurrent = 0, dcVoltage = 0, acVoltage = 0, acCurrent = 0;
    std::array<uint8_t, 6> alarms{};  // dcLow, dcHigh, acHigh, acLow, mainsFail, moduleFail
    uint16_t year = 0;
    uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;

    // "YYYY-MM-DD hh:mm:ss" of the update time.
    std::string timeText() const;
    // Names of the alarms whose flag is set.
    std::vector<std::string> activeAlarmNames() const;
};

// False when the image is not exactly kRecordSize bytes.
bool decodeRecord(const unsigned char* bytes, std::size_t length, Record& out);

std::string hexOf(const unsigned char* bytes, std::size_t length);

// Compact text of a reading: up to three decimals, no trailing zeros.
std::string numberText(double value);

}  // namespace smdhost
