#include "host_app.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include "console.h"
#include "history_store.h"
#include "host_observer.h"
#include "record.h"
#include "simulators.h"
#include "site_state.h"
#include "site_config.h"
#include "smd_host.h"

namespace smdhost {

namespace {

using Clock = std::chrono::steady_clock;
// How long past its reply timeout a write waits for the master's report.
constexpr int kReportGraceMs = 2000;
using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

// A setup step that cannot go on: one message, non-zero exit.
class Fatal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

int g_signalPipe = -1;  // write end, for the handler
int g_signalRead = -1;
volatile sig_atomic_t g_signalCount = 0;

extern "C" void onStopSignal(int sig) {
    g_signalCount = g_signalCount + 1;
    if (g_signalCount > 1) {
        static const char msg[] = "smd-host: second signal, leaving at once\n";
        (void)!::write(2, msg, sizeof msg - 1);
        ::_exit(128 + sig);
    }
    const char c = static_cast<char>(sig);
    (void)!::write(g_signalPipe, &c, 1);
}

bool parseWord(const std::string& text, uint16_t& out) {
    if (text.empty()) return false;
    // Decimal, or hexadecimal with 0x; a leading zero does not mean octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > 0xffff) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

Json::Value jsonNumber(float v) {
    const std::string t = numberText(v);
    if (t == "nan" || t == "inf" || t == "-inf") return Json::Value();
    return Json::Value(std::strtod(t.c_str(), nullptr));
}

std::string joined(const std::vector<std::string>& items, const char* sep) {
    std::string s;
    for (const auto& i : items) s += (s.empty() ? "" : sep) + i;
    return s;
}

// Where in a settings document the JSON library most likely gave up: a
// member that must be a value holding an object or an array.
std::string suspectKey(const Json::Value& settings) {
    if (!settings.isObject() && !settings.isNull()) return "settings (not a JSON object)";
    auto kind = [](const Json::Value& v) { return v.isObject() ? "an object" : "an array"; };
    for (const char* section : {"appSetting", "hostSetting"}) {
        const Json::Value& s = settings[section];
        if (!s.isObject()) continue;
        for (const auto& key : s.getMemberNames()) {
            const Json::Value& v = s[key];
            if (v.isObject() || v.isArray())
                return std::string("settings.") + section + "." + key + " (" + kind(v) + ")";
        }
    }
    const Json::Value& rules = settings["thresholdSetting"];
    if (!rules.isNull() && !rules.isObject() && !rules.isArray())
        return "settings.thresholdSetting (not an object)";
    if (rules.isObject()) {
        for (const auto& key : rules.getMemberNames()) {
            const Json::Value& rule = rules[key];
            if (!rule.isObject()) continue;
            for (const auto& field : rule.getMemberNames())
                if (rule[field].isObject() || rule[field].isArray())
                    return "settings.thresholdSetting." + key + "." + field + " (" +
                           kind(rule[field]) + ")";
        }
    }
    return std::string();
}

// The system's reason a port does not open, for the message.
std::string whyNotOpen(const std::string& port) {
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return std::string();
    }
    return std::string(": ") + std::strerror(errno);
}

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path) : path_(path) {
        if (::access(path.c_str(), F_OK) != 0)
            throw Fatal("plug-in '" + path + "' not found");
        if (::access(path.c_str(), R_OK) != 0)
            throw Fatal("plug-in '" + path + "' is not readable: " + std::strerror(errno));
        // A bare file name would send dlopen to the library search path.
        const std::string open = path.find('/') == std::string::npos ? "./" + path : path;
        handle_ = ::dlopen(open.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            const char* why = ::dlerror();
            throw Fatal("cannot load plug-in '" + path + "': " + (why ? why : "unknown error"));
        }
        ::dlerror();
        void* sym = ::dlsym(handle_, "get_providers");
        if (sym == nullptr)
            throw Fatal("plug-in '" + path + "' has no get_providers entry point");
        getProviders_ = reinterpret_cast<GetProviders>(sym);
    }
    ~PluginLibrary() {
        if (handle_ != nullptr) ::dlclose(handle_);
    }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    std::vector<std::shared_ptr<Provider>> providers() const { return getProviders_(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    GetProviders getProviders_ = nullptr;
};

struct DeviceDeleter {
    void operator()(SMDVDevice* d) const { delete d; }
};

struct Device {
    DeviceConfig cfg;
    std::unique_ptr<SMDVDevice, DeviceDeleter> dev;
    std::unique_ptr<SupplySimulator> supply;
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    std::atomic<bool> restoring{false};
    bool idle = false;  // last refresh completed no round

    std::mutex alarmMutex;
    std::map<std::string, bool> alarmActive;
    std::vector<std::string> roundAlarms;
    bool roundChecked = false;
};

struct PendingWrite {
    Device* device = nullptr;
    int function = 0;  // Modbus function: 6 or 16
    int address = 0;
    std::string what;
    Clock::time_point deadline;
    int timeoutMs = 0;
};

// How the host's Modbus master says a request ended.
struct ReplyReport {
    Device* device = nullptr;
    int function = 0;
    int address = 0;
    int status = 0;
    bool delivered = false;
};

class Host : public smd::HostObserver {
public:
    Host(const RunOptions& opt, Console& console) : opt_(opt), out_(console) {}
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
    void createDevices();
    void createDevice(const DeviceConfig& cfg);
    void restore();
    void restoreWebAlarms(Device& d);
    void startWeb();
    void startPolling();
    void mainLoop();
    void stopPolling();
    void teardown();
    void summary();

    void poll(Device& d);
    Device* find(const SMDVDevice& dev);
    Device* byName(const std::string& name);
    void note(Device* d, const std::string& text, Json::Value extra = Json::Value());
    void wake();

    void execute(const std::string& line);
    void commandWrite(Device& d, int code, const std::vector<uint16_t>& words);
    void commandResult(Device& d);
    void commandSnapshot(Device& d);
    int queryOutcome(Device& d, bool& known);
    void checkPendingWrites();
    void resolve(const PendingWrite& p, int status);
    bool allDone() const;

    RunOptions opt_;
    Console& out_;
    SiteConfig site_;
    Scenario scenario_;
    bool simulate_ = false;
    std::string dbPath_;
    std::string pluginPath_;
    long long roundsBefore_ = 0, transitionsBefore_ = 0;

    // Declared in the order of construction; teardown() releases them in
    // reverse: devices before their library, the library before the store.
    std::unique_ptr<PluginOutput> pluginOutput_;
    std::unique_ptr<HistoryStore> store_;
    std::unique_ptr<PluginLibrary> library_;
    std::vector<std::shared_ptr<Provider>> providers_;
    std::unique_ptr<BoardSimulator> board_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::unique_ptr<Device> failed_;  // the device being set up
    SiteState web_;                       // what the web front shows
    std::unique_ptr<WebServer> http_;
    bool observerInstalled_ = false;

    std::mutex devicesMutex_;
    std::map<const SMDVDevice*, Device*> byPointer_;

    std::atomic<bool> stopping_{false};
    std::mutex waitMutex_;
    std::condition_variable waitCv_;

    int wakePipe_[2] = {-1, -1};
    std::mutex queueMutex_;
    std::deque<std::string> queued_;  // commands from the scenario
    std::vector<ReplyReport> replies_;
    std::string stdinBuffer_;
    bool stdinOpen_ = true;
    bool quit_ = false;
    Device* current_ = nullptr;
    std::vector<PendingWrite> pending_;
    bool forcedExit_ = false;
    bool summarize_ = false;
};

Device* Host::find(const SMDVDevice& dev) {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    auto it = byPointer_.find(&dev);
    return it == byPointer_.end() ? nullptr : it->second;
}

Device* Host::byName(const std::string& name) {
    for (auto& d : devices_)
        if (d->cfg.name == name || std::to_string(d->cfg.dataId) == name) return d.get();
    return nullptr;
}

void Host::note(Device* d, const std::string& text, Json::Value extra) {
    Json::Value j = extra.isObject() ? extra : Json::Value(Json::objectValue);
    if (!j.isMember("event")) j["event"] = "note";
    j["time"] = clockText();
    if (d != nullptr) j["device"] = d->cfg.name;
    j["text"] = text;
    if (d != nullptr && j["event"] == "write-outcome") web_.writeOutcome(d->cfg.name, j["result"].asString());
    out_.emit(clockText() + " " + (d != nullptr ? d->cfg.name + "  " : std::string()) + text, j);
}

void Host::wake() {
    const char c = 'w';
    (void)!::write(wakePipe_[1], &c, 1);
}

void Host::onCheckThresholdBool(const SMDVDevice& dev, int, const std::string& signalId,
                                const std::string&, const std::string& name,
                                const std::string& valueText, bool active, unsigned short) {
    Device* d = find(dev);
    if (d == nullptr) return;
    std::lock_guard<std::mutex> lock(d->alarmMutex);
    d->roundChecked = true;
    if (active) d->roundAlarms.push_back(name);
    bool& was = d->alarmActive[signalId];
    if (was == active) return;
    was = active;
    web_.alarm(d->cfg.name, signalId, name, active);
    const std::string at = stampText();
    Json::Value j;
    j["event"] = "alarm";
    j["state"] = active ? "raised" : "cleared";
    j["time"] = at;
    j["device"] = d->cfg.name;
    j["signalId"] = signalId;
    j["name"] = name;
    j["value"] = valueText;
    out_.emit(clockText() + " " + d->cfg.name + "  ALARM " + (active ? "RAISED " : "CLEARED") +
                  " " + signalId + " " + name + "  value " + valueText,
              j);
    try {
        store_->addTransition(d->cfg.name, d->cfg.dataId, at, signalId, name, valueText, active);
    } catch (const std::exception& e) {
        out_.error("smd-host: " + d->cfg.name + ": cannot store alarm transition: " + e.what());
    }
}

void Host::onSaveDeviceHistory(const SMDVDevice& dev, const unsigned char* data,
                               unsigned int length) {
    Device* d = find(dev);
    if (d == nullptr) return;
    Record r;
    if (!decodeRecord(data, length, r)) {
        note(d, "history record of " + std::to_string(length) + " bytes ignored (expected " +
                    std::to_string(kRecordSize) + ")");
        return;
    }
    const bool restoring = d->restoring.load();
    web_.round(d->cfg.name, r, restoring);
    std::vector<std::string> alarms;
    {
        std::lock_guard<std::mutex> lock(d->alarmMutex);
        // Without alarm reports (another alarm mode) the record's flags speak.
        alarms = d->roundChecked ? d->roundAlarms : r.activeAlarmNames();
        d->roundAlarms.clear();
        d->roundChecked = false;
    }
    try {
        store_->addRound(d->cfg.name, d->cfg.dataId, restoring ? "restore" : "round", data, length,
                         stampText());
    } catch (const std::exception& e) {
        out_.error("smd-host: " + d->cfg.name + ": cannot store round: " + e.what());
    }
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02u:%02u:%02u", unsigned(r.hour), unsigned(r.minute),
                  unsigned(r.second));
    std::ostringstream line;
    line << clock << " " << d->cfg.name << "  temp " << numberText(r.temperature) << " C  load "
         << numberText(r.loadCurrent) << " A  dc " << numberText(r.dcVoltage) << " V  ac "
         << numberText(r.acVoltage) << " V  ac-in " << numberText(r.acCurrent) << " A  alarms: "
         << (alarms.empty() ? "-" : joined(alarms, ", ")) << (restoring ? "  (restored)" : "");
    Json::Value j;
    j["event"] = "round";
    j["time"] = r.timeText();
    j["device"] = d->cfg.name;
    j["dataId"] = r.dataId;
    j["temperature"] = jsonNumber(r.temperature);
    j["loadCurrent"] = jsonNumber(r.loadCurrent);
    j["dcVoltage"] = jsonNumber(r.dcVoltage);
    j["acVoltage"] = jsonNumber(r.acVoltage);
    j["acCurrent"] = jsonNumber(r.acCurrent);
    j["alarms"] = Json::Value(Json::arrayValue);
    for (const auto& a : alarms) j["alarms"].append(a);
    j["restored"] = restoring;
    out_.emit(line.str(), j);
    if (!restoring) {
        d->rounds.fetch_add(1);
        wake();
    }
}

void Host::onSendSP(const SMDVDevice& dev, int code, const unsigned char*, unsigned int length,
                    bool) {
    if (code == kRecordCode && length == kRecordSize) return;
    note(find(dev), "record handed over with code " + std::to_string(code) + " and " +
                        std::to_string(length) + " bytes (expected " +
                        std::to_string(kRecordCode) + ", " + std::to_string(kRecordSize) + ")");
}

void Host::onOpenPort(const SMDVDevice& dev, const std::string& port, bool ok) {
    if (ok) return;
    note(find(dev), "cannot open serial port '" + port + "'");
}

void Host::setup() {
    if (opt_.configPath.empty()) {
        if (opt_.scenario.empty())
            throw Fatal("no site configuration: give --config FILE, or --simulate SCENARIO to "
                        "run the default simulated site");
        site_ = parseSiteConfig(defaultSiteConfigText(), "(default site)");
    } else {
        site_ = loadSiteConfig(opt_.configPath);
    }
    simulate_ = !opt_.scenario.empty();
    if (simulate_) scenario_ = loadScenario(opt_.scenario, opt_.scenarioDirs);

    pluginPath_ = !opt_.pluginPath.empty() ? opt_.pluginPath
                  : !site_.plugin.empty()  ? site_.plugin
                                           : programDir() + "/plor_sps.so";
    dbPath_ = !opt_.dbPath.empty() ? opt_.dbPath : !site_.database.empty() ? site_.database
                                                                             : "smd-host.db";
    store_.reset(new HistoryStore(dbPath_, false));
    Retention keep;
    keep.raw = opt_.keepRawDays * 86400LL;
    store_->setRetention(keep);
    roundsBefore_ = store_->countRounds("");
    transitionsBefore_ = store_->countTransitions("");

    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw Fatal("cannot make a pipe");

    const PluginOutput::Mode mode = !opt_.pluginLog.empty() ? PluginOutput::file
                                    : opt_.verbose          ? PluginOutput::show
                                                            : PluginOutput::drop;
    pluginOutput_.reset(new PluginOutput(out_, mode, opt_.pluginLog));

    library_.reset(new PluginLibrary(pluginPath_));
    try {
        providers_ = library_->providers();
    } catch (const std::exception& e) {
        throw Fatal("get_providers of '" + pluginPath_ + "' failed: " + e.what());
    }
    if (providers_.empty()) throw Fatal("get_providers of '" + pluginPath_ + "' gave no provider");

    smd::setHostObserver(this);
    observerInstalled_ = true;

    if (simulate_) {
        for (auto& cfg : site_.devices) {
            if (!cfg.settings.isObject()) continue;  // InitSetting will say what is wrong
            Json::Value& host = cfg.settings["hostSetting"];
            if (!host.isObject()) host = Json::Value(Json::objectValue);
        }
    }
    createDevices();
}

void Host::createDevices() {
    for (const auto& cfg : site_.devices) {
        try {
            createDevice(cfg);
        } catch (...) {
            // A device that failed half-way goes the way a finished one does:
            // port closed, then the device, while its code is still loaded.
            if (failed_ && failed_->dev) {
                auto* sp = dynamic_cast<SMDSPDevice*>(failed_->dev.get());
                if (sp != nullptr) sp->ClosePort();
                std::lock_guard<std::mutex> lock(devicesMutex_);
                byPointer_.erase(failed_->dev.get());
            }
            failed_.reset();
            throw;
        }
    }
    current_ = devices_.front().get();
}

void Host::createDevice(const DeviceConfig& cfg) {
    {
        failed_.reset(new Device);
        std::unique_ptr<Device>& d = failed_;
        d->cfg = cfg;
        const std::string who = "device '" + cfg.name + "' (data id " +
                                std::to_string(cfg.dataId) + ")";
        for (const auto& p : providers_) {
            auto* sp = dynamic_cast<SMDSPDeviceProvider*>(p.get());
            if (sp == nullptr) continue;
            try {
                d->dev.reset(sp->create());
            } catch (const std::exception& e) {
                throw Fatal(who + ": the provider could not create it: " + e.what());
            }
            if (d->dev) break;
        }
        if (!d->dev) throw Fatal("plug-in '" + pluginPath_ + "' offers no serial device provider");
        {
            std::lock_guard<std::mutex> lock(devicesMutex_);
            byPointer_[d->dev.get()] = d.get();
        }
        if (simulate_ && d->cfg.settings.isObject()) {
            Json::Value& host = d->cfg.settings["hostSetting"];
            const int slave = host["slaveAddress"].isInt() ? host["slaveAddress"].asInt() : 1;
            Device* raw = d.get();
            d->supply.reset(new SupplySimulator(cfg.name, slave, [this, raw](const std::string& t) {
                Json::Value j;
                j["event"] = "supply";
                note(raw, "supply: " + t, j);
            }));
            d->supply->start();
            host["serialPort"] = d->supply->portPath();
        }
        const std::string port = d->cfg.serialPort();
        d->dev->Init(std::weak_ptr<SMDController>(), cfg.dataId, d->cfg.settings);
        bool accepted = false;
        try {
            accepted = d->dev->InitSetting(d->cfg.settings);
        } catch (const std::exception& e) {
            const std::string key = suspectKey(d->cfg.settings);
            throw Fatal(who + ": InitSetting rejected its settings" +
                        (key.empty() ? std::string() : " at " + key) + ": " + e.what());
        }
        if (!accepted) throw Fatal(who + ": InitSetting rejected its settings");
        // The host opens a device's port before its first round, as a site does.
        auto* sp = dynamic_cast<SMDSPDevice*>(d->dev.get());
        if (!port.empty() && sp != nullptr && sp->OpenPort() < 0)
            throw Fatal(who + ": serial port '" + port +
                        "' (settings.hostSetting.serialPort) cannot be opened" + whyNotOpen(port));
        note(d.get(), "ready: " + d->dev->DeviceType() + ", data id " + std::to_string(cfg.dataId) +
                          ", polled every " + std::to_string(cfg.pollIntervalMs) + " ms" +
                          (port.empty() ? std::string(", no serial port")
                                        : ", serial port " + port));
        devices_.push_back(std::move(d));
    }
}

void Host::restore() {
    for (auto& d : devices_) {
        {
            std::lock_guard<std::mutex> lock(d->alarmMutex);
            d->alarmActive = store_->alarmStates(d->cfg.name);
        }
        restoreWebAlarms(*d);
        if (!opt_.restore) continue;
        std::vector<unsigned char> image;
        if (!store_->lastRecord(d->cfg.name, image)) continue;
        Record r;
        const std::string from = decodeRecord(image.data(), image.size(), r) ? r.timeText() : "?";
        note(d.get(), "restoring the record of " + from + " from " + dbPath_);
        d->restoring = true;
        bool ok = false;
        try {
            ok = d->dev->LoadFromCache(image.data(), static_cast<int>(image.size()));
        } catch (const std::exception& e) {
            note(d.get(), std::string("LoadFromCache failed: ") + e.what());
        }
        d->restoring = false;
        if (!ok) note(d.get(), "LoadFromCache did not take the stored record");
    }
}

// The alarms left active by the last run, with when they were raised as far
// as the recent transitions tell.
void Host::restoreWebAlarms(Device& d) {
    const auto recent = store_->transitions(d.cfg.name, 200);
    std::lock_guard<std::mutex> lock(d.alarmMutex);
    for (const auto& a : d.alarmActive) {
        if (!a.second) continue;
        std::string name = a.first;
        long long when = 0;
        for (const auto& t : recent)
            if (t.signalId == a.first && t.raised) name = t.name, when = t.t;
        web_.restoreAlarm(d.cfg.name, a.first, name, static_cast<double>(when));
    }
}

void Host::startWeb() {
    for (const auto& d : devices_) web_.addDevice(d->cfg.name, d->cfg.dataId, d->cfg.pollIntervalMs);
    if (!opt_.http) return;
    try {
        http_ = startWebServer(web_, dbPath_, opt_.httpOptions);
    } catch (const std::exception& e) {
        throw Fatal(std::string("--http: ") + e.what());
    }
    const std::string& h = opt_.httpOptions.host;
    const std::string host = h.find(':') != std::string::npos ? "[" + h + "]" : h;
    Json::Value j;
    j["event"] = "http";
    j["port"] = http_->port();
    note(nullptr, "dashboard at http://" + host + ":" + std::to_string(http_->port()) +
                      "/  (metrics at /metrics)", j);
}

void Host::poll(Device& d) {
    while (!stopping_.load()) {
        const int before = d.rounds.load();
        try {
            d.dev->RefreshStatus();
        } catch (const std::exception& e) {
            note(&d, std::string("refresh failed: ") + e.what());
        }
        const bool completed = d.rounds.load() != before;
        if (!completed) web_.abandoned(d.cfg.name);
        if (!completed && !d.idle)
            note(&d, "refresh ended without a round (an input missing, unreadable or never still)");
        if (completed && d.idle) note(&d, "rounds resumed");
        d.idle = !completed;
        if (opt_.rounds > 0 && d.rounds.load() >= opt_.rounds) break;
        std::unique_lock<std::mutex> lock(waitMutex_);
        waitCv_.wait_for(lock, std::chrono::milliseconds(d.cfg.pollIntervalMs),
                         [this] { return stopping_.load(); });
    }
    d.done = true;
    waitCv_.notify_all();
    wake();
}

void Host::startPolling() {
    if (simulate_) {
        board_.reset(new BoardSimulator(scenario_, {{"/tmp/plor_ai1", "/tmp/plor_ai2",
                                                     "/tmp/plor_ai3", "/tmp/plor_ai4"}},
                                        [this](const ScenarioStep& step) {
                                            std::lock_guard<std::mutex> lock(queueMutex_);
                                            queued_.push_back(step.type == ScenarioStep::supply
                                                                  ? "supply " + step.text
                                                                  : step.text);
                                            wake();
                                        }));
        board_->start();
        note(nullptr, "simulating scenario '" + scenario_.name + "' on /tmp/plor_ai1..4");
    }
    for (auto& d : devices_) {
        Device* raw = d.get();
        d->thread = std::thread([this, raw] { poll(*raw); });
    }
}

bool Host::allDone() const {
    for (const auto& d : devices_)
        if (!d->done.load()) return false;
    return true;
}

int Host::queryOutcome(Device& d, bool& known) {
    int32_t value = 0;
    unsigned char out[16] = {};
    int outLength = 0;
    d.dev->DeviceIoControl(kWriteOutcomeCode, nullptr, 0, out, sizeof out, outLength);
    known = outLength == 4;
    if (known) std::memcpy(&value, out, sizeof value);
    return value;
}

void Host::onModbusReply(const SMDVDevice& dev, int function, int address, int status,
                         bool delivered) {
    Device* d = find(dev);
    if (d == nullptr) return;
    std::lock_guard<std::mutex> lock(queueMutex_);
    replies_.push_back(ReplyReport{d, function, address, status, delivered});
    wake();
}

void Host::resolve(const PendingWrite& p, int status) {
    Json::Value j;
    j["event"] = "write-outcome";
    j["status"] = status;
    std::string text;
    if (status == 0) {
        bool known = false;
        const int outcome = queryOutcome(*p.device, known);
        if (known) j["outcome"] = outcome;
        if (known && outcome == 1) {
            j["result"] = "confirmed";
            text = "confirmed by the supply (outcome 1)";
        } else if (known && outcome == 3) {
            j["result"] = "not-confirmed";
            text = "NOT confirmed: the supply's echo differs (outcome 3)";
        } else {
            j["result"] = "answered";
            text = "answered, outcome " + (known ? std::to_string(outcome) : std::string("unknown"));
        }
    } else if (status == smd::kModbusTimeout) {
        j["result"] = "timeout";
        text = "timed out: no reply within " + std::to_string(p.timeoutMs) + " ms";
    } else if (status == smd::kModbusBadFrame) {
        j["result"] = "bad-reply";
        text = "failed: the reply was malformed (CRC, slave, function or length)";
    } else if (status == smd::kModbusSendFailed) {
        j["result"] = "not-sent";
        text = "failed: not sent (port not open, busy, or the write failed)";
    } else if (status == smd::kModbusPortLost) {
        j["result"] = "port-lost";
        text = "failed: the port went away before the reply";
    } else {
        j["result"] = "exception";
        text = "refused by the supply: Modbus exception " + std::to_string(status);
    }
    note(p.device, p.what + " " + text, j);
}

void Host::checkPendingWrites() {
    std::vector<ReplyReport> replies;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        replies.swap(replies_);
    }
    for (const auto& r : replies) {
        // A superseded request's report is not this write's outcome.
        if (!r.delivered) continue;
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->device != r.device || it->function != r.function || it->address != r.address)
                continue;
            resolve(*it, r.status);
            pending_.erase(it);
            break;
        }
    }
    // A master that reports nothing: the driver's outcome, or give up.
    for (auto it = pending_.begin(); it != pending_.end();) {
        bool known = false;
        const int outcome = queryOutcome(*it->device, known);
        if (known && (outcome == 1 || outcome == 3)) {
            resolve(*it, 0);
        } else if (Clock::now() >= it->deadline) {
            Json::Value j;
            j["event"] = "write-outcome";
            j["result"] = "no-report";
            if (known) j["outcome"] = outcome;
            note(it->device, it->what + " has no outcome after " +
                                 std::to_string(it->timeoutMs + kReportGraceMs) + " ms (outcome " +
                                 (known ? std::to_string(outcome) : std::string("unknown")) + ")",
                 j);
        } else {
            ++it;
            continue;
        }
        it = pending_.erase(it);
    }
}

