// Stand-in for the host's serial-port device and Modbus RTU master.
//
// The port is named in the host's own part of the settings document:
//   "hostSetting": {"serialPort": "/dev/ttyUSB0", "slaveAddress": 1,
//                   "baudRate": 9600, "replyTimeoutMs": 1000}
// and opened raw, 8N1. Each device owns one port thread: it sends the
// queued requests one at a time, waits for each reply or its timeout, checks
// the reply as a master must and hands it to process(). A request goes out
// only after the previous one has been answered or timed out, and input is
// flushed before it, so a late reply never passes for a newer request's; the
// reply of a request that a newer one superseded is waited for and dropped.
//
// Lifetime: the port thread calls into the device, so the port must be
// closed before the device's own parts are destroyed. ClosePort() stops and
// joins the thread. Hosts close the port before deleting a device; the
// driver's destructor does so too, and the base destructors close it once
// more as a last line (by then a no-op). OpenPort() and ClosePort() refuse to
// run on the port thread itself, which could not join itself.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_observer.h"
#include "modbus_rtu.h"
#include "smd_host.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kDefaultReplyTimeoutMs = 1000;
constexpr size_t kMaxQueued = 32;

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
milliseconds charTime(size_t n, int baud) {
    return milliseconds((static_cast<long long>(n) * 11 * 1000 + baud - 1) / baud);
}

// Silence that ends a frame whose length the header does not tell: the
// 3.5-character gap, but not below what USB adapters and schedulers add.
milliseconds frameGap(int baud) { return std::max(milliseconds(20), charTime(4, baud)); }

bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    const auto deadline = SteadyClock::now() + milliseconds(1000);
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
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

}  // namespace

class SerialLink {
public:
    struct Request {
        uint64_t seq = 0;
        int function = 0;
        int address = 0;
        std::vector<uint8_t> frame;
    };

    explicit SerialLink(SMDSPDevice& owner) : owner_(owner) {}

    bool onPortThread() const { return portThreadOf_ == this; }

    // Caller holds portMutex.
    bool start(const std::string& path, int baud);
    void stop();

    // Queues a request; false when it cannot go out (no port, queue full).
    bool submit(Request request);
    // Reports a request that never reached the line.
    void refuse(int function, int address);

    SMDSPDevice& owner_;
    SPModbus* modbus = nullptr;  // while the SPModbus part lives; stateMutex

    std::mutex portMutex;   // opening and closing; held while joining
    std::mutex stateMutex;  // what follows, up to the atomics
    std::string path;
    int replyTimeoutMs = kDefaultReplyTimeoutMs;
    int fd = -1;
    std::string openPath;
    int openBaud = 0;
    bool failed = false;
    bool stopping = false;
    std::deque<Request> queue;
    uint64_t lastSeq = 0;

    std::atomic<int> slave{1};
    std::atomic<int> lastFunction{0};

private:
    void run(int port, int wake, int baud);
    // How a request ended; the device hears of it only if it is the latest.
    void complete(const Request& req, const std::vector<uint8_t>& frame);
    void fail(const Request& req, int status);

    std::thread reader_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    static thread_local const SerialLink* portThreadOf_;
};

thread_local const SerialLink* SerialLink::portThreadOf_ = nullptr;

bool SerialLink::start(const std::string& portPath, int baud) {
    const speed_t speed = speedFor(baud);
    if (portPath.empty() || speed == 0) return false;
    const int port = ::open(portPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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
        std::lock_guard<std::mutex> lock(stateMutex);
        wakeRead_ = wake[0];
        wakeWrite_ = wake[1];
        fd = port;
        openPath = portPath;
        openBaud = baud;
        failed = false;
        stopping = false;
    }
    reader_ = std::thread(&SerialLink::run, this, port, wake[0], baud);
    return true;
}

void SerialLink::stop() {
    std::deque<Request> dropped;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        stopping = true;
        dropped.swap(queue);
        if (wakeWrite_ >= 0) {
            const char byte = 1;
            (void)!::write(wakeWrite_, &byte, 1);
        }
    }
    if (reader_.joinable()) reader_.join();
    int closing[3];
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        closing[0] = fd;
        closing[1] = wakeRead_;
        closing[2] = wakeWrite_;
        fd = wakeRead_ = wakeWrite_ = -1;
        openPath.clear();
        openBaud = 0;
        failed = false;
    }
    for (int f : closing) {
        if (f >= 0) ::close(f);
    }
    for (const Request& r : dropped) {
        smd::hostObserver()->onModbusReply(owner_, r.function, r.address, smd::kModbusPortLost,
                                           false);
    }
}

bool SerialLink::submit(Request request) {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        // Even a request that cannot go out supersedes the earlier ones.
        request.seq = ++lastSeq;
        lastFunction.store(request.function);
        if (fd < 0 || failed || stopping || queue.size() >= kMaxQueued) return false;
        queue.push_back(std::move(request));
        const char byte = 1;
        (void)!::write(wakeWrite_, &byte, 1);
    }
    return true;
}

