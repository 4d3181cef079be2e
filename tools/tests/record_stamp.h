// A record image's time fields (offset 30: year low, year high, month, day,
// hour, minute, second), as the plug-in writes them.
#pragma once

#include <ctime>
#include <vector>

namespace smdtest {

inline void stampRecord(std::vector<unsigned char>& img, long long t, bool localTime = false) {
    std::tm tm{};
    const std::time_t tt = static_cast<std::time_t>(t);
    if (localTime)
        localtime_r(&tt, &tm);
    else
        gmtime_r(&tt, &tm);
    const int year = tm.tm_year + 1900;
    const int fields[7] = {year & 0xff, year >> 8, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    for (int i = 0; i < 7; ++i) img[30 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(fields[i]);
}

}  // namespace smdtest