void Host::commandWrite(Device& d, int code, const std::vector<uint16_t>& words) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->device != &d) continue;
        note(&d, it->what + ": no outcome before the next write");
        pending_.erase(it);
        break;
    }
    std::string what = code == 206 ? "write register " + std::to_string(words[0]) + " = " +
                                         std::to_string(words[1])
                                   : "write registers from " + std::to_string(words[0]) + ":";
    if (code == 210)
        for (std::size_t i = 1; i < words.size(); ++i) what += " " + std::to_string(words[i]);
    Json::Value j;
    j["event"] = "write";
    j["code"] = code;
    j["address"] = words[0];
    j["values"] = Json::Value(Json::arrayValue);
    for (std::size_t i = 1; i < words.size(); ++i) j["values"].append(words[i]);
    // Announced first: the reply may be reported before the call returns.
    note(&d, what + " (control " + std::to_string(code) + ")", j);
    int outLength = 0;
    int rc = 0;
    try {
        rc = d.dev->DeviceIoControl(code, words.data(), static_cast<int>(words.size() * 2),
                                    nullptr, 0, outLength);
    } catch (const std::exception& e) {
        note(&d, what + " failed: " + e.what());
        return;
    }
    if (rc != 0) {
        Json::Value r;
        r["event"] = "write-outcome";
        r["result"] = "refused";
        r["returned"] = rc;
        note(&d, what + " refused: control " + std::to_string(code) + " returned " +
                     std::to_string(rc), r);
        return;
    }
    PendingWrite p;
    p.device = &d;
    p.function = code == 206 ? 6 : 16;
    p.address = words[0];
    p.what = what;
    // Past the port's own reply timeout, so its verdict comes first.
    p.timeoutMs = d.cfg.replyTimeoutMs();
    p.deadline = Clock::now() + std::chrono::milliseconds(p.timeoutMs + kReportGraceMs);
    pending_.push_back(p);
}