void SerialLink::refuse(int function, int address) {
    SPModbus* m;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        m = modbus;
    }
    if (m != nullptr) m->on_error();
    smd::hostObserver()->onModbusReply(owner_, function, address, smd::kModbusSendFailed,
                                       m != nullptr);
}

void SerialLink::complete(const Request& req, const std::vector<uint8_t>& frame) {
    SPModbus* m;
    bool latest;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        m = modbus;
        latest = req.seq == lastSeq && !stopping;
    }
    const int status =
        statusOf(smd::rtu::checkReply(frame.data(), frame.size(), slave.load(), req.function));
    const bool deliver = latest && m != nullptr;
    if (deliver) {
        std::vector<uint8_t> copy(frame);
        owner_.process(copy.data(), static_cast<unsigned int>(copy.size()));
    }
    smd::hostObserver()->onModbusReply(owner_, req.function, req.address, status, deliver);
}

void SerialLink::fail(const Request& req, int status) {
    SPModbus* m;
    bool latest;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        m = modbus;
        latest = req.seq == lastSeq && !stopping;
    }
    const bool deliver = latest && m != nullptr;
    if (deliver) m->on_error();
    smd::hostObserver()->onModbusReply(owner_, req.function, req.address, status, deliver);
}

void SerialLink::run(int port, int wake, int baud) {
    portThreadOf_ = this;
    const milliseconds gap = frameGap(baud);
    std::vector<uint8_t> rx;
    Request cur;
    bool busy = false;
    bool lost = false;
    SteadyClock::time_point deadline, lastByte;

    for (;;) {
        if (!busy) {
            std::unique_lock<std::mutex> lock(stateMutex);
            if (stopping) break;
            if (!queue.empty()) {
                cur = std::move(queue.front());
                queue.pop_front();
                const int timeoutMs = replyTimeoutMs;
                lock.unlock();
                // Whatever arrived before this request is no answer to it.
                ::tcflush(port, TCIFLUSH);
                rx.clear();
                if (!writeAll(port, cur.frame)) {
                    fail(cur, smd::kModbusSendFailed);
                    continue;
                }
                deadline = SteadyClock::now() + charTime(cur.frame.size(), baud) +
                           milliseconds(timeoutMs);
                busy = true;
            }
        }

        int waitMs = -1;
        if (busy) {
            auto until = deadline;
            if (!rx.empty() && smd::rtu::replyLength(rx.data(), rx.size()) == 0) {
                until = std::min(until, lastByte + gap);
            }
            const auto left =
                std::chrono::duration_cast<milliseconds>(until - SteadyClock::now()).count() + 1;
            waitMs = static_cast<int>(std::max<long long>(0, left));
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
            std::lock_guard<std::mutex> lock(stateMutex);
            if (stopping) break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint8_t buf[256];
            const ssize_t got = ::read(port, buf, sizeof buf);
            if (got > 0) {
                // Bytes while no request waits are nobody's answer.
                if (busy) {
                    rx.insert(rx.end(), buf, buf + got);
                    lastByte = SteadyClock::now();
                } else {
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

        if (!busy) continue;
        const size_t need = smd::rtu::replyLength(rx.data(), rx.size());
        const auto now = SteadyClock::now();
        if (need != 0 && rx.size() >= need) {
            rx.resize(need);
            complete(cur, rx);
            busy = false;
        } else if (need == 0 && !rx.empty() && now - lastByte >= gap) {
            complete(cur, rx);
            busy = false;
        } else if (now >= deadline) {
            fail(cur, smd::kModbusTimeout);
            busy = false;
        }
    }

    std::deque<Request> dropped;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (lost) {
            failed = true;
            dropped.swap(queue);
        }
    }
    if (busy) fail(cur, smd::kModbusPortLost);
    for (const Request& r : dropped) fail(r, smd::kModbusPortLost);
    portThreadOf_ = nullptr;
}

SMDSPDevice::SMDSPDevice() : link_(new SerialLink(*this)) {}

SMDSPDevice::~SMDSPDevice() {
    SMDSPDevice::ClosePort();
    delete link_;
}

int SMDSPDevice::Reset() { return SMDVDevice::Reset(); }

bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                       const Json::Value& settings) {
    return SMDVDevice::Init(controller, dataId, settings);
}

int SMDSPDevice::RefreshStatus() { return 0; }
int SMDSPDevice::process(unsigned char*, unsigned int) { return 0; }
bool SMDSPDevice::IsProcessing() { return false; }
bool SMDSPDevice::IsStalled() { return false; }
int SMDSPDevice::SendData(const unsigned char*, unsigned int length) {
    return static_cast<int>(length);
}
int SMDSPDevice::SendParityData(const unsigned char*, unsigned int length, EnumParity) {
    return static_cast<int>(length);
}

// Opening an open port is a no-op; a port that failed, vanished or whose
// settings changed is opened again.
int SMDSPDevice::OpenPort() {
    if (link_->onPortThread()) return -1;
    {
        // Every command starts by opening the port: a reply still on its way
        // belongs to an earlier command, whose pending state is already gone.
        std::lock_guard<std::mutex> state(link_->stateMutex);
        ++link_->lastSeq;
    }
    std::string path;
    bool ok = false;
    {
        std::lock_guard<std::mutex> port(link_->portMutex);
        int baud;
        int fd;
        {
            std::lock_guard<std::mutex> state(link_->stateMutex);
            path = link_->path;
            baud = baudRate_;
            fd = link_->fd;
            ok = fd >= 0 && !link_->failed && link_->openPath == path && link_->openBaud == baud;
        }
        // Only this call and ClosePort close the port, both under portMutex.
        if (ok) ok = stillThere(fd, path);
        if (!ok) {
            link_->stop();
            ok = link_->start(path, baud);
        }
    }
    smd::hostObserver()->onOpenPort(*this, path, ok);
    return ok ? 0 : -1;
}

int SMDSPDevice::ClosePort() {
    if (link_->onPortThread()) return -1;
    std::lock_guard<std::mutex> port(link_->portMutex);
    link_->stop();
    return 0;
}

SPModbus::SPModbus() { link_->modbus = this; }

SPModbus::~SPModbus() {
    SMDSPDevice::ClosePort();
    std::lock_guard<std::mutex> lock(link_->stateMutex);
    link_->modbus = nullptr;
}

// Reads "hostSetting"; anything missing or of the wrong type keeps what was
// there, and no document shape makes this throw.
bool SPModbus::InitSetting(const Json::Value& settings) {
    try {
        const Json::Value& host =
            settings.isObject() ? settings["hostSetting"] : Json::Value::nullSingleton();
        if (host.isObject()) {
            const Json::Value& port = host["serialPort"];
            const Json::Value& slave = host["slaveAddress"];
            const Json::Value& baud = host["baudRate"];
            const Json::Value& timeout = host["replyTimeoutMs"];
            std::lock_guard<std::mutex> lock(link_->stateMutex);
            if (port.isString()) link_->path = port.asString();
            if (slave.isInt() && slave.asInt() >= 1 && slave.asInt() <= 247) {
                link_->slave.store(slave.asInt());
            }
            if (baud.isInt() && speedFor(baud.asInt()) != 0) baudRate_ = baud.asInt();
            if (timeout.isInt() && timeout.asInt() >= 1 && timeout.asInt() <= 60000) {
                link_->replyTimeoutMs = timeout.asInt();
            }
        }
    } catch (const std::exception&) {
    }
    return SMDVDevice::InitSetting(settings);
}

// Checks a received reply, then hands its words to the device.
int SPModbus::process(unsigned char* frame, unsigned int length) {
    const smd::rtu::Reply reply =
        smd::rtu::checkReply(frame, length, link_->slave.load(), link_->lastFunction.load());
    if (reply.check != smd::rtu::Check::ok) {
        on_error();
        return -1;
    }
    for (int i = 0; i < reply.wordCount; ++i) responseWords_[i] = reply.words[i];
    return process_payload(frame, length);
}

int SPModbus::modbus_write_register(int address, int value) {
    smd::hostObserver()->onModbusWrite(*this, smd::rtu::kWriteSingle, address,
                                       std::vector<uint16_t>{static_cast<uint16_t>(value)});
    SerialLink::Request req;
    req.function = smd::rtu::kWriteSingle;
    req.address = address;
    const bool valid = address >= 0 && address <= 0xFFFF && value >= 0 && value <= 0xFFFF;
    if (valid) {
        req.frame = smd::rtu::writeSingle(static_cast<uint8_t>(link_->slave.load()),
                                          static_cast<uint16_t>(address),
                                          static_cast<uint16_t>(value));
    }
    if (valid && link_->submit(std::move(req))) return 0;
    if (!valid) link_->lastFunction.store(smd::rtu::kWriteSingle);
    link_->refuse(smd::rtu::kWriteSingle, address);
    return -1;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values) {
    std::vector<uint16_t> words;
    if (values != nullptr && count > 0) words.assign(values, values + count);
    smd::hostObserver()->onModbusWrite(*this, smd::rtu::kWriteMultiple, address, words);
    SerialLink::Request req;
    req.function = smd::rtu::kWriteMultiple;
    req.address = address;
    const bool valid = address >= 0 && address <= 0xFFFF && values != nullptr && count >= 1 &&
                       count <= smd::rtu::kMaxWriteRegisters;
    if (valid) {
        req.frame = smd::rtu::writeMultiple(static_cast<uint8_t>(link_->slave.load()),
                                            static_cast<uint16_t>(address), words.data(),
                                            words.size());
    }
    if (valid && link_->submit(std::move(req))) return 0;
    if (!valid) link_->lastFunction.store(smd::rtu::kWriteMultiple);
    link_->refuse(smd::rtu::kWriteMultiple, address);
    return -1;
}
