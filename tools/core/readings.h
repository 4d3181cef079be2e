// The record's readings and alarms, once: how each is keyed in JSON, named
// as an SQL and CSV column and as a metric, its unit, and how it is read
// from a record. Every output walks these tables in record order.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "record.h"

namespace smdhost {

struct Reading {
    const char* key;     // JSON and the web API: "loadCurrent"
    const char* column;  // SQL and CSV: "load_current" (tiers: <column>_min/_sum/_max)
    const char* metric;  // Prometheus: "plor_sps_load_current_amperes"
    const char* help;    // Prometheus HELP text
    const char* unit;    // as the web API gives it: "°C", "A", "V"
    const char* label;   // the console's round line: "load"
    const char* ascii;   // the console's unit: "C", "A", "V"
    float Record::*field;

    float of(const Record& r) const { return r.*field; }
};

struct Alarm {
    const char* signalId;
    const char* name;
    const char* key;  // SQL and CSV column, the metric's `alarm` label, the API's "alarm"
};

constexpr std::size_t kReadingCount = 5, kAlarmCount = 6;
extern const std::array<Reading, kReadingCount> kReadings;
// The six alarm flags, in record order (bit i of a tier's alarm mask).
extern const std::array<Alarm, kAlarmCount> kAlarms;

// Index of a signal id in kAlarms, or -1.
int alarmIndex(const std::string& signalId);

}  // namespace smdhost
