// The shared serial bus: opening the port, its users and its queue. The
// port thread's line discipline is in serial_line.cpp.
#include "serial_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
    std::shared_ptr<SerialBus> bus = buses[path].lock();
    if (!bus) {
        bus = std::make_shared<SerialBus>(path);
        buses[path] = bus;
    }
    return bus;
}

const SerialBus* SerialBus::current() { return busOfThread_; }

SerialBus::~SerialBus() {
    std::lock_guard<std::mutex> port(portMutex_);
    stop();
}

const SerialLink* SerialBus::conflicting(const SerialLink* link, int baud, int* otherBaud) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& user : users_) {
        if (user.first != link && user.second != baud) {
            if (otherBaud != nullptr) *otherBaud = user.second;
            return user.first;
        }
    }
    return nullptr;
}

SerialBus::Opened SerialBus::open(SerialLink* link, int baud, const SerialLink** other) {
    std::lock_guard<std::mutex> port(portMutex_);
    if (const SerialLink* holder = conflicting(link, baud, nullptr)) {
        *other = holder;
        return Opened::conflict;
    }
    int fd;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = fd_;
        ok = fd >= 0 && !failed_ && openBaud_ == baud;
    }
    // Only open() and the last detach() close the port, both under portMutex_.
    if (ok) ok = stillThere(fd, path_);
    // The port thread cannot restart itself.
    if (!ok && busOfThread_ == this) return Opened::failed;
    if (!ok) {
        stop();
        ok = start(baud);
    }
    if (!ok) return Opened::failed;
    std::lock_guard<std::mutex> lock(mutex_);
    users_[link] = baud;
    return Opened::ok;
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

bool SerialBus::start(int baud) {
    const speed_t speed = speedFor(baud);
    if (path_.empty() || speed == 0) return false;
    const int port = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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
        openBaud_ = baud;
        failed_ = false;
        stopping_ = false;
    }
    thread_ = std::thread(&SerialBus::run, this, port, wake[0], baud);
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
        openBaud_ = 0;
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
