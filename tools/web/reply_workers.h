// Threads that build the answers which read the history, off the HTTP
// event loops: a year of transitions read for one client must not hold up
// /metrics or a dashboard's poll that landed on the same loop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace smdhost {

class ReplyWorkers {
public:
    // work runs on a worker; done(true) after it, or done(false) instead of
    // it when the workers stop first. done must not block.
    struct Job {
        std::function<void()> work;
        std::function<void(bool ran)> done;
    };
    ReplyWorkers(std::size_t threads, std::size_t queueLimit);
    ~ReplyWorkers();
    ReplyWorkers(const ReplyWorkers&) = delete;
    ReplyWorkers& operator=(const ReplyWorkers&) = delete;

    // False, and nothing runs, when queueLimit jobs wait already or it stopped.
    bool submit(Job job);
    // Finishes the running jobs, calls done(false) for the waiting ones, joins.
    void stop();

private:
    void run();
    const std::size_t queueLimit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace smdhost
