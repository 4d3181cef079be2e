// Reading the host's own input files, and where the program lives.
#pragma once

#include <string>

namespace smdhost {

// The whole file, or false with the system's reason.
bool readTextFile(const std::string& path, std::string& text, std::string& error);

// Directory of the running program.
std::string programDir();

}  // namespace smdhost
