#include "log_reopener.h"

#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace smdhost {

LogReopener::LogReopener(int signalFd, std::function<void()> reopen)
    : signalFd_(signalFd), reopen_(std::move(reopen)) {
    if (::pipe2(quit_, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (...) {
        ::close(quit_[0]);
        ::close(quit_[1]);
        throw;
    }
}

LogReopener::~LogReopener() {
    ::close(quit_[1]);  // the loop sees the end of the pipe
    thread_.join();
    ::close(quit_[0]);
}

void LogReopener::loop() {
    for (;;) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {quit_[0], POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents != 0) return;
        if (fds[0].revents != 0) reopen_();
    }
}

}  // namespace smdhost
