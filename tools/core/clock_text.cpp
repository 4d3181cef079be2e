#include "clock_text.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace smdhost {

namespace {

std::string timeText(bool withDate) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[48];
    if (withDate) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            now.time_since_epoch()).count() % 1000;
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<int>(ms));
    } else {
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    }
    return buf;
}

}  // namespace

std::string clockText() { return timeText(false); }
std::string stampText() { return timeText(true); }

std::string ageText(double s) {
    char buf[32];
    if (s < 120) std::snprintf(buf, sizeof buf, "%.1f s", s);
    else if (s < 7200) std::snprintf(buf, sizeof buf, "%.0f min", s / 60);
    else std::snprintf(buf, sizeof buf, "%.1f h", s / 3600);
    return buf;
}

}  // namespace smdhost
