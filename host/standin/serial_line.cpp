// The bus's port thread: RTU line discipline. A request goes out only after
// 3.5 character times of silence on the line, but never past its own time
// limit, and a reply ends where the line falls silent. Bytes that do not
// form a frame (noise, a fragment) are dropped and the wait goes on until
// the timeout; a frame that answers something else ends the request as a
// bad reply.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "host_observer.h"
#include "modbus_rtu.h"
#include "serial_bus.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Below this, a pause inside one reply is what USB adapters and a busy
// scheduler add, not the end of the frame.
constexpr microseconds kMinFrameGap = milliseconds(20);

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

int statusOf(const smd::rtu::Reply& r) {
    if (r.check == smd::rtu::Check::ok) return 0;
    if (r.check == smd::rtu::Check::exception && r.exceptionCode > 0) return r.exceptionCode;
    return smd::kModbusBadFrame;
}

}  // namespace

thread_local const SerialBus* SerialBus::busOfThread_ = nullptr;

// What the port thread knows of the line and its request in flight.
struct SerialBus::Line {
    Line(int p, int w, int b)
        : port(p), wake(w), baud(b), quiet(interFrame(b)),
          frameGap(std::max(quiet, kMinFrameGap)) {}
    const int port, wake, baud;
    const microseconds quiet, frameGap;
    enum class State { idle, ready, waiting } state = State::idle;
    SerialLink::Request req;
    int slave = 1;
    microseconds sendTime{0};
    std::vector<uint8_t> rx;
    // The line counts as busy until then; a request waits for its silence.
    Clock::time_point lineBusy = Clock::now(), lastByte, deadline;
};

// False when the bus stops.
bool SerialBus::takeNext(Line& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    // A device that left took its request with it.
    if (line.state != Line::State::idle && !hasCurrent_) line.state = Line::State::idle;
    if (line.state == Line::State::idle && !queue_.empty()) {
        current_ = std::move(queue_.front());
        queue_.pop_front();
        hasCurrent_ = true;
        lastLink_ = current_.link;
        line.req = current_.req;
        line.slave = current_.slave;
        line.sendTime = charTime(line.req.frame.size(), line.baud);
        // The wait for silence counts against the request's own time.
        line.deadline = Clock::now() + line.sendTime + milliseconds(current_.timeoutMs);
        line.state = Line::State::ready;
    }
    return true;
}

// Sends the request once the line is quiet, or ends it if the line stays
// busy for all of its time.
void SerialBus::sendWhenQuiet(Line& line) {
    if (line.state != Line::State::ready) return;
    const auto now = Clock::now();
    if (now >= line.lineBusy + line.quiet) {
        // Whatever arrived before this request is no answer to it.
        ::tcflush(line.port, TCIFLUSH);
        line.rx.clear();
        if (!writeAll(line.port, line.req.frame)) {
            finishCurrent(smd::kModbusSendFailed, {}, true);
            line.state = Line::State::idle;
            return;
        }
        line.lineBusy = Clock::now() + line.sendTime;
        line.state = Line::State::waiting;
    } else if (now + line.sendTime >= line.deadline) {
        finishCurrent(smd::kModbusTimeout, {}, true);
        line.state = Line::State::idle;
    }
}

// Waits for bytes, a wake-up or the next moment that matters; false when
// the port failed.
bool SerialBus::readLine(Line& line) {
    int waitMs = -1;
    if (line.state == Line::State::ready) {
        waitMs = msUntil(std::min(line.lineBusy + line.quiet, line.deadline - line.sendTime));
    } else if (line.state == Line::State::waiting) {
        waitMs = msUntil(line.rx.empty() ? line.deadline
                                         : std::min(line.deadline, line.lastByte + line.frameGap));
    }
    pollfd fds[2] = {{line.port, POLLIN, 0}, {line.wake, POLLIN, 0}};
    const int ready = ::poll(fds, 2, waitMs);
    if (ready < 0) return errno == EINTR;
    if (ready > 0 && (fds[1].revents & POLLIN)) {
        char sink[64];
        while (::read(line.wake, sink, sizeof sink) > 0) {
        }
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) {
        uint8_t buf[256];
        const ssize_t got = ::read(line.port, buf, sizeof buf);
        if (got > 0) {
            line.lastByte = line.lineBusy = Clock::now();
            if (line.state == Line::State::waiting) {
                line.rx.insert(line.rx.end(), buf, buf + got);
            } else {
                // Nobody's answer: no request waits for one.
                stray(static_cast<unsigned int>(got));
            }
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
    } else if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
        return false;
    }
    return true;
}

// Ends the request in flight on a whole reply or at its deadline.
void SerialBus::endReply(Line& line) {
    if (line.state != Line::State::waiting) return;
    const auto now = Clock::now();
    std::vector<uint8_t>& rx = line.rx;
    if (!rx.empty() && now - line.lastByte >= line.frameGap) {
        // A reply of its full length whose CRC holds is taken; what trails
        // it (a turnaround glitch on RS-485) is dropped.
        size_t length = rx.size();
        const size_t whole = smd::rtu::replyLength(rx.data(), rx.size());
        if (length > whole && smd::rtu::isFrame(rx.data(), whole)) length = whole;
        if (smd::rtu::isFrame(rx.data(), length)) {
            const unsigned int trailing = static_cast<unsigned int>(rx.size() - length);
            rx.resize(length);
            const smd::rtu::Reply reply = smd::rtu::checkReply(
                rx.data(), rx.size(), line.slave, line.req.function, line.req.address);
            finishCurrent(statusOf(reply), rx, true);
            if (trailing > 0) stray(trailing);
            line.state = Line::State::idle;
            return;
        }
        stray(static_cast<unsigned int>(rx.size()));
        rx.clear();
    }
    if (now >= line.deadline) {
        if (!rx.empty()) stray(static_cast<unsigned int>(rx.size()));
        finishCurrent(smd::kModbusTimeout, {}, true);
        line.state = Line::State::idle;
    }
}

void SerialBus::run(int port, int wake, int baud) {
    busOfThread_ = this;
    Line line(port, wake, baud);
    bool lost = false;
    while (takeNext(line)) {
        sendWhenQuiet(line);
        if (!readLine(line)) {
            lost = true;
            break;
        }
        endReply(line);
    }

    std::deque<Job> dropped;
    bool stopping;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lost) {
            failed_ = true;
            dropped.swap(queue_);
        }
        stopping = stopping_;
    }
    // Stopping: these reach the host, not the device.
    finishCurrent(smd::kModbusPortLost, {}, !stopping);
    for (const Job& j : dropped) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            busyWith_ = j.link;
        }
        j.link->finish(j.seq, j.req, smd::kModbusPortLost, {}, !stopping);
        release();
    }
    busOfThread_ = nullptr;
}
