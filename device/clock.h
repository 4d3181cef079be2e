// The wall clock and the few calendar steps the devices take on its times.
// A ptime is one count of ticks since day zero of its calendar; reading and
// building that count directly gives the same times as Boost's calendar
// code, without the checked-date machinery (and its exception types) in the
// module.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <stdexcept>

#include <boost/date_time/posix_time/ptime.hpp>

namespace plor {

using Clock = std::function<boost::posix_time::ptime()>;

namespace ticks {

using Rep = boost::posix_time::ptime::time_rep_type;

// The tick count, reached through a derived class: it is a protected member.
struct Access : boost::posix_time::ptime {
    static const Rep& of(const boost::posix_time::ptime& t) { return t.*(&Access::time_); }
};

inline int64_t perDay() { return Rep::frac_sec_per_day(); }
inline int64_t perSecond() { return perDay() / 86400; }

inline bool leap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The calendar's day number (as gregorian::date counts days) of a date, or
// -1 where a checked date would throw: a year outside 1400..9999, a month
// outside 1..12, a day past the end of its month.
inline int64_t dayNumber(unsigned year, unsigned month, unsigned day) {
    static const unsigned char kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1400 || year > 9999 || month < 1 || month > 12 || day < 1) return -1;
    const unsigned last = kDays[month - 1] + (month == 2 && leap(year) ? 1 : 0);
    if (day > last) return -1;
    const unsigned a = (14 - month) / 12;
    const unsigned y = year + 4800 - a;
    const unsigned m = month + 12 * a - 3;
    return day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
}

inline boost::posix_time::ptime at(int64_t days, int64_t seconds) {
    return boost::posix_time::ptime(Rep(days * perDay() + seconds * perSecond()));
}

}  // namespace ticks

// A local time from its fields; not-a-date-time where the fields name no
// valid time (hour, minute or second out of range included).
inline boost::posix_time::ptime localTimeOf(unsigned year, unsigned month, unsigned day,
                                            unsigned hour, unsigned minute, unsigned second) {
    const int64_t days = ticks::dayNumber(year, month, day);
    if (days < 0 || hour > 23 || minute > 59 || second > 59) return boost::posix_time::ptime();
    return ticks::at(days, hour * 3600 + minute * 60 + second);
}

// The time without its fraction of a second; special values unchanged.
inline boost::posix_time::ptime wholeSeconds(const boost::posix_time::ptime& t) {
    const ticks::Rep& rep = ticks::Access::of(t);
    if (rep.is_special()) return t;
    const int64_t count = rep.time_count();
    return boost::posix_time::ptime(ticks::Rep(count - count % ticks::perSecond()));
}

// second_clock::local_time: the local time to the second, failing as it does.
inline boost::posix_time::ptime localClock() {
    const std::time_t now = std::time(nullptr);
    std::tm f{};
    if (localtime_r(&now, &f) == nullptr)
        throw std::runtime_error("could not convert calendar time to local time");
    const int64_t days = ticks::dayNumber(static_cast<unsigned>(f.tm_year + 1900),
                                          static_cast<unsigned>(f.tm_mon + 1),
                                          static_cast<unsigned>(f.tm_mday));
    if (days < 0) throw std::out_of_range("local date out of the calendar's range");
    return ticks::at(days, f.tm_hour * 3600 + f.tm_min * 60 + f.tm_sec);
}

// Whole seconds from `earlier` to `later`, as (later - earlier).total_seconds()
// gives them; `earlier` is a real time.
inline int64_t secondsBetween(const boost::posix_time::ptime& later,
                              const boost::posix_time::ptime& earlier) {
    const ticks::Rep& a = ticks::Access::of(later);
    if (a.is_special()) return a.is_neg_infinity() ? INT64_MIN / 1000000 : INT64_MAX / 1000000;
    return (a.time_count() - ticks::Access::of(earlier).time_count()) / ticks::perSecond();
}

}  // namespace plor
