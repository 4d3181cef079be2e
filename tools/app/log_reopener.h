// While a run lasts, each SIGHUP reopens its logs, on a thread of its own:
// the command loop may be busy, and a stop may be waiting for rounds.
#pragma once

#include <functional>
#include <thread>

namespace smdhost {

class LogReopener {
public:
    // reopen runs on the reopener's thread once for each readable turn of
    // signalFd, and must empty it.
    LogReopener(int signalFd, std::function<void()> reopen);
    ~LogReopener();
    LogReopener(const LogReopener&) = delete;
    LogReopener& operator=(const LogReopener&) = delete;

private:
    void loop();
    int signalFd_;
    std::function<void()> reopen_;
    int quit_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace smdhost
