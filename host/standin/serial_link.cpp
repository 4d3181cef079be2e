// The serial link: port, queue and port thread.
//
// RTU line discipline: a request goes out only after 3.5 character times
// of silence on the line, and a reply ends where the line falls silent.
// Bytes that do not form a frame (noise, a fragment) are dropped and the
// wait goes on until the timeout; a frame that answers something else ends
// the request as a bad reply.
#include "serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "host_observer.h"
#include "modbus_rtu.h"
#include "smd_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr size_t kMaxQueued = 32;
// Below this, a pause inside one reply is what USB adapters and a busy
// scheduler add, not the end of the frame.
constexpr microseconds kMinFrameGap = milliseconds(20);

speed_t speedFor(int baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return 0;
    }
}

// Time on the wire for n characters of 11 bits (start, 8 data, parity slot, stop).
microseconds charTime(size_t n, int baud) {
    return microseconds((static_cast<long long>(n) * 11 * 1000000 + baud - 1) / baud);
}

// 3.5 character times; fixed at 1.75 ms above 19200 bit/s.
microseconds interFrame(int baud) {
    return baud > 19200 ? microseconds(1750)
                        : microseconds((385LL * 100000 + baud - 1) / baud);
}

int msUntil(Clock::time_point t) {
    const auto left = std::chrono::duration_cast<microseconds>(t - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    const auto deadline = Clock::now() + milliseconds(1000);
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        const int left = msUntil(deadline);
        if (left == 0) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, left) < 0 && errno != EINTR) return false;
    }
    return true;
}

// An open port that hung up, failed, or whose path now names another
// device (unplugged and plugged again) must be opened anew.
bool stillThere(int fd, const std::string& path) {
    pollfd p{fd, 0, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return false;
    struct stat opened {}, named {};
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
           opened.st_rdev == named.st_rdev;
}

int statusOf(const smd::rtu::Reply& r) {
    if (r.check == smd::rtu::Check::ok) return 0;
    if (r.check == smd::rtu::Check::exception && r.exceptionCode > 0) return r.exceptionCode;
    return smd::kModbusBadFrame;
}

void poke(int fd) {
    const char byte = 1;
    if (fd >= 0) (void)!::write(fd, &byte, 1);
}

}  // namespace

thread_local const SerialLink* SerialLink::portThreadOf_ = nullptr;

void SerialLink::attach(SPModbus* modbus) {
    std::lock_guard<std::mutex> lock(mutex_);
    modbus_ = modbus;
}

SerialLink::Settings SerialLink::settings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

void SerialLink::configure(const Settings& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = s;
    slave_.store(s.slave);
}

SerialLink::Expected SerialLink::expected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return expected_;
}

uint64_t SerialLink::supersedeLocked(std::unique_lock<std::mutex>& lock) {
    // On the port thread the hand-over in progress is the caller's own.
    if (!onPortThread()) {
        ++superseding_;
        handedOver_.wait(lock, [this] { return handing_ == 0; });
        --superseding_;
    }
    return ++seq_;
}

bool SerialLink::claim() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (superseding_ > 0) declined_ = true;
    return superseding_ == 0;
}

void SerialLink::supersede() {
    std::unique_lock<std::mutex> lock(mutex_);
    supersedeLocked(lock);
}

bool SerialLink::open(int baud, std::string& path) {
    std::lock_guard<std::mutex> port(portMutex_);
    int fd;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        path = settings_.path;
        fd = fd_;
        ok = fd >= 0 && !failed_ && openPath_ == path && openBaud_ == baud;
    }
    // Only open() and close() close the port, both under portMutex_.
    if (ok) ok = stillThere(fd, path);
    if (!ok) {
        stop();
        ok = start(path, baud);
    }
    return ok;
}

void SerialLink::close() {
    std::lock_guard<std::mutex> port(portMutex_);
    stop();
}

bool SerialLink::start(const std::string& path, int baud) {
    const speed_t speed = speedFor(baud);
    if (path.empty() || speed == 0) return false;
    const int port = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) return false;
    termios tio{};
    if (::tcgetattr(port, &tio) != 0) {
        ::close(port);
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    int wake[2];
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(port, TCSANOW, &tio) != 0 || ::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        ::close(port);
        return false;
    }
    ::tcflush(port, TCIOFLUSH);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wakeRead_ = wake[0];
        wakeWrite_ = wake[1];
        fd_ = port;
        openPath_ = path;
        openBaud_ = baud;
        failed_ = false;
        stopping_ = false;
    }
    thread_ = std::thread(&SerialLink::run, this, port, wake[0], baud);
    return true;
}

void SerialLink::stop() {
    std::deque<Queued> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
        poke(wakeWrite_);
    }
    if (thread_.joinable()) thread_.join();
    int closing[3];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing[0] = fd_;
        closing[1] = wakeRead_;
        closing[2] = wakeWrite_;
        fd_ = wakeRead_ = wakeWrite_ = -1;
        openPath_.clear();
        openBaud_ = 0;
        failed_ = false;
    }
    for (int f : closing) {
        if (f >= 0) ::close(f);
    }
    // Still stopping: these reach the host, not the device.
    for (const Queued& q : dropped) finish(q, smd::kModbusPortLost, {});
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
}

