// Reading the host's own input files, and where the program lives.
#pragma once

#include <cstddef>
#include <string>

namespace smdhost {

// Configuration and scenario files are small; anything bigger is a mistake.
constexpr std::size_t kMaxTextFile = 1 << 20;

// The whole file, or false with the reason. Only a regular file of at most
// maxBytes: a device or a FIFO is refused before it is read.
bool readTextFile(const std::string& path, std::string& text, std::string& error,
                  std::size_t maxBytes = kMaxTextFile);

// Directory of the running program.
std::string programDir();

}  // namespace smdhost
