#include "connection_watch.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace smdhost {

namespace {

// Bytes the peer has not acknowledged yet; 0 when it cannot tell.
int unread(int fd) {
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

// Its close then resets the connection and frees its buffers at once
// rather than waiting for a peer that may never read.
void resetOnClose(int fd) {
    const linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

}  // namespace

ConnectionWatch::ConnectionWatch(Limits limits)
    : limits_(limits), thread_([this] { watch(); }) {}

ConnectionWatch::~ConnectionWatch() { stop(); }

void ConnectionWatch::opened(const void* key, int fd, const std::string& address) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    Entry& e = open_[key];
    e.fd = fd;
    e.address = address;
    e.opened = now;
    e.due = now + limits_.request;
    e.last = now;
    ++perAddress_[address];
    ++counted_;
    makeRoom(key, address);
}

void ConnectionWatch::makeRoom(const void* newcomer, const std::string& address) {
    while (perAddress_[address] > limits_.perAddress && evictOne(newcomer, address)) {
    }
    while (counted_ > limits_.total) {
        const auto most = std::max_element(
            perAddress_.begin(), perAddress_.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
        if (most == perAddress_.end() || !evictOne(newcomer, most->first)) break;
    }
}

// Of address: the oldest closed connection still draining, else by rank, then age.
bool ConnectionWatch::evictOne(const void* newcomer, const std::string& address) {
    for (auto it = draining_.begin(); it != draining_.end(); ++it) {
        if (it->address != address) continue;
        resetOnClose(it->fd);
        ::close(it->fd);
        uncount(*it);
        draining_.erase(it);
        return true;
    }
    // A request line follows its connection, and an answer its request, in a moment.
    constexpr auto kYoung = std::chrono::seconds(1);
    const auto now = Clock::now();
    Entry* pick = nullptr;
    int pickRank = 5;
    for (auto& kv : open_) {
        Entry& e = kv.second;
        if (e.evicted || e.address != address) continue;
        const bool young = now - e.last < kYoung;
        // 0 idle a while; 1 stuck in a request, or its answer not read;
        // 2 just opened or answered; 3 being served; 4 the newcomer.
        const int rank = kv.first == newcomer             ? 4
                         : !e.busy                        ? (young ? 2 : 0)
                         : !young || unread(e.fd) > 0     ? 1
                                                          : 3;
        if (rank < pickRank || (rank == pickRank && e.opened < pick->opened)) {
            pick = &e;
            pickRank = rank;
        }
    }
    if (pick == nullptr) return false;
    resetOnClose(pick->fd);
    ::shutdown(pick->fd, SHUT_RDWR);  // the server's loop sees the end and closes it
    pick->evicted = true;
    uncount(*pick);
    return true;
}

void ConnectionWatch::uncount(const Entry& e) {
    auto it = perAddress_.find(e.address);
    if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
    --counted_;
}

void ConnectionWatch::started(const void* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(key);
    if (it == open_.end()) return;
    it->second.busy = true;
    it->second.answered = false;
    it->second.last = Clock::now();
}

void ConnectionWatch::received(const void* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(key);
    if (it != open_.end() && !it->second.evicted) it->second.due = Clock::time_point::max();
}

void ConnectionWatch::answered(const void* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(key);
    if (it == open_.end()) return;
    it->second.busy = false;
    it->second.answered = true;
    it->second.last = Clock::now();
    if (!it->second.evicted) it->second.due = it->second.last + limits_.request;
}

void ConnectionWatch::closed(const void* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(key);
    if (it == open_.end()) return;
    Entry e = it->second;
    open_.erase(it);
    if (e.evicted) return;
    char peek = 0;
    const bool peerWaits = ::recv(e.fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
    if (!e.busy && !e.answered && !stopping_ && peerWaits && Clock::now() - e.last < limits_.idle / 2)
        badRequest(e.fd, "malformed request line\n");
    // An answer still in the kernel: keep the socket (and its count) until it is read.
    const int copy = stopping_ || unread(e.fd) == 0 ? -1 : ::fcntl(e.fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        uncount(e);
        return;
    }
    ::shutdown(copy, SHUT_WR);  // the end follows the answer, as the peer expects
    e.fd = copy;
    e.due = Clock::now() + limits_.drain;
    draining_.push_back(e);
    wake_.notify_all();
}

void ConnectionWatch::refuse(const void* key, const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(key);
    if (it == open_.end() || it->second.evicted) return;
    badRequest(it->second.fd, why);
    ::shutdown(it->second.fd, SHUT_WR);
}

void ConnectionWatch::badRequest(int fd, const std::string& why) {
    const std::string answer =
        "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: " +
        std::to_string(why.size()) + "\r\nConnection: close\r\n\r\n" + why;
    // Far smaller than the socket's buffer: one call, never blocking.
    (void)!::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::size_t ConnectionWatch::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counted_;
}

std::size_t ConnectionWatch::count(const std::string& address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = perAddress_.find(address);
    return it == perAddress_.end() ? 0 : it->second;
}

void ConnectionWatch::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : draining_) {
        resetOnClose(e.fd);
        ::close(e.fd);
        uncount(e);
    }
    draining_.clear();
}

void ConnectionWatch::watch() {
    // How often a draining socket is looked at: its peer reads at its own pace.
    constexpr auto kDrainPoll = std::chrono::milliseconds(50);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        auto next = now + limits_.request;
        for (auto& kv : open_) {
            Entry& e = kv.second;
            if (e.due <= now) {
                // The server's loop sees the end of the stream and closes the
                // connection itself; the fd stays valid until closed() ran.
                resetOnClose(e.fd);
                ::shutdown(e.fd, SHUT_RDWR);
                e.due = Clock::time_point::max();
                if (!e.evicted) uncount(e);
                e.evicted = true;
            } else if (e.due < next) {
                next = e.due;
            }
        }
        for (auto it = draining_.begin(); it != draining_.end();) {
            const bool read = unread(it->fd) == 0;
            if (read || it->due <= now) {
                if (!read) resetOnClose(it->fd);
                ::close(it->fd);
                uncount(*it);
                it = draining_.erase(it);
            } else {
                ++it;
            }
        }
        if (!draining_.empty()) next = std::min(next, now + kDrainPoll);
        // New and answered connections are due later than `next`, never sooner.
        wake_.wait_until(lock, next);
    }
}

}  // namespace smdhost