void Host::commandResult(Device& d) {
    bool known = false;
    const int outcome = queryOutcome(d, known);
    const char* meaning = !known          ? "not reported"
                          : outcome == 1  ? "confirmed"
                          : outcome == 3  ? "not confirmed"
                          : outcome == -1 ? "none: no write yet, still waiting, or no reply"
                                          : "unknown";
    Json::Value j;
    j["event"] = "last-write";
    if (known) j["outcome"] = outcome;
    j["result"] = meaning;
    note(&d, "last write outcome: " + (known ? std::to_string(outcome) : std::string("?")) + " (" +
                 meaning + ")",
         j);
}

void Host::commandSnapshot(Device& d) {
    std::vector<char> buf(512);
    int outLength = 0;
    int rc = d.dev->DeviceIoControl(801, nullptr, 0, buf.data(), static_cast<int>(buf.size()),
                                    outLength);
    if (rc == -1 && outLength > static_cast<int>(buf.size())) {
        buf.resize(static_cast<std::size_t>(outLength));
        rc = d.dev->DeviceIoControl(801, nullptr, 0, buf.data(), static_cast<int>(buf.size()),
                                    outLength);
    }
    if (rc != 0 || outLength < 0 || outLength > static_cast<int>(buf.size())) {
        note(&d, "snapshot not available (control 801 returned " + std::to_string(rc) + ")");
        return;
    }
    std::string text(buf.data(), static_cast<std::size_t>(outLength));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    Json::Value j;
    j["event"] = "snapshot";
    Json::Value parsed;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string errs;
    std::string shown = text.empty() ? std::string("(empty)") : text;
    if (reader->parse(text.data(), text.data() + text.size(), &parsed, &errs)) {
        j["snapshot"] = parsed;
        shown = Console::jsonLine(parsed);  // the names readable, not \u-escaped
    } else {
        j["raw"] = text;
    }
    note(&d, "snapshot: " + shown, j);
}

