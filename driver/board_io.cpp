#include "board_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <iostream>

#include "file_type.h"
#include "numbers.h"
#include "plor_sps.h"

void plor::Board::realSleep(unsigned int microseconds) { ::usleep(microseconds); }

plor::ReadStatus plor::readFile(const char* path, std::string& text) {
    // Never blocks: a FIFO or a device at the path is no input, and must not
    // hold the host's thread in open or read.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return ReadStatus::openFailed;
    if (!isRegularFile(fd)) {
        ::close(fd);
        return ReadStatus::notRegular;
    }
    ::lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got < 0) return ReadStatus::readFailed;
    // Only the bytes received count; a full buffer has no terminator.
    const size_t received = static_cast<size_t>(got);
    const void* nul = std::memchr(buffer, '\0', received);
    const size_t length =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - buffer) : received;
    text.assign(buffer, length);
    return ReadStatus::ok;
}

std::string readWholeFile(const char* path) {
    std::string text;
    switch (plor::readFile(path, text)) {
    case plor::ReadStatus::ok:
        return text;
    case plor::ReadStatus::openFailed:
    case plor::ReadStatus::notRegular:
        std::cout << "读取 " << path << " 失败！" << std::endl;
        return "-1";
    case plor::ReadStatus::readFailed:
        break;
    }
    return "-2";
}

int SPGpio::writeGpio(const std::string& path, char value) {
    std::cout << "SPGpio::writeGpio " << path << " value:" << value << std::endl;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        std::cout << "打开文件 " << path << " 失败！" << std::endl;
        return 1;
    }
    ::lseek(fd, 0, SEEK_SET);
    const ssize_t written = ::write(fd, &value, 1);
    (void)written;
    ::close(fd);
    return 0;
}

int PLOR_SPS::getAd(char channel) {
    SPGpio::writeGpio(board_.adcChannel, channel);
    board_.sleepUs(1000000);
    int32_t samples[10];
    int greatest = 0;
    int least = 0;
    for (int i = 0; i < 10; ++i) {
        samples[i] = plor::parseInt32(readWholeFile(board_.adcSample.c_str()).c_str());
        if (samples[i] > samples[greatest]) greatest = i;
        if (samples[i] < samples[least]) least = i;
        board_.sleepUs(20000);
    }
    // All equal: the greatest and the least are the same sample, so drop a
    // second one. Summed in 64 bits so that extreme samples cannot overflow.
    if (greatest == least) least = (greatest + 1) % 10;
    int64_t sum = 0;
    for (int i = 0; i < 10; ++i) {
        if (i != greatest && i != least) sum += samples[i];
    }
    return static_cast<int>(sum / 8);
}
