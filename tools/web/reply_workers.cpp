#include "reply_workers.h"

namespace smdhost {

ReplyWorkers::ReplyWorkers(std::size_t threads, std::size_t queueLimit) : queueLimit_(queueLimit) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
}

ReplyWorkers::~ReplyWorkers() { stop(); }

bool ReplyWorkers::submit(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || queue_.size() >= queueLimit_) return false;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void ReplyWorkers::stop() {
    std::deque<Job> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        left.swap(queue_);
    }
    wake_.notify_all();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
    for (auto& job : left) job.done(false);
}

void ReplyWorkers::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job.work();
        job.done(true);
    }
}

}  // namespace smdhost
