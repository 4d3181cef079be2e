#include "site_state.h"

#include <algorithm>
#include <chrono>

#include "freshness.h"

namespace smdhost {

SiteState::SiteState(Clock clock) : clock_(std::move(clock)) {
    if (!clock_)
        clock_ = [] {
            return std::chrono::duration<double>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        };
    started_ = clock_();
}

SiteState::Entry* SiteState::find(const std::string& device) {
    for (auto& e : devices_)
        if (e.v.name == device) return &e;
    return nullptr;
}

void SiteState::addDevice(const std::string& name, unsigned int dataId, int pollIntervalMs,
                          double staleAfter) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry e;
    e.v.name = name;
    e.v.dataId = dataId;
    e.v.pollIntervalMs = pollIntervalMs;
    e.staleAfter = staleAfter > 0 ? staleAfter : defaultStaleAfterMs(pollIntervalMs) / 1000.0;
    e.v.writes["other"] = 0;
    for (const char* k : kWriteOutcomeKinds) e.v.writes[k] = 0;
    devices_.push_back(std::move(e));
}

void SiteState::restoreAlarm(const std::string& device, const std::string& signalId,
                             const std::string& name, double raisedAt) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (e == nullptr) return;
    const int i = alarmIndex(signalId);
    if (i >= 0) e->v.alarms[static_cast<std::size_t>(i)] = true;
    e->v.activeAlarms.push_back(ActiveAlarm{signalId, name, raisedAt});
}

void SiteState::round(const std::string& device, const Record& r, bool restored) {
    const double now = clock_();
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (e == nullptr) return;
    e->v.hasValues = true;
    e->v.record = r;
    e->v.restored = restored;
    if (restored) return;
    e->v.lastRound = now;
    ++e->v.rounds;
}

void SiteState::abandoned(const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (e != nullptr) ++e->v.abandoned;
}

void SiteState::alarm(const std::string& device, const std::string& signalId,
                      const std::string& name, bool active) {
    const double now = clock_();
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (e == nullptr) return;
    const int i = alarmIndex(signalId);
    if (i >= 0) e->v.alarms[static_cast<std::size_t>(i)] = active;
    auto& list = e->v.activeAlarms;
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const ActiveAlarm& a) { return a.signalId == signalId; });
    // The host reports every evaluation; only a change is a transition.
    const bool change = active == (it == list.end());
    if (!active && it != list.end()) list.erase(it);
    if (active && it == list.end()) list.push_back(ActiveAlarm{signalId, name, now});
    if (!change) return;
    if (active && i >= 0) ++e->v.raises[static_cast<std::size_t>(i)];
    auto& recent = e->v.recent;
    if (recent.size() == kRecentTransitions) recent.erase(recent.begin());
    recent.push_back(RecentTransition{now, i, signalId, name, active});
}

void SiteState::writeOutcome(const std::string& device, const std::string& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (e == nullptr) return;
    auto it = e->v.writes.find(result);
    ++(it == e->v.writes.end() ? e->v.writes["other"] : it->second);
}

void SiteState::setStale(const std::string& device, bool stale) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (e != nullptr) e->staleVerdict = stale ? 1 : 0;
}

void SiteState::onEvent(const Event& event) {
    if (const auto* e = std::get_if<RoundEvent>(&event)) round(e->device, e->record, e->restored);
    else if (const auto* e = std::get_if<AlarmEvent>(&event))
        alarm(e->device, e->signalId, e->name, e->raised);
    else if (const auto* e = std::get_if<StaleEvent>(&event)) setStale(e->device, e->stale);
    else if (const auto* e = std::get_if<RefreshEvent>(&event)) {
        if (!e->completed) abandoned(e->device);
    }
    else if (const auto* e = std::get_if<WriteOutcomeEvent>(&event))
        writeOutcome(e->device, e->result);
}

SiteView SiteState::view() const {
    SiteView out;
    out.now = clock_();
    std::lock_guard<std::mutex> lock(mutex_);
    out.started = started_;
    out.devices.reserve(devices_.size());
    for (const auto& e : devices_) {
        out.devices.push_back(e.v);
        DeviceView& d = out.devices.back();
        d.age = d.lastRound > 0 ? std::max(0.0, out.now - d.lastRound) : -1;
        const double quiet = d.lastRound > 0 ? d.age : out.now - started_;
        d.stale = e.staleVerdict >= 0 ? e.staleVerdict == 1 : quiet > e.staleAfter;
    }
    return out;
}

}  // namespace smdhost
