// What the site looks like now, for the dashboard and the metrics: the
// latest readings of each device, its active alarms, its round and write
// counters. Fed by the host's threads, read by the web server's; every
// reader gets a copy, so no lock is held while a page is rendered.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "events.h"
#include "readings.h"
#include "record.h"
#include "write_tracker.h"

namespace smdhost {

struct ActiveAlarm {
    std::string signalId;
    std::string name;
    double raisedAt = 0;  // unix seconds; 0: raised before this run
};

// A raise or clear seen in this run, for the dashboard's list.
struct RecentTransition {
    double at = 0;  // unix seconds
    int alarm = -1; // index in kAlarms; -1: a signal of no known alarm
    std::string signalId, name;
    bool raised = false;
};

struct DeviceView {
    std::string name;
    unsigned int dataId = 0;
    int pollIntervalMs = 1000;
    bool hasValues = false;  // a round or a restored record
    bool restored = false;   // the values are the stored record's, no round yet
    Record record;
    double lastRound = 0;    // unix seconds of the latest completed round; 0: none yet
    double age = -1;         // seconds since then; -1: no round yet
    bool stale = false;
    std::array<bool, 6> alarms{};  // in record order
    std::vector<ActiveAlarm> activeAlarms;
    std::array<long long, 6> raises{};           // in record order, in this run
    std::vector<RecentTransition> recent;        // the latest kRecentTransitions, oldest first
    long long rounds = 0, abandoned = 0;
    std::map<std::string, long long> writes;  // by outcome kind, every kind present
};

struct SiteView {
    double now = 0;  // unix seconds
    double started = 0;
    std::vector<DeviceView> devices;
};

// An event sink: rounds, alarms, stale verdicts and write outcomes come
// through onEvent; abandoned refreshes, restored alarms and the devices
// themselves through the plain calls.
class SiteState : public EventSink {
public:
    static constexpr std::size_t kRecentTransitions = 20;
    using Clock = std::function<double()>;  // unix seconds
    explicit SiteState(Clock clock = Clock());

    // Before the run starts. staleAfter: seconds without a round before a
    // device counts as stale (<= 0: the host's default for the poll interval).
    void addDevice(const std::string& name, unsigned int dataId, int pollIntervalMs,
                   double staleAfter = 0);
    // The alarms active when the last run ended, with when they were raised if known.
    void restoreAlarm(const std::string& device, const std::string& signalId,
                      const std::string& name, double raisedAt);

    void round(const std::string& device, const Record& r, bool restored);
    void abandoned(const std::string& device);
    void alarm(const std::string& device, const std::string& signalId, const std::string& name,
               bool active);
    // result: one of kWriteOutcomeKinds; others count as "other".
    void writeOutcome(const std::string& device, const std::string& result);
    // The host's own verdict, when it has one; otherwise age decides.
    void setStale(const std::string& device, bool stale);

    void onEvent(const Event& event) override;

    SiteView view() const;
    double now() const { return clock_(); }

private:
    struct Entry {
        DeviceView v;
        double staleAfter = 0;
        int staleVerdict = -1;  // -1: none from the host
    };
    Entry* find(const std::string& device);

    Clock clock_;
    double started_ = 0;
    mutable std::mutex mutex_;
    std::vector<Entry> devices_;
};

}  // namespace smdhost
