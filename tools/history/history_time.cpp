#include "history_time.h"

#include <cstdio>
#include <ctime>

namespace smdhost {

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

long long LocalTime::unix(int year, int month, int day, int hour, int minute, int second) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return -1;
    if (day > kDays[month - 1] + (month == 2 && leap(year) ? 1 : 0)) return -1;
    const long long hourKey =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 24 + hour;
    if (hourKey != hourKey_) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_isdst = -1;  // the zone's rule decides; a repeated hour takes one of its two
        const std::time_t t = std::mktime(&tm);
        if (t == static_cast<std::time_t>(-1)) return -1;
        hourKey_ = hourKey;
        offset_ = hourKey * 3600 - static_cast<long long>(t);
    }
    return hourKey * 3600 + minute * 60 + second - offset_;
}

std::string localText(long long unixSeconds, int ms) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string text = buf;
    if (ms >= 0) {
        std::snprintf(buf, sizeof buf, ".%03d", ms % 1000);
        text += buf;
    }
    return text;
}

int millisOf(const std::string& text) {
    if (text.size() < 23 || text[19] != '.') return 0;
    int ms = 0;
    for (std::size_t i = 20; i < 23; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        ms = ms * 10 + (text[i] - '0');
    }
    return ms;
}

long long LocalTime::unix(const std::string& text) {
    int y, mo, d, h, mi, s;
    char sep;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &y, &mo, &d, &sep, &h, &mi, &s) != 7)
        return -1;
    return unix(y, mo, d, h, mi, s);
}

}  // namespace smdhost