void Host::execute(const std::string& input) {
    std::istringstream words(input);
    std::vector<std::string> tok;
    for (std::string w; words >> w;) tok.push_back(w);
    if (tok.empty()) return;
    Device* target = current_;
    if (tok[0].size() > 1 && tok[0].back() == ':') {
        target = byName(tok[0].substr(0, tok[0].size() - 1));
        if (target == nullptr) {
            out_.text("no device " + tok[0].substr(0, tok[0].size() - 1) + " (try: devices)");
            return;
        }
        tok.erase(tok.begin());
        if (tok.empty()) return;
    }
    const std::string& cmd = tok[0];
    std::vector<uint16_t> values;
    auto numbers = [&](std::size_t from) {
        values.clear();
        for (std::size_t i = from; i < tok.size(); ++i) {
            uint16_t w = 0;
            if (!parseWord(tok[i], w)) {
                out_.text("'" + tok[i] + "' is not a 16-bit value (0 to 65535, or 0x hex)");
                return false;
            }
            values.push_back(w);
        }
        return true;
    };
    if (cmd == "help" || cmd == "?") {
        out_.text("commands (prefix with NAME: to address another device):\n"
                  "  write ADDR VALUE         write one register (control 206)\n"
                  "  writes ADDR V1 [V2 ...]  write consecutive registers (control 210)\n"
                  "  result                   the last write's outcome\n"
                  "  snapshot                 the latest readings as JSON (control 801)\n"
                  "  use NAME                 address this device from now on\n"
                  "  devices                  list the devices\n"
                  "  supply echo|wrong|silent how a simulated supply answers\n"
                  "  quit                     finish the rounds in progress and leave");
    } else if (cmd == "quit" || cmd == "exit") {
        quit_ = true;
    } else if (cmd == "devices") {
        for (auto& d : devices_)
            out_.text((d.get() == current_ ? "* " : "  ") + d->cfg.name + "  data id " +
                      std::to_string(d->cfg.dataId) + "  rounds " + std::to_string(d->rounds) +
                      "  port " + (d->cfg.serialPort().empty() ? "-" : d->cfg.serialPort()));
    } else if (cmd == "use" && tok.size() == 2) {
        Device* d = byName(tok[1]);
        if (d == nullptr) out_.text("no device " + tok[1] + " (try: devices)");
        else current_ = d;
    } else if (cmd == "write") {
        if (tok.size() != 3) return out_.text("usage: write ADDR VALUE");
        if (numbers(1)) commandWrite(*target, 206, values);
    } else if (cmd == "writes") {
        if (tok.size() < 3 || tok.size() > 2 + 123) return out_.text("usage: writes ADDR V1 [V2 ...] (at most 123 values)");
        if (numbers(1)) commandWrite(*target, 210, values);
    } else if (cmd == "result") {
        commandResult(*target);
    } else if (cmd == "snapshot") {
        commandSnapshot(*target);
    } else if (cmd == "supply" && tok.size() == 2) {
        SupplySimulator::Mode mode;
        if (!SupplySimulator::parseMode(tok[1], mode)) return out_.text("usage: supply echo|wrong|silent");
        if (!target->supply) return out_.text(target->cfg.name + " has no simulated supply");
        target->supply->setMode(mode);
        note(target, "supply now answers: " + tok[1]);
    } else {
        out_.text("unknown command '" + input + "' (try: help)");
    }
}

