// The host's wall clock and ages, as its lines and history show them.
#pragma once

#include <string>

namespace smdhost {

// Host wall clock as "HH:MM:SS", and with date and milliseconds.
std::string clockText();
std::string stampText();
// An age for people: "4.2 s", "17 min", "3.5 h".
std::string ageText(double seconds);

}  // namespace smdhost
