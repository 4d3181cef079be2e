// Board input and output through the file system, and the seams that let a
// test replace the board: paths, sleeping.
#pragma once

#include <array>
#include <functional>
#include <string>

namespace plor {

// Where the board's inputs live and how the driver waits. The defaults are
// the real board.
struct Board {
    std::array<std::string, 4> inputs{{"/tmp/plor_ai1", "/tmp/plor_ai2", "/tmp/plor_ai3",
                                       "/tmp/plor_ai4"}};
    std::string adcChannel = "/sys/devices/virtual/input/input1/channel_tpadc";
    std::string adcSample = "/sys/devices/virtual/input/input1/tpadc";
    std::function<void(unsigned int)> sleepUs = realSleep;

    static void realSleep(unsigned int microseconds);
};

enum class ReadStatus { ok, openFailed, notRegular, readFailed };

// One open, seek, read (at most 4096 bytes) and close, of a regular file
// only. The text ends at the first NUL byte. Failures print nothing here.
ReadStatus readFile(const char* path, std::string& text);

}  // namespace plor

// The whole text of a small file, or "-1" when it cannot be opened or is not
// a regular file (with a line on standard output) and "-2" when the read
// fails.
std::string readWholeFile(const char* path);

class SPGpio {
public:
    // Writes one byte at the start of an existing file; 0 on success, 1 when
    // the file cannot be opened.
    static int writeGpio(const std::string& path, char value);
};