void Host::mainLoop() {
    const bool tty = ::isatty(0) != 0;
    while (!quit_) {
        pollfd fds[3] = {{g_signalRead, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}, {0, POLLIN, 0}};
        const int n = ::poll(fds, stdinOpen_ ? 3 : 2, pending_.empty() ? 500 : 25);
        if (n < 0 && errno != EINTR) break;
        if (n > 0 && fds[0].revents != 0) {
            char c;
            (void)!::read(g_signalRead, &c, 1);
            note(nullptr, std::string("stopping on ") + (c == SIGINT ? "SIGINT" : "SIGTERM") +
                              ": finishing the rounds in progress");
            break;
        }
        if (n > 0 && fds[1].revents != 0) {
            char drain[64];
            while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        if (n > 0 && stdinOpen_ && fds[2].revents != 0) {
            char buf[1024];
            const ssize_t r = ::read(0, buf, sizeof buf);
            if (r > 0) {
                stdinBuffer_.append(buf, static_cast<std::size_t>(r));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                // Ctrl-D at a terminal means quit; a closed pipe only ends the input.
                stdinOpen_ = false;
                if (tty) quit_ = true;
            }
            std::size_t nl;
            while ((nl = stdinBuffer_.find('\n')) != std::string::npos) {
                const std::string line = stdinBuffer_.substr(0, nl);
                stdinBuffer_.erase(0, nl + 1);
                execute(line);
            }
        }
        std::deque<std::string> queued;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queued.swap(queued_);
        }
        for (const auto& c : queued) {
            if (!out_.json()) out_.text(clockText() + " > " + c);
            execute(c);
        }
        checkPendingWrites();
        if (allDone() && pending_.empty()) break;
    }
}

