#include "board_simulator.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace smdhost {

namespace {
// A never-still input changes this often; the plug-in's reads are 100 ms
// apart, so no two of them see the same text.
constexpr auto kJitterPeriod = std::chrono::milliseconds(25);
}  // namespace

BoardSimulator::BoardSimulator(Scenario scenario, std::array<std::string, 4> paths, Hook hook,
                               std::string lockPath)
    : scenario_(std::move(scenario)),
      paths_(std::move(paths)),
      hook_(std::move(hook)),
      lockPath_(std::move(lockPath)) {}

BoardSimulator::~BoardSimulator() { stop(); }

void BoardSimulator::writeAtomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot write '" + tmp + "': " + std::strerror(errno));
    const ssize_t w = ::write(fd, text.data(), text.size());
    ::close(fd);
    if (w != static_cast<ssize_t>(text.size()) || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot write '" + path + "': " + std::strerror(err));
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
    lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (lockFd_ >= 0) ::close(lockFd_);
        lockFd_ = -1;
        throw std::runtime_error(err == EWOULDBLOCK
                                     ? "another simulated board is writing the input files (" +
                                           lockPath_ + " is locked)"
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
