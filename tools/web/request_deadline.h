// A deadline for each request on the web front's connections. The HTTP
// library's timeout restarts with every byte, so a client sending one byte a
// second would hold its connection for ever; here each request (with the
// wait for it) must be complete within a fixed time of the connection's
// opening or of the previous answer, or its socket is shut down.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace smdhost {

class RequestDeadlines {
public:
    using Clock = std::chrono::steady_clock;
    explicit RequestDeadlines(std::chrono::milliseconds limit);
    ~RequestDeadlines();
    RequestDeadlines(const RequestDeadlines&) = delete;
    RequestDeadlines& operator=(const RequestDeadlines&) = delete;

    // A connection opened on fd; key identifies it until closed().
    void opened(const void* key, int fd);
    // Its request was answered: the next one gets the whole time again.
    void answered(const void* key);
    // Called before its socket is closed, so no late shutdown hits a reused fd.
    void closed(const void* key);
    // Ends the watching thread (idempotent).
    void stop();

private:
    struct Entry {
        int fd;
        Clock::time_point due;
    };
    void watch();
    std::chrono::milliseconds limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<const void*, Entry> open_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace smdhost
