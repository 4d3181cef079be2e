// The module's own calendar steps and number texts against the Boost and
// stream code they stand in for: the same times, refusals and texts.
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include "clock.h"
#include "numbers.h"

namespace {

namespace pt = boost::posix_time;

pt::ptime checked(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s) {
    if (h > 23 || mi > 59 || s > 59) return pt::ptime();
    try {
        return pt::ptime(boost::gregorian::date(y, mo, d), pt::time_duration(h, mi, s));
    } catch (const std::out_of_range&) {
        return pt::ptime();
    }
}

struct Fields {
    unsigned y, mo, d, h, mi, s;
};

TEST(Clock, LocalTimeOfMatchesCheckedDates) {
    const Fields cases[] = {
        {2026, 12, 8, 10, 3, 59},  {1970, 1, 1, 0, 0, 0},    {2024, 2, 29, 23, 59, 59},
        {2023, 2, 29, 0, 0, 0},    {2100, 2, 29, 0, 0, 0},   {2000, 2, 29, 12, 0, 0},
        {1400, 1, 1, 0, 0, 0},     {1399, 12, 31, 0, 0, 0},  {9999, 12, 31, 23, 59, 59},
        {10000, 1, 1, 0, 0, 0},    {2026, 0, 1, 0, 0, 0},    {2026, 13, 1, 0, 0, 0},
        {2026, 4, 31, 0, 0, 0},    {2026, 4, 30, 0, 0, 0},   {2026, 1, 0, 0, 0, 0},
        {2026, 1, 32, 0, 0, 0},    {2026, 1, 1, 24, 0, 0},   {2026, 1, 1, 0, 60, 0},
        {2026, 1, 1, 0, 0, 60},    {0, 0, 0, 0, 0, 0},       {65535, 255, 255, 255, 255, 255},
    };
    for (const Fields& f : cases) {
        EXPECT_EQ(plor::localTimeOf(f.y, f.mo, f.d, f.h, f.mi, f.s), checked(f.y, f.mo, f.d, f.h, f.mi, f.s))
            << f.y << "-" << f.mo << "-" << f.d << " " << f.h << ":" << f.mi << ":" << f.s;
    }
    // Every day of a leap and a common year, month ends included.
    for (unsigned y : {2023u, 2024u}) {
        for (unsigned mo = 1; mo <= 12; ++mo) {
            for (unsigned d = 1; d <= 31; ++d) {
                EXPECT_EQ(plor::localTimeOf(y, mo, d, 7, 8, 9), checked(y, mo, d, 7, 8, 9))
                    << y << "-" << mo << "-" << d;
            }
        }
    }
}

TEST(Clock, WholeSecondsDropsOnlyTheFraction) {
    const pt::ptime base(boost::gregorian::date(2026, 12, 8), pt::time_duration(10, 3, 59));
    EXPECT_EQ(plor::wholeSeconds(base + pt::microseconds(999999)), base);
    EXPECT_EQ(plor::wholeSeconds(base + pt::microseconds(1)), base);
    EXPECT_EQ(plor::wholeSeconds(base), base);
    for (pt::special_values v : {pt::not_a_date_time, pt::pos_infin, pt::neg_infin}) {
        EXPECT_EQ(plor::wholeSeconds(pt::ptime(v)), pt::ptime(v));
    }
}

TEST(Clock, SecondsBetweenAsBoostSubtracts) {
    const pt::ptime earlier(boost::gregorian::date(2026, 12, 8), pt::time_duration(10, 0, 0));
    const pt::time_duration steps[] = {pt::seconds(0), pt::seconds(60), pt::seconds(61),
                                       pt::milliseconds(60999), pt::seconds(-5),
                                       pt::milliseconds(-1500), pt::hours(24 * 400)};
    for (const pt::time_duration& step : steps) {
        const pt::ptime later = earlier + step;
        EXPECT_EQ(plor::secondsBetween(later, earlier), (later - earlier).total_seconds()) << step;
    }
    // What matters of a special clock reading is the side of a minute it falls on.
    for (pt::special_values v : {pt::not_a_date_time, pt::pos_infin, pt::neg_infin}) {
        const pt::ptime later(v);
        EXPECT_EQ(plor::secondsBetween(later, earlier) > 60, (later - earlier).total_seconds() > 60);
    }
}

TEST(Clock, LocalClockIsSecondClockLocalTime) {
    const pt::ptime before = pt::second_clock::local_time();
    const pt::ptime ours = plor::localClock();
    const pt::ptime after = pt::second_clock::local_time();
    EXPECT_LE(before, ours);
    EXPECT_LE(ours, after);
}

TEST(GeneralText, SameAsStreamsAndLexicalCast) {
    const float values[] = {0.0f, -0.0f, 1.0f, 53.5f, 0.1f, 1.0f / 3.0f, 123456789.0f,
                            1e-7f, 3.4e38f, -220.25f, std::numeric_limits<float>::denorm_min(),
                            std::nanf(""), -std::nanf("")};
    for (float v : values) {
        std::ostringstream stream;
        stream << v;
        EXPECT_EQ(plor::generalText(v, 6), stream.str());
        // lexical_cast reads a NaN's sign from the float (the alarm texts do too).
        if (!std::isnan(v)) {
            EXPECT_EQ(plor::generalText(v, 9), boost::lexical_cast<std::string>(v));
        }
    }
}

}  // namespace
