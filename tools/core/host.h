// The host of one run: loads the plug-in and makes its devices, runs their
// polling threads and the command loop, and ends in order (host_run.cpp);
// what the devices report through the stand-in becomes events
// (host_reports.cpp). What surrounds it (history, console, web, simulation)
// is wired in by the program: the host sees only an event sink, an output,
// the commands and what the last run left.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device_set.h"
#include "events.h"
#include "host_links.h"
#include "host_observer.h"
#include "output.h"
#include "plugin_library.h"
#include "site_config.h"
#include "write_tracker.h"

namespace smdhost {

struct HostOptions {
    int rounds = 0;           // 0: until quit or a stop
    bool restore = true;      // hand the last stored records back
    int stopGraceMs = 15000;  // how long a stop waits for a round in progress
    int staleAfterMs = 0;     // 0: each device's own
};

class Host : public smd::HostObserver {
public:
    // Throws when it cannot make its wake-up pipe.
    Host(const HostOptions& opt, Output& out, EventSink& events);
    ~Host() override;
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Loads the plug-in and makes every device; throws with one line.
    void load(const std::string& pluginPath, const std::vector<DeviceConfig>& devices);
    // The alarm states and the records the last run left.
    void restore(LastRun& last);
    void startPolling();
    // The command loop: until quit, a stop request, or every device done.
    void run(CommandRunner& commands, const StopRequest& stop);
    // Ends the rounds; false when a device is still in its round after the
    // grace time (then nothing may be released: leave the process).
    bool stop();
    // Threads, ports, devices, then the plug-in.
    void release();

    // Any thread: a command line for the command loop (scenario steps).
    void queue(const std::string& command);

    DeviceSet& devices() { return devices_; }
    WriteTracker& writes() { return writes_; }
    int staleAfterMs(const DeviceConfig& cfg) const;

    // HostObserver: called on whichever thread drives the device.
    void onCheckThresholdBool(const SMDVDevice& dev, int kind, const std::string& signalId,
                              const std::string& alarmId, const std::string& name,
                              const std::string& valueText, bool active,
                              unsigned short level) override;
    void onSaveDeviceHistory(const SMDVDevice& dev, const unsigned char* data,
                             unsigned int length) override;
    void onSendSP(const SMDVDevice& dev, int code, const unsigned char* data, unsigned int length,
                  bool urgent) override;
    void onOpenPort(const SMDVDevice& dev, const std::string& port, bool ok) override;
    int onDeviceIoControl(const SMDVDevice&, int, const void*, int, void*, int, int&) override {
        return 0;
    }
    void onModbusReply(const SMDVDevice& dev, int function, int address, int status,
                       bool delivered) override;
    void onModbusOutcome(const SMDVDevice& dev, int function, int address, int status,
                         bool delivered, int echo) override;
    void onModbusSent(const SMDVDevice& dev, int function, int address) override;
    void onSerialNote(const SMDVDevice& dev, const std::string& text) override;

private:
    void restoreRecord(Device& d, LastRun& last);
    void poll(Device& d);
    void refreshed(Device& d, bool completed);
    int checkFreshness();
    void readInput(CommandRunner& commands, bool tty);
    void runQueued(CommandRunner& commands);
    void note(Device* d, const std::string& text, Json::Value extra = Json::Value());
    void wake();
    void drainWake();
    bool allDone();

    HostOptions opt_;
    Output& out_;
    EventSink& events_;

    // Declared in the order of construction; release() goes in reverse:
    // devices before their library.
    std::unique_ptr<PluginLibrary> library_;
    std::vector<std::shared_ptr<Provider>> providers_;
    DeviceSet devices_{events_};
    WriteTracker writes_{events_};
    bool observerInstalled_ = false;
    bool stuck_ = false;  // a device never finished its round

    std::atomic<bool> stopping_{false};
    std::mutex waitMutex_;
    std::condition_variable waitCv_;

    int wakePipe_[2] = {-1, -1};
    std::mutex queueMutex_;
    std::deque<std::string> queued_;  // commands from the scenario
    std::string stdinBuffer_;
    bool stdinOpen_ = true;
};

}  // namespace smdhost