bool SerialLink::submit(Request request) {
    Queued q;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        q.seq = supersedeLocked(lock);
        expected_ = Expected{request.function, request.address};
        q.req = std::move(request);
        if (!q.req.frame.empty() && fd_ >= 0 && !failed_ && !stopping_ &&
            queue_.size() < kMaxQueued) {
            queue_.push_back(std::move(q));
            poke(wakeWrite_);
            return true;
        }
    }
    finish(q, smd::kModbusSendFailed, {});
    return false;
}

void SerialLink::finish(const Queued& q, int status, const std::vector<uint8_t>& reply) {
    SPModbus* m;
    bool handing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        m = modbus_;
        handing = m != nullptr && q.seq == seq_ && !stopping_;
        if (handing) ++handing_;
        declined_ = false;
    }
    bool delivered = handing;
    if (handing && status == 0) {
        std::vector<uint8_t> copy(reply);
        owner_.process(copy.data(), static_cast<unsigned int>(copy.size()));
        std::lock_guard<std::mutex> lock(mutex_);
        delivered = !declined_;
    } else if (handing) {
        m->on_error();
    }
    // Inside the hand-over, so that what the host reads back is this outcome.
    smd::hostObserver()->onModbusReply(owner_, q.req.function, q.req.address, status, delivered);
    if (!handing) return;
    std::lock_guard<std::mutex> lock(mutex_);
    --handing_;
    handedOver_.notify_all();
}

void SerialLink::run(int port, int wake, int baud) {
    portThreadOf_ = this;
    const microseconds quiet = interFrame(baud);
    const microseconds frameGap = std::max(quiet, kMinFrameGap);
    enum class State { idle, ready, waiting } state = State::idle;
    Queued cur;
    std::vector<uint8_t> rx;
    bool lost = false;
    // The line counts as busy until then; a request waits for its silence.
    Clock::time_point lineBusy = Clock::now(), lastByte, deadline;
    int timeoutMs = 0;

    for (;;) {
        if (state == State::idle) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            if (!queue_.empty()) {
                cur = std::move(queue_.front());
                queue_.pop_front();
                timeoutMs = settings_.replyTimeoutMs;
                state = State::ready;
            }
        }
        if (state == State::ready && Clock::now() >= lineBusy + quiet) {
            // Whatever arrived before this request is no answer to it.
            ::tcflush(port, TCIFLUSH);
            rx.clear();
            if (!writeAll(port, cur.req.frame)) {
                finish(cur, smd::kModbusSendFailed, {});
                state = State::idle;
                continue;
            }
            lineBusy = Clock::now() + charTime(cur.req.frame.size(), baud);
            deadline = lineBusy + milliseconds(timeoutMs);
            state = State::waiting;
        }

        int waitMs = -1;
        if (state == State::ready) waitMs = msUntil(lineBusy + quiet);
        if (state == State::waiting) {
            waitMs = msUntil(rx.empty() ? deadline : std::min(deadline, lastByte + frameGap));
        }
        pollfd fds[2] = {{port, POLLIN, 0}, {wake, POLLIN, 0}};
        const int ready = ::poll(fds, 2, waitMs);
        if (ready < 0 && errno != EINTR) {
            lost = true;
            break;
        }
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            char sink[64];
            while (::read(wake, sink, sizeof sink) > 0) {
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint8_t buf[256];
            const ssize_t got = ::read(port, buf, sizeof buf);
            if (got > 0) {
                lastByte = lineBusy = Clock::now();
                if (state == State::waiting) {
                    rx.insert(rx.end(), buf, buf + got);
                } else {
                    // Nobody's answer: no request waits for one.
                    smd::hostObserver()->onModbusStray(owner_, static_cast<unsigned int>(got));
                }
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                lost = true;
                break;
            }
        } else if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
            lost = true;
            break;
        }

        if (state != State::waiting) continue;
        const auto now = Clock::now();
        if (!rx.empty() && now - lastByte >= frameGap) {
            if (smd::rtu::isFrame(rx.data(), rx.size())) {
                const smd::rtu::Reply reply = smd::rtu::checkReply(
                    rx.data(), rx.size(), slave_.load(), cur.req.function, cur.req.address);
                finish(cur, statusOf(reply), rx);
                state = State::idle;
                continue;
            }
            smd::hostObserver()->onModbusStray(owner_, static_cast<unsigned int>(rx.size()));
            rx.clear();
        }
        if (now >= deadline) {
            if (!rx.empty()) {
                smd::hostObserver()->onModbusStray(owner_, static_cast<unsigned int>(rx.size()));
            }
            finish(cur, smd::kModbusTimeout, {});
            state = State::idle;
        }
    }

    std::deque<Queued> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lost) {
            failed_ = true;
            dropped.swap(queue_);
        }
    }
    if (state != State::idle) finish(cur, smd::kModbusPortLost, {});
    for (const Queued& q : dropped) finish(q, smd::kModbusPortLost, {});
    portThreadOf_ = nullptr;
}
