#include "freshness.h"

namespace smdhost {

namespace {
double seconds(Freshness::Clock::duration d) { return std::chrono::duration<double>(d).count(); }
}  // namespace

int defaultStaleAfterMs(int pollIntervalMs) {
    return 3 * (pollIntervalMs + 800);
}

int staleAfterMs(int runMs, int deviceMs, int pollIntervalMs) {
    return runMs > 0 ? runMs : deviceMs > 0 ? deviceMs : defaultStaleAfterMs(pollIntervalMs);
}

void Freshness::start(Clock::time_point now, int staleAfterMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    since_ = now;
    after_ = std::chrono::milliseconds(staleAfterMs);
}

void Freshness::round(Clock::time_point now, const Say& fresh) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double age = seconds(now - since_);
    since_ = now;
    anyRound_ = true;
    if (!stale_) return;
    stale_ = false;
    fresh(age);
}

void Freshness::check(Clock::time_point now, const Say& stale) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stale_ || now - since_ < after_) return;
    stale_ = true;
    stale(seconds(now - since_));
}

bool Freshness::stale() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stale_;
}

double Freshness::age(Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return anyRound_ ? seconds(now - since_) : -1;
}

Freshness::Clock::time_point Freshness::deadline() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return since_ + after_;
}

}  // namespace smdhost
