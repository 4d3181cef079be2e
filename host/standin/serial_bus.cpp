// The shared serial bus: opening the port, its users and its queue. The
// port thread's line discipline is in serial_line.cpp.
#include "serial_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "host_observer.h"
#include "modbus_rtu.h"
#include "smd_host.h"

namespace {

// Requests one device may have waiting.
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

void poke(int fd) {
    const char byte = 1;
    if (fd >= 0) (void)!::write(fd, &byte, 1);
}


// Two names of one port (a by-id link and the tty it points to) must find
// the same bus, or their devices would read each other's replies.
std::string portKey(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

const char* parityName(char p) { return p == 'E' ? "even" : p == 'O' ? "odd" : "none"; }

const char* echoName(SerialLink::LineSettings::Echo e) {
    using Echo = SerialLink::LineSettings::Echo;
    return e == Echo::on ? "on" : e == Echo::off ? "off" : "auto";
}

std::string rs485Text(const SerialLink::LineSettings& l) {
    if (!l.rs485) return "left as the driver has it";
    return std::string(l.rs485Enabled ? "on" : "off") + ", RTS " +
           (l.rtsOnSend ? "on" : "off") + " on send, " + (l.rtsAfterSend ? "on" : "off") +
           " after, delays " + std::to_string(l.delayBeforeSendMs) + "/" +
           std::to_string(l.delayAfterSendMs) + " ms";
}

// The first line setting in which two uses differ, as "WANTS|HAS" for the
// refusal line; empty when they can share the line.
std::string lineDifference(const SerialLink::Use& a, const SerialLink::Use& b) {
    if (a.baud != b.baud)
        return " at " + std::to_string(a.baud) + " bit/s| at " + std::to_string(b.baud) +
               " bit/s";
    if (a.line.parity != b.line.parity)
        return std::string(" with parity ") + parityName(a.line.parity) + "| with parity " +
               parityName(b.line.parity);
    if (a.line.stopBits != b.line.stopBits)
        return " with " + std::to_string(a.line.stopBits) + " stop bits| with " +
               std::to_string(b.line.stopBits);
    if (a.line.echo != b.line.echo)
        return std::string(" with localEcho ") + echoName(a.line.echo) + "| with localEcho " +
               echoName(b.line.echo);
    if (!(a.line == b.line))
        return " with rs485 " + rs485Text(a.line) + "| with rs485 " + rs485Text(b.line);
    return std::string();
}

std::mutex registryMutex;
std::map<std::string, std::weak_ptr<SerialBus>>& registry() {
    static auto* buses = new std::map<std::string, std::weak_ptr<SerialBus>>;
    return *buses;
}

}  // namespace

std::shared_ptr<SerialBus> SerialBus::forPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto& buses = registry();
    for (auto it = buses.begin(); it != buses.end();) {
        it = it->second.expired() ? buses.erase(it) : std::next(it);
    }
    const std::string key = portKey(path);
    std::shared_ptr<SerialBus> bus = buses[key].lock();
    if (!bus) {
        bus = std::make_shared<SerialBus>(path);
        buses[key] = bus;
    }
    return bus;
}

const SerialBus* SerialBus::current() { return busOfThread_; }

SerialBus::~SerialBus() {
    std::lock_guard<std::mutex> port(portMutex_);
    stop();
}

const SerialLink* SerialBus::conflicting(const SerialLink* link, const SerialLink::Use& use,
                                         std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& user : users_) {
        if (user.first == link) continue;
        const std::string differs = lineDifference(use, user.second);
        if (differs.empty() && use.slave != user.second.slave) continue;
        if (why != nullptr) {
            const std::string other = std::to_string(user.first->owner().DataId());
            *why = differs.empty()
                       ? " as slave " + std::to_string(use.slave) + ", but device " + other +
                             " is slave " + std::to_string(use.slave) + " there"
                       : differs.substr(0, differs.find('|')) + ", but device " + other +
                             " has it" + differs.substr(differs.find('|') + 1);
        }
        return user.first;
    }
    return nullptr;
}

SerialBus::Opened SerialBus::open(SerialLink* link, const SerialLink::Use& use,
                                  const SerialLink** other, std::string* error) {
    std::lock_guard<std::mutex> port(portMutex_);
    if (const SerialLink* holder = conflicting(link, use, nullptr)) {
        *other = holder;
        return Opened::conflict;
    }
    int fd;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = fd_;
        ok = fd >= 0 && !failed_ && lineDifference(openUse_, use).empty();
    }
    // Only open() and the last detach() close the port, both under portMutex_.
    if (ok) ok = stillThere(fd, path_);
    // The port thread cannot restart itself.
    if (!ok && busOfThread_ == this) return Opened::failed;
    {
        // Before the port thread starts: what it has to say goes to this device.
        std::lock_guard<std::mutex> lock(mutex_);
        users_[link] = use;
    }
    if (!ok) {
        stop();
        ok = start(use, error);
    }
    if (!ok) {
        std::lock_guard<std::mutex> lock(mutex_);
        users_.erase(link);
    }
    return ok ? Opened::ok : Opened::failed;
}

