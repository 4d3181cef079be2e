// Whether a device's values are current: a device that completes no round
// for its stale time is STALE until its next round (then FRESH again).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>

namespace smdhost {

class Freshness {
public:
    using Clock = std::chrono::steady_clock;
    // Says once when the state changes; called with the age in seconds
    // while the state is locked, so STALE and FRESH never cross.
    using Say = std::function<void(double ageSeconds)>;

    // From `now` the device has staleAfterMs for its first round.
    void start(Clock::time_point now, int staleAfterMs);
    // A round completed (any thread).
    void round(Clock::time_point now, const Say& fresh);
    // The command loop looks in now and then.
    void check(Clock::time_point now, const Say& stale);

    bool stale() const;
    // Seconds since the last round; negative when there was none.
    double age(Clock::time_point now) const;
    // When it turns stale without another round (meaningless once stale).
    Clock::time_point deadline() const;

private:
    mutable std::mutex mutex_;
    Clock::time_point since_{};  // the last round, or the start
    bool anyRound_ = false;
    bool stale_ = false;
    std::chrono::milliseconds after_{0};
};

// Three poll intervals, each with the round's own 0.8 s: one round lost to
// an input changing under it is not yet stale.
int defaultStaleAfterMs(int pollIntervalMs);
// A device's stale time, the one rule the host and the web share: the run's
// (--stale-after), else the device's own, else from its poll interval; 0
// means not given.
int staleAfterMs(int runMs, int deviceMs, int pollIntervalMs);

// A refresh that ends without a round waits at least this long.
constexpr int kMinIdlePauseMs = 100;

}  // namespace smdhost
