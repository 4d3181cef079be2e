#include "request_deadline.h"

#include <sys/socket.h>

namespace smdhost {

RequestDeadlines::RequestDeadlines(std::chrono::milliseconds limit)
    : limit_(limit), thread_([this] { watch(); }) {}

RequestDeadlines::~RequestDeadlines() { stop(); }

void RequestDeadlines::opened(const void* key, int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_[key] = Entry{fd, Clock::now() + limit_};
}

void RequestDeadlines::answered(const void* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(key);
    if (it != open_.end()) it->second.due = Clock::now() + limit_;
}

void RequestDeadlines::closed(const void* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(key);
}

void RequestDeadlines::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void RequestDeadlines::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        auto next = now + limit_;
        for (auto& kv : open_) {
            Entry& e = kv.second;
            if (e.due <= now) {
                // The server's loop sees the end of the stream and closes the
                // connection itself; the fd stays valid until closed() ran.
                ::shutdown(e.fd, SHUT_RDWR);
                e.due = Clock::time_point::max();
            } else if (e.due < next) {
                next = e.due;
            }
        }
        // New and answered connections are due later than `next`, never sooner.
        wake_.wait_until(lock, next);
    }
}

}  // namespace smdhost
