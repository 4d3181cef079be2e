// The measurement record: stored in the device history and exchanged with
// the host as a raw 37-byte little-endian image, so its layout is a format.
#pragma once

#include <cstddef>
#include <cstdint>

struct __attribute__((packed)) PLOR_SPS_Data_t {
    uint32_t dataId;
    float temperature;   // degrees Celsius, whole numbers
    float loadCurrent;   // A
    float dcVoltage;     // V
    float acVoltage;     // V
    float acCurrent;     // A, derived
    uint8_t dcLowAlarm;
    uint8_t dcHighAlarm;
    uint8_t acHighAlarm;
    uint8_t acLowAlarm;
    uint8_t mainsFailAlarm;
    uint8_t moduleFailAlarm;
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};

static_assert(sizeof(PLOR_SPS_Data_t) == 37, "the record image is 37 bytes");
static_assert(offsetof(PLOR_SPS_Data_t, dcVoltage) == 12, "record layout");
static_assert(offsetof(PLOR_SPS_Data_t, dcLowAlarm) == 24, "record layout");
static_assert(offsetof(PLOR_SPS_Data_t, year) == 30, "record layout");
