// Unix seconds of the local wall-clock times the history keeps: the plug-in's
// record times and the host's stamps, both read on this board's clock and zone.
#pragma once

#include <string>

namespace smdhost {

// "YYYY-MM-DD hh:mm:ss" of unix seconds in this zone, with ".mmm" when ms >= 0.
std::string localText(long long unixSeconds, int ms = -1);
// Milliseconds after the second of a "YYYY-MM-DD hh:mm:ss.mmm" text; 0 without them.
int millisOf(const std::string& text);

class LocalTime {
public:
    // -1 when the fields are no valid time from 1970 on.
    long long unix(int year, int month, int day, int hour, int minute, int second);
    // "YYYY-MM-DD hh:mm:ss", anything after the seconds ignored; -1 when not a time.
    long long unix(const std::string& text);

private:
    // The zone's offset is looked up once per local hour: rounds come every second.
    long long hourKey_ = -1, offset_ = 0;
};

}  // namespace smdhost