void SerialBus::detach(SerialLink* link) {
    std::lock_guard<std::mutex> port(portMutex_);
    std::vector<Job> dropped;
    bool last;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->link == link) {
                dropped.push_back(std::move(*it));
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
        // Its request in flight is ended here; the port thread then finds
        // none and lets the reply go by as stray bytes.
        if (hasCurrent_ && current_.link == link) {
            dropped.push_back(std::move(current_));
            hasCurrent_ = false;
            poke(wakeWrite_);
        }
        if (busOfThread_ != this) released_.wait(lock, [&] { return busyWith_ != link; });
        if (lastLink_ == link) lastLink_ = nullptr;
        users_.erase(link);
        last = users_.empty();
    }
    // These reach the host, not the device.
    for (const Job& j : dropped) link->finish(j.seq, j.req, smd::kModbusPortLost, {}, false);
    if (last && busOfThread_ != this) stop();
}

bool SerialBus::submit(Job job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0 || failed_ || stopping_ || users_.count(job.link) == 0) return false;
    const auto mine = std::count_if(queue_.begin(), queue_.end(),
                                    [&](const Job& j) { return j.link == job.link; });
    if (static_cast<size_t>(mine) >= kMaxQueued) return false;
    queue_.push_back(std::move(job));
    poke(wakeWrite_);
    return true;
}

// The kernel's RS-485 mode, for a UART whose transceiver follows RTS; a
// driver without it (a pseudo-terminal) refuses, and the port stays shut.
bool setRs485(int port, const SerialLink::LineSettings& l, std::string* error) {
    if (!l.rs485) return true;
#ifdef TIOCSRS485
    serial_rs485 conf{};
    if (l.rs485Enabled) conf.flags |= SER_RS485_ENABLED;
    if (l.rtsOnSend) conf.flags |= SER_RS485_RTS_ON_SEND;
    if (l.rtsAfterSend) conf.flags |= SER_RS485_RTS_AFTER_SEND;
    conf.delay_rts_before_send = static_cast<__u32>(l.delayBeforeSendMs);
    conf.delay_rts_after_send = static_cast<__u32>(l.delayAfterSendMs);
    if (::ioctl(port, TIOCSRS485, &conf) == 0) return true;
    if (error != nullptr) *error = std::string("TIOCSRS485: ") + std::strerror(errno);
#else
    if (error != nullptr) *error = "TIOCSRS485: not known to this system";
#endif
    return false;
}

bool SerialBus::start(const SerialLink::Use& use, std::string* error) {
    const speed_t speed = speedFor(use.baud);
    if (path_.empty() || speed == 0) return false;
    const int port = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) return false;
    termios tio{};
    if (::tcgetattr(port, &tio) != 0) {
        ::close(port);
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (use.line.parity != 'N') tio.c_cflag |= PARENB;
    if (use.line.parity == 'O') tio.c_cflag |= PARODD;
    if (use.line.stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    int wake[2];
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(port, TCSANOW, &tio) != 0) {
        // A pseudo-terminal, for one, takes no parity.
        if (error != nullptr)
            *error = std::string("cannot set 8") + use.line.parity +
                     std::to_string(use.line.stopBits) + " at " + std::to_string(use.baud) +
                     " bit/s: " + std::strerror(errno);
        ::close(port);
        return false;
    }
    if (!setRs485(port, use.line, error) || ::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        ::close(port);
        return false;
    }
    ::tcflush(port, TCIOFLUSH);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wakeRead_ = wake[0];
        wakeWrite_ = wake[1];
        fd_ = port;
        openUse_ = use;
        failed_ = false;
        stopping_ = false;
    }
    thread_ = std::thread(&SerialBus::run, this, port, wake[0], use);
    return true;
}

void SerialBus::stop() {
    std::deque<Job> dropped;
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
        openUse_ = SerialLink::Use();
        failed_ = false;
    }
    for (int f : closing) {
        if (f >= 0) ::close(f);
    }
    // Still stopping: these reach the host, not the device.
    for (const Job& j : dropped) j.link->finish(j.seq, j.req, smd::kModbusPortLost, {}, false);
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
}

void SerialBus::finishCurrent(int status, const std::vector<uint8_t>& reply, bool toDevice) {
    Job job;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A device that left meanwhile has had its request ended already.
        if (!hasCurrent_) return;
        job = std::move(current_);
        hasCurrent_ = false;
        busyWith_ = job.link;
    }
    job.link->finish(job.seq, job.req, status, reply, toDevice);
    release();
}

void SerialBus::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    busyWith_ = nullptr;
    released_.notify_all();
}

void SerialBus::sentCurrent() {
    const SerialLink* to;
    SerialLink::Request req;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!hasCurrent_) return;
        to = current_.link;
        req = current_.req;
        busyWith_ = to;
    }
    smd::hostObserver()->onModbusSent(to->owner(), req.function, req.address);
    release();
}

void SerialBus::note(const std::string& text) {
    const SerialLink* to;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        to = lastLink_ != nullptr ? lastLink_ : (users_.empty() ? nullptr : users_.begin()->first);
        if (to == nullptr) return;
        busyWith_ = to;
    }
    std::cout << "SPModbus: " << text << std::endl;
    smd::hostObserver()->onSerialNote(to->owner(), text);
    release();
}

void SerialBus::stray(unsigned int bytes) {
    const SerialLink* to;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        to = lastLink_ != nullptr ? lastLink_ : (users_.empty() ? nullptr : users_.begin()->first);
        if (to == nullptr) return;
        busyWith_ = to;
    }
    smd::hostObserver()->onModbusStray(to->owner(), bytes);
    release();
}
