#include "board_simulator.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace smdhost {

namespace {
// A never-still input changes this often; the plug-in's reads are 100 ms
// apart, so no two of them see the same text.
constexpr auto kJitterPeriod = std::chrono::milliseconds(25);

// Who holds the lock on fd's file, from the kernel's list of locks.
std::string lockHolder(int fd) {
    struct stat st {};
    std::ifstream locks("/proc/locks");
    if (::fstat(fd, &st) != 0 || !locks) return "another process";
    char want[64];
    std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream f(line);
        std::string id, kind, mode, access, pid, file;
        if (!(f >> id >> kind) || kind == "->") continue;  // a waiter, not the holder
        if (!(f >> mode >> access >> pid >> file) || file != want) continue;
        std::ifstream commFile("/proc/" + pid + "/comm");
        std::string comm;
        std::getline(commFile, comm);
        return "process " + pid + (comm.empty() ? std::string() : " (" + comm + ")");
    }
    return "another process";
}

}  // namespace

BoardSimulator::BoardSimulator(Scenario scenario, std::array<std::string, 4> paths, Hook hook,
                               std::string lockPath)
    : scenario_(std::move(scenario)),
      paths_(std::move(paths)),
      hook_(std::move(hook)),
      lockPath_(std::move(lockPath)) {}

BoardSimulator::~BoardSimulator() { stop(); }

void BoardSimulator::writeAtomically(const std::string& path, const std::string& text) {
    // A fresh name beside the target, created exclusively: a link planted
    // in a shared directory is never followed.
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot write '" + path + "': " + std::strerror(errno));
    const bool written = ::fchmod(fd, 0644) == 0 &&
                         ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int err = errno;
    ::close(fd);
    if (!written || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int why = written ? errno : err;
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot write '" + path + "': " + std::strerror(why));
    }
}

void BoardSimulator::writeChannel(std::size_t i) {
    const InputValue& v = current_[i];
    switch (v.kind) {
        case InputValue::absent:
            ::unlink(paths_[i].c_str());
            break;
        case InputValue::fixed:
            writeAtomically(paths_[i], std::to_string(v.lo) + "\n");
            break;
        case InputValue::jitter: {
            // Unsigned: a range given by hand may span every long.
            const unsigned long span = static_cast<unsigned long>(v.hi) - static_cast<unsigned long>(v.lo) + 1;
            const unsigned long step = static_cast<unsigned long>(jitterStep_[i]++);
            const long value = static_cast<long>(static_cast<unsigned long>(v.lo) + (span == 0 ? step : step % span));
            writeAtomically(paths_[i], std::to_string(value) + "\n");
            break;
        }
        case InputValue::keep:
            break;
    }
}

void BoardSimulator::advanceTo(double elapsed) {
    std::array<bool, 4> written{};
    while (next_ < scenario_.steps.size() && scenario_.steps[next_].at <= elapsed) {
        const ScenarioStep& step = scenario_.steps[next_++];
        if (step.type != ScenarioStep::inputs) {
            if (hook_) hook_(step);
            continue;
        }
        for (std::size_t i = 0; i < 4; ++i) {
            if (step.values[i].kind == InputValue::keep) continue;
            current_[i] = step.values[i];
            jitterStep_[i] = 0;
            writeChannel(i);
            written[i] = true;
        }
    }
    for (std::size_t i = 0; i < 4; ++i)
        if (current_[i].kind == InputValue::jitter && !written[i]) writeChannel(i);
}

void BoardSimulator::start() {
    if (started_) return;
    // Not through a link; read-only is enough for flock.
    lockFd_ = ::open(lockPath_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    // Another user's lock file in a sticky directory may refuse O_CREAT.
    if (lockFd_ < 0 && errno == EACCES)
        lockFd_ = ::open(lockPath_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        const std::string holder = lockFd_ >= 0 ? lockHolder(lockFd_) : std::string();
        if (lockFd_ >= 0) ::close(lockFd_);
        lockFd_ = -1;
        throw std::runtime_error(err == EWOULDBLOCK
                                     ? "another simulated board is writing the input files (" +
                                           lockPath_ + " is held by " + holder + ")"
                                     : "cannot lock " + lockPath_ + ": " + std::strerror(err));
    }
    advanceTo(0.0);
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

void BoardSimulator::run() {
    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const double elapsed = std::chrono::duration<double>(clock::now() - t0).count();
        try {
            advanceTo(elapsed);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "smd-host: board simulator: %s\n", e.what());
        }
        auto wakeAt = clock::time_point::max();
        if (next_ < scenario_.steps.size())
            wakeAt = t0 + std::chrono::duration_cast<clock::duration>(
                              std::chrono::duration<double>(scenario_.steps[next_].at));
        for (const auto& v : current_)
            if (v.kind == InputValue::jitter) wakeAt = std::min(wakeAt, clock::now() + kJitterPeriod);
        if (wakeAt == clock::time_point::max())
            wake_.wait(lock, [this] { return stopping_; });
        else
            wake_.wait_until(lock, wakeAt, [this] { return stopping_; });
    }
}

void BoardSimulator::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (started_) {
        for (const auto& p : paths_) ::unlink(p.c_str());
        started_ = false;
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

}  // namespace smdhost
