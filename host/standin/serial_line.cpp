// The bus's port thread: RTU line discipline. A request goes out only after
// 3.5 character times of silence on the line, but never past its own time
// limit. Its reply is found within what arrives: the first frame of a
// reply's length whose CRC holds, from the request's slave, ends the
// request as soon as its last byte is in; bytes around it are stray, and a
// whole frame from another slave is stray too and the wait goes on. Bytes
// that form no frame are dropped once the line falls silent. After a
// timeout the slave that missed it gets no new request until its reply
// window has passed once more, so a late reply cannot answer the next one.
#include <poll.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>

#include "host_observer.h"
#include "modbus_rtu.h"
#include "serial_bus.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Below this, a pause inside bytes of no known frame is what USB adapters
// and a busy scheduler add, not the end of them.
constexpr microseconds kMinFrameGap = milliseconds(20);
// How long an echoing adapter may take to hand back the copy of a request.
constexpr microseconds kEchoLatency = milliseconds(60);

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

// The first whole frame of a reply's length whose CRC holds, at or after
// from; its offset, or npos.
size_t findFrame(const std::vector<uint8_t>& rx, size_t from, size_t& length) {
    for (size_t i = from; i + 1 < rx.size(); ++i) {
        length = smd::rtu::replyLength(rx.data() + i, rx.size() - i);
        if (i + length <= rx.size() && smd::rtu::isFrame(rx.data() + i, length)) return i;
    }
    return std::string::npos;
}

}  // namespace

thread_local const SerialBus* SerialBus::busOfThread_ = nullptr;

// What the port thread knows of the line and its request in flight.
struct SerialBus::Line {
    Line(int p, int w, const SerialLink::Use& u)
        : port(p), wake(w), baud(u.baud), quiet(interFrame(u.baud)),
          frameGap(std::max(quiet, kMinFrameGap)),
          echo(u.line.echo == SerialLink::LineSettings::Echo::on) {}
    const int port, wake, baud;
    const microseconds quiet, frameGap;
    bool echo;  // the line hands back a copy of every request
    enum class State { idle, ready, waiting } state = State::idle;
    SerialLink::Request req;
    int slave = 1;
    int timeoutMs = 1000;
    microseconds sendTime{0};
    std::vector<uint8_t> rx;
    bool copyDue = false;  // the request's copy is still to come off rx
    // The line counts as busy until then; a request waits for its silence.
    Clock::time_point lineBusy = Clock::now(), lastByte, deadline, readyLimit;
    // Slaves that missed a reply: no request to them before then.
    std::map<int, Clock::time_point> held;

    Clock::time_point sendAt() const {
        const auto h = held.find(slave);
        const auto silent = lineBusy + quiet;
        return h == held.end() ? silent : std::max(silent, h->second);
    }
};

// False when the bus stops.
bool SerialBus::takeNext(Line& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    // A device that left took its request with it.
    if (line.state != Line::State::idle && !hasCurrent_) line.state = Line::State::idle;
    if (line.state == Line::State::idle && !queue_.empty()) {
        const auto now = Clock::now();
        for (auto it = line.held.begin(); it != line.held.end();)
            it = it->second <= now ? line.held.erase(it) : std::next(it);
        // A slave that missed its reply waits out its window; the others,
        // each with its own order kept, go first meanwhile.
        auto next = std::find_if(queue_.begin(), queue_.end(),
                                 [&](const Job& j) { return line.held.count(j.slave) == 0; });
        if (next == queue_.end()) next = queue_.begin();
        current_ = std::move(*next);
        queue_.erase(next);
        hasCurrent_ = true;
        lastLink_ = current_.link;
        line.req = current_.req;
        line.slave = current_.slave;
        line.timeoutMs = current_.timeoutMs;
        line.sendTime = charTime(line.req.frame.size(), line.baud);
        // Waiting for silence counts against the request's own time; waiting
        // out an earlier timeout does not.
        const auto h = line.held.find(line.slave);
        line.readyLimit = (h == line.held.end() ? now : h->second) +
                          milliseconds(current_.timeoutMs);
        line.state = Line::State::ready;
    }
    return true;
}

// Sends the request once the line is quiet, or ends it if the line stays
// busy for all of its time.
void SerialBus::sendWhenQuiet(Line& line) {
    if (line.state != Line::State::ready) return;
    const auto now = Clock::now();
    if (now >= line.sendAt()) {
        // Whatever arrived before this request is no answer to it.
        ::tcflush(line.port, TCIFLUSH);
        line.rx.clear();
        if (!writeAll(line.port, line.req.frame)) {
            finishCurrent(smd::kModbusSendFailed, {}, true);
            line.state = Line::State::idle;
            return;
        }
        line.lineBusy = Clock::now() + line.sendTime;
        line.deadline = line.lineBusy + milliseconds(line.timeoutMs);
        line.copyDue = line.echo;
        line.state = Line::State::waiting;
        sentCurrent();
    } else if (now >= line.readyLimit) {
        finishCurrent(smd::kModbusTimeout, {}, true);
        line.state = Line::State::idle;
    }
}

// Waits for bytes, a wake-up or the next moment that matters; false when
// the port failed.
bool SerialBus::readLine(Line& line) {
    // To the microsecond: a request waits 3.5 characters, not the next whole ms.
    Clock::time_point until = Clock::time_point::max();
    if (line.state == Line::State::ready) {
        until = std::min(line.sendAt(), line.readyLimit);
    } else if (line.state == Line::State::waiting) {
        until = line.rx.empty() ? line.deadline : line.lastByte + line.frameGap;
    }
    timespec wait{0, 0};
    if (until != Clock::time_point::max()) {
        const auto left = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count());
        wait.tv_sec = static_cast<time_t>(left / 1000000000);
        wait.tv_nsec = static_cast<long>(left % 1000000000);
    }
    pollfd fds[2] = {{line.port, POLLIN, 0}, {line.wake, POLLIN, 0}};
    const int ready =
        ::ppoll(fds, 2, until == Clock::time_point::max() ? nullptr : &wait, nullptr);
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

