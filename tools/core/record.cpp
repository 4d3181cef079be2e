#include "record.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "readings.h"

namespace smdhost {

namespace {
uint32_t u32le(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
float f32le(const unsigned char* p) {
    const uint32_t bits = u32le(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
}  // namespace

bool decodeRecord(const unsigned char* b, std::size_t length, Record& r) {
    if (b == nullptr || length != kRecordSize) return false;
    r.dataId = u32le(b);
    r.temperature = f32le(b + 4);
    r.loadCurrent = f32le(b + 8);
    r.dcVoltage = f32le(b + 12);
    r.acVoltage = f32le(b + 16);
    r.acCurrent = f32le(b + 20);
    for (std::size_t i = 0; i < r.alarms.size(); ++i) r.alarms[i] = b[24 + i];
    r.year = static_cast<uint16_t>(b[30] | b[31] << 8);
    r.month = b[32];
    r.day = b[33];
    r.hour = b[34];
    r.minute = b[35];
    r.second = b[36];
    return true;
}

std::string Record::timeText() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(year), unsigned(month),
                  unsigned(day), unsigned(hour), unsigned(minute), unsigned(second));
    return buf;
}

std::vector<std::string> Record::activeAlarmNames() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < alarms.size(); ++i)
        if (alarms[i] != 0) names.emplace_back(kAlarms[i].name);
    return names;
}

std::string hexOf(const unsigned char* bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 0xf];
    }
    return s;
}

std::string numberText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", value);
    std::string s = buf;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    if (s == "-0") s = "0";
    return s;
}

}  // namespace smdhost
