// The host of one run: the devices' polling threads, the command loop and
// an orderly end (host_app.cpp), and what the devices report through the
// stand-in, turned into events (host_reports.cpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board_simulator.h"
#include "commands.h"
#include "console.h"
#include "device_set.h"
#include "event_printer.h"
#include "events.h"
#include "history_sink.h"
#include "history_store.h"
#include "host_app.h"
#include "host_observer.h"
#include "plugin_library.h"
#include "scenario.h"
#include "site_config.h"
#include "site_state.h"
#include "stop_signals.h"
#include "store_queue.h"
#include "write_tracker.h"

namespace smdhost {

// Runs the devices: their polling threads, what they report, the command
// loop and an orderly end.
class Host : public smd::HostObserver {
public:
    Host(const RunOptions& opt, Console& console, StopSignals& signals)
        : opt_(opt), out_(console), signals_(signals), printer_(console) {}
    ~Host() override { teardown(); }

    int run();

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

private:
    void setup();
    void restore();
    void restoreWebAlarms(Device& d);
    void startWeb();
    void startPolling();
    void mainLoop();
    void stopPolling();
    void teardown();
    void summary();
    void finishStoring();

    void poll(Device& d);
    int checkFreshness();
    void note(Device* d, const std::string& text, Json::Value extra = Json::Value());
    void wake();
    void drainWake();
    bool allDone();

    RunOptions opt_;
    Console& out_;
    StopSignals& signals_;
    SiteConfig site_;
    Scenario scenario_;
    bool simulate_ = false;
    std::string dbPath_;
    std::string pluginPath_;
    long long roundsBefore_ = 0, transitionsBefore_ = 0;

    // What the web front shows; a sink like the others, outliving the fan-out.
    SiteState web_;
    std::unique_ptr<WebServer> http_;
    // Where events go: the history first, then the console.
    EventFanout events_;
    EventPrinter printer_;
    std::unique_ptr<HistorySink> historySink_;
    std::unique_ptr<StoreWriter> storeWriter_;
    std::unique_ptr<StoreQueue> storeQueue_;
    std::size_t unstored_ = 0;  // rows the history never took
    bool storingFinished_ = false;

    // Declared in the order of construction; teardown() releases them in
    // reverse: devices before their library, the library before the store.
    std::unique_ptr<PluginOutput> pluginOutput_;
    std::unique_ptr<HistoryStore> store_;
    std::unique_ptr<PluginLibrary> library_;
    std::vector<std::shared_ptr<Provider>> providers_;
    std::unique_ptr<BoardSimulator> board_;
    DeviceSet devices_{events_};
    WriteTracker writes_{events_};
    Commands commands_{devices_, writes_, out_, events_};
    bool observerInstalled_ = false;

    std::atomic<bool> stopping_{false};
    std::mutex waitMutex_;
    std::condition_variable waitCv_;

    int wakePipe_[2] = {-1, -1};
    std::mutex queueMutex_;
    std::deque<std::string> queued_;  // commands from the scenario
    std::string stdinBuffer_;
    bool stdinOpen_ = true;
    bool forcedExit_ = false;
    bool summarize_ = false;
};

}  // namespace smdhost