// Ends the request in flight on its reply or at its deadline.
void SerialBus::endReply(Line& line) {
    if (line.state != Line::State::waiting) return;
    const auto now = Clock::now();
    std::vector<uint8_t>& rx = line.rx;
    const bool silent = !rx.empty() && now - line.lastByte >= line.frameGap;
    const std::vector<uint8_t>& sent = line.req.frame;
    if (line.copyDue && !rx.empty()) {
        const size_t n = std::min(rx.size(), sent.size());
        if (!std::equal(rx.begin(), rx.begin() + static_cast<long>(n), sent.begin())) {
            line.copyDue = false;  // not the copy: read as it is
        } else if (n == sent.size()) {
            rx.erase(rx.begin(), rx.begin() + static_cast<long>(n));
            line.copyDue = false;
        } else if (!silent) {
            return;  // the rest of the copy is on its way
        }
    }
    size_t length = 0;
    for (size_t at = findFrame(rx, 0, length); at != std::string::npos;
         at = findFrame(rx, 0, length)) {
        if (rx[at] == line.slave) {
            const std::vector<uint8_t> frame(rx.begin() + static_cast<long>(at),
                                             rx.begin() + static_cast<long>(at + length));
            const unsigned int around = static_cast<unsigned int>(rx.size() - length);
            const smd::rtu::Reply reply = smd::rtu::checkReply(
                frame.data(), frame.size(), line.slave, line.req.function, line.req.address);
            rx.clear();
            finishCurrent(statusOf(reply), frame, true);
            if (around > 0) stray(around);
            line.state = Line::State::idle;
            return;
        }
        // Another slave's frame (a late reply) answers nothing of ours.
        stray(static_cast<unsigned int>(at + length));
        rx.erase(rx.begin(), rx.begin() + static_cast<long>(at + length));
    }
    if (silent) {
        stray(static_cast<unsigned int>(rx.size()));
        rx.clear();
    }
    // A reply under way at the deadline may end; a line that never falls
    // silent may not hold the request past the time of one more reply.
    if (now >= line.deadline &&
        (rx.empty() || now >= line.deadline + line.frameGap + charTime(8, line.baud))) {
        if (!rx.empty()) stray(static_cast<unsigned int>(rx.size()));
        rx.clear();
        finishCurrent(smd::kModbusTimeout, {}, true);
        // Its reply may still come: the next request to it waits it out.
        line.held[line.slave] = now + milliseconds(line.timeoutMs);
        line.state = Line::State::idle;
    }
}

// localEcho "auto": one read of a register from the opening device's
// slave, whose reply differs from the request; a copy of the request coming
// back first means the line echoes. Says so in one line when it does. The
// read's own reply (or its time) is waited out, so it answers nothing later.
bool SerialBus::probeEcho(Line& line, int slave, int timeoutMs) {
    const std::vector<uint8_t> probe =
        smd::rtu::readHolding(static_cast<uint8_t>(slave), 0, 1);
    ::tcflush(line.port, TCIFLUSH);
    if (!writeAll(line.port, probe)) return false;
    const auto sent = Clock::now() + charTime(probe.size(), line.baud);
    const auto until = sent + milliseconds(timeoutMs);
    std::vector<uint8_t> rx;
    bool decided = false;
    for (;;) {
        if (!decided && (rx.size() >= probe.size() ||
                         !std::equal(rx.begin(), rx.end(), probe.begin()))) {
            decided = true;
            line.echo = rx.size() >= probe.size() &&
                        std::equal(probe.begin(), probe.end(), rx.begin());
            if (line.echo) rx.erase(rx.begin(), rx.begin() + static_cast<long>(probe.size()));
        }
        size_t length = 0;
        const size_t at = findFrame(rx, 0, length);
        if (at != std::string::npos && rx[at] == slave) break;
        // Without a copy by then, the line does not echo.
        if (!decided && rx.empty() && Clock::now() >= sent + kEchoLatency) decided = true;
        const int left = msUntil(until);
        if (left == 0) break;
        pollfd p[2] = {{line.port, POLLIN, 0}, {line.wake, POLLIN, 0}};
        const int ready = ::poll(p, 2, left);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        if (p[1].revents & POLLIN) {
            // Requests may queue meanwhile; a stop may not wait for the probe.
            char sink[64];
            while (::read(line.wake, sink, sizeof sink) > 0) {
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return true;
        }
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
        if (!(p[0].revents & POLLIN)) continue;
        uint8_t buf[256];
        const ssize_t got = ::read(line.port, buf, sizeof buf);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (got > 0) rx.insert(rx.end(), buf, buf + got);
    }
    line.lineBusy = Clock::now();
    if (line.echo)
        note(path_ + " hands back a copy of every request (localEcho auto): the copies are dropped");
    return true;
}

void SerialBus::run(int port, int wake, SerialLink::Use use) {
    busOfThread_ = this;
    Line line(port, wake, use);
    bool lost = use.line.echo == SerialLink::LineSettings::Echo::detect &&
                !probeEcho(line, use.slave, use.replyTimeoutMs);
    while (!lost && takeNext(line)) {
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