void Host::stopPolling() {
    stopping_ = true;
    waitCv_.notify_all();
    // Rounds in progress finish and writes on their way get their verdict.
    const auto deadline = Clock::now() + std::chrono::milliseconds(opt_.stopGraceMs);
    while (!(allDone() && pending_.empty()) && Clock::now() < deadline) {
        pollfd fd{wakePipe_[0], POLLIN, 0};
        if (::poll(&fd, 1, 25) > 0) {
            char drain[64];
            while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        checkPendingWrites();
    }
    for (auto& d : devices_) {
        if (d->done.load()) {
            if (d->thread.joinable()) d->thread.join();
            continue;
        }
        out_.error("smd-host: device '" + d->cfg.name + "' did not finish its round within " +
                   std::to_string(opt_.stopGraceMs) + " ms; leaving without it");
        forcedExit_ = true;
    }
    for (const auto& p : pending_) note(p.device, p.what + ": no outcome before the end of the run");
    pending_.clear();
}

// The program as the user can type it: relative when under the working
// directory (build/smd-host), else absolute.
std::string programPathForHumans() {
    const std::string program = programDir() + "/smd-host";
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return program;
    const std::string prefix = std::string(cwd) + "/";
    return program.rfind(prefix, 0) == 0 ? program.substr(prefix.size()) : program;
}

void Host::summary() {
    if (!store_) return;
    char abs[PATH_MAX];
    const std::string where = ::realpath(dbPath_.c_str(), abs) != nullptr ? abs : dbPath_;
    const long long rounds = store_->countRounds("") - roundsBefore_;
    const long long transitions = store_->countTransitions("") - transitionsBefore_;
    Json::Value j;
    j["event"] = "history";
    j["database"] = where;
    j["rounds"] = static_cast<Json::Int64>(rounds);
    j["transitions"] = static_cast<Json::Int64>(transitions);
    out_.emit("history: " + std::to_string(rounds) + " records and " +
                  std::to_string(transitions) + " alarm transitions of this run stored in " +
                  where + "\n  look at it with: " + programPathForHumans() + " history --db " + where +
                  "   (--csv to export, --transitions for the alarms)",
              j);
}

void Host::teardown() {
    if (forcedExit_) return;
    if (http_) http_->stop();
    http_.reset();
    stopping_ = true;
    waitCv_.notify_all();
    for (auto& d : devices_)
        if (d->thread.joinable()) d->thread.join();
    // Ports closed first: their threads call into the devices.
    for (auto& d : devices_) {
        auto* sp = dynamic_cast<SMDSPDevice*>(d->dev.get());
        if (sp != nullptr) sp->ClosePort();
    }
    // Devices next, then what they used.
    for (auto& d : devices_) {
        {
            std::lock_guard<std::mutex> lock(devicesMutex_);
            byPointer_.erase(d->dev.get());
        }
        d->dev.reset();
    }
    if (observerInstalled_) smd::setHostObserver(nullptr);
    observerInstalled_ = false;
    board_.reset();
    for (auto& d : devices_) d->supply.reset();
    devices_.clear();
    providers_.clear();
    library_.reset();
    if (pluginOutput_) pluginOutput_->restore();
    pluginOutput_.reset();
    if (summarize_) summary();
    summarize_ = false;
    store_.reset();
    for (int& fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

int Host::run() {
    try {
        setup();
        startWeb();
        restore();
        startPolling();
    } catch (const std::exception& e) {
        out_.error(std::string("smd-host: ") + e.what());
        teardown();
        return 1;
    }
    mainLoop();
    stopPolling();
    if (forcedExit_) {
        // A device is stuck inside the plug-in: keep what is committed and go.
        if (pluginOutput_) pluginOutput_->restore();
        summary();
        if (store_) store_->close();
        std::_Exit(1);
    }
    summarize_ = true;
    teardown();
    return 0;
}

}  // namespace

std::string programDir() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

int runHost(const RunOptions& options) {
    Console console(options.json);
    int sigPipe[2];
    if (::pipe2(sigPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        console.error("smd-host: cannot make a pipe");
        return 1;
    }
    g_signalPipe = sigPipe[1];
    g_signalRead = sigPipe[0];
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int rc = 0;
    {
        Host host(options, console);
        rc = host.run();
    }
    ::close(sigPipe[0]);
    ::close(sigPipe[1]);
    return rc;
}

}  // namespace smdhost
