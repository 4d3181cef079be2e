// One run of smd-host wired together: the history, the console, the web
// front and the simulation around the host, each handed what it needs, and
// taken down in the order their threads and files need.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

#include "clock_text.h"
#include "commands.h"
#include "console.h"
#include "event_printer.h"
#include "history_sink.h"
#include "history_store.h"
#include "history_writer.h"
#include "host.h"
#include "host_app.h"
#include "log_reopener.h"
#include "scenario.h"
#include "simulation.h"
#include "site_state.h"
#include "stop_signals.h"

namespace smdhost {

namespace {

using Fatal = std::runtime_error;

// The program as the user can type it: relative when under the working
// directory (build/smd-host), else absolute.
std::string programPathForHumans() {
    const std::string program = programDir() + "/smd-host";
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return program;
    const std::string prefix = std::string(cwd) + "/";
    return program.rfind(prefix, 0) == 0 ? program.substr(prefix.size()) : program;
}

HostOptions hostOptions(const RunOptions& o) {
    HostOptions h;
    h.rounds = o.rounds;
    h.restore = o.restore;
    h.stopGraceMs = o.stopGraceMs;
    h.staleAfterMs = o.staleAfterMs;
    return h;
}

// What the last run left, as the history keeps it.
class StoredRun : public LastRun {
public:
    StoredRun(HistoryStore& store, std::string where) : store_(store), where_(std::move(where)) {}
    std::map<std::string, bool> alarmStates(const std::string& device) override {
        return store_.alarmStates(device);
    }
    bool lastRecord(const std::string& device, std::vector<unsigned char>& image) override {
        return store_.lastRecord(device, image);
    }
    std::string where() const override { return where_; }

private:
    HistoryStore& store_;
    std::string where_;
};

class Run {
public:
    Run(const RunOptions& opt, Console& console, StopSignals& signals)
        : opt_(opt), out_(console), signals_(signals), printer_(console), simulation_(events_) {}
    ~Run() { teardown(); }
    int run();

private:
    void configure();
    void openHistory();
    void start();
    void startWeb();
    void restoreWebAlarms();
    void finishStoring();
    void summary();
    void teardown();
    void reopenLogs();
    void removeCreatedDatabase();

    RunOptions opt_;
    Console& out_;
    StopSignals& signals_;
    SiteConfig site_;
    Scenario scenario_;
    std::string dbPath_, pluginPath_;
    bool dbCreated_ = false;  // by this run: a start that fails takes it away again

    // Where events go: the history first, then the console, then the web.
    EventFanout events_;
    EventPrinter printer_;
    SiteState web_;
    std::unique_ptr<HistoryStore> store_;
    std::unique_ptr<StoreWriter> storeWriter_;
    std::unique_ptr<HistoryWriter> historyWriter_;
    std::unique_ptr<HistorySink> historySink_;
    std::size_t unstored_ = 0;  // rows the history never took
    bool storingFinished_ = false;

    Simulation simulation_;
    std::unique_ptr<PluginOutput> pluginOutput_;
    std::unique_ptr<Host> host_;
    std::unique_ptr<Commands> commands_;
    std::unique_ptr<WebServer> http_;
    std::unique_ptr<LogReopener> reopener_;
    bool summarize_ = false;
};

void Run::configure() {
    if (opt_.configPath.empty()) {
        if (opt_.scenario.empty())
            throw Fatal("no site configuration: give --config FILE, or --simulate SCENARIO to "
                        "run the default simulated site");
        site_ = parseSiteConfig(defaultSiteConfigText(), "(default site)");
    } else {
        site_ = loadSiteConfig(opt_.configPath);
    }
    if (!opt_.scenario.empty()) scenario_ = loadScenario(opt_.scenario, opt_.scenarioDirs);
    pluginPath_ = !opt_.pluginPath.empty() ? opt_.pluginPath
                  : !site_.plugin.empty()  ? site_.plugin
                                           : programDir() + "/plor_sps.so";
    dbPath_ = !opt_.dbPath.empty() ? opt_.dbPath : !site_.database.empty() ? site_.database
                                                                             : "smd-host.db";
}

void Run::openHistory() {
    dbCreated_ = ::access(dbPath_.c_str(), F_OK) != 0 && errno == ENOENT;
    store_.reset(new HistoryStore(dbPath_, false));
    Retention keep;
    keep.raw = opt_.keepRawDays * 86400LL;
    store_->setRetention(keep);
    const int budgetMB = opt_.maxDbMB >= 0 ? opt_.maxDbMB : site_.maxDatabaseMB;
    store_->setBudget(budgetMB * 1024LL * 1024);
    store_->checkSound();
    const UncleanEnd last = store_->beginRun(stampText());
    if (last.found)
        out_.error("smd-host: the last run on " + dbPath_ +
                   " ended without a clean stop (killed, crashed or power cut): rounds after " +
                   last.lastText + " may be missing" +
                   (last.lost > 0 ? "; " + std::to_string(last.lost) + " rows kept in memory were lost"
                                  : std::string()));
    storeWriter_.reset(new StoreWriter(*store_));
    historyWriter_.reset(new HistoryWriter(
        *storeWriter_, [this](const std::string& line) { out_.error(line); }, HistoryWriter::kCapacity,
        std::chrono::milliseconds(1000), std::chrono::milliseconds(opt_.commitEveryMs)));
    historySink_.reset(new HistorySink(*historyWriter_));
}

void Run::start() {
    configure();
    openHistory();
    events_.add(*historySink_);
    events_.add(printer_);
    events_.add(web_);
    host_.reset(new Host(hostOptions(opt_), out_, events_));
    const PluginOutput::Mode mode = !opt_.pluginLog.empty() ? PluginOutput::file
                                    : opt_.verbose          ? PluginOutput::show
                                                            : PluginOutput::drop;
    pluginOutput_.reset(new PluginOutput(out_, mode, opt_.pluginLog));
    if (!opt_.scenario.empty()) simulation_.addSupplies(site_.devices);
    host_->load(pluginPath_, site_.devices);
    commands_.reset(new Commands(host_->devices(), host_->writes(), out_, events_));
    commands_->add(ExtraCommand{
        "supply", std::string(Simulation::kSupplyUsage) + " how a simulated supply answers",
        [this](Device& target, const std::vector<std::string>& args) {
            return simulation_.supplyCommand(target.cfg.name, args, out_);
        }});
    startWeb();
    restoreWebAlarms();
    StoredRun last(*store_, dbPath_);
    host_->restore(last);
    if (!opt_.scenario.empty())
        simulation_.startBoard(scenario_, [this](const std::string& c) { host_->queue(c); });
    host_->startPolling();
}

void Run::startWeb() {
    for (const auto& d : host_->devices().all()) {
        web_.addDevice(d->cfg.name, d->cfg.dataId, d->cfg.pollIntervalMs,
                       host_->staleAfterMs(d->cfg) / 1000.0);
        web_.setStale(d->cfg.name, false);  // from here the host's STALE and FRESH decide
    }
    if (!opt_.http) return;
    try {
        http_ = startWebServer(web_, store_.get(), opt_.httpOptions);
    } catch (const std::exception& e) {
        throw Fatal(std::string("--http: ") + e.what());
    }
    const std::string& h = opt_.httpOptions.host;
    const std::string host = h.find(':') != std::string::npos ? "[" + h + "]" : h;
    Json::Value j;
    j["event"] = "http";
    j["port"] = http_->port();
    events_.onEvent(NoteEvent{std::string(),
                              "dashboard at http://" + host + ":" + std::to_string(http_->port()) +
                                  "/  (metrics at /metrics)",
                              j});
}

// The alarms the last run left active, with when they were raised.
void Run::restoreWebAlarms() {
    for (const auto& d : host_->devices().all())
        for (const auto& a : store_->raisedAlarms(d->cfg.name))
            if (alarmIndex(a.signalId) >= 0)  // the alarms, not STALE
                web_.restoreAlarm(d->cfg.name, a.signalId, a.name, static_cast<double>(a.t));
}

// What the history still keeps gets a last chance; what it never took is said.
void Run::finishStoring() {
    if (!historyWriter_ || storingFinished_) return;
    storingFinished_ = true;
    unstored_ = historyWriter_->finish();
    try {
        store_->endRun();
    } catch (const std::exception&) {
        // Not marked: the next start says this run may have lost rounds, as it did.
    }
    if (unstored_ > 0)
        out_.error("smd-host: " + std::to_string(unstored_) +
                   " rounds and transitions of this run could not be stored in " + dbPath_);
}

void Run::summary() {
    if (!store_) return;
    char abs[PATH_MAX];
    const std::string where = ::realpath(dbPath_.c_str(), abs) != nullptr ? abs : dbPath_;
    const long long rounds = store_->storedRounds();
    const long long transitions = store_->storedTransitions();
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

void Run::reopenLogs() {
    signals_.takeReopen();
    if (opt_.logPath.empty() && opt_.pluginLog.empty()) {
        out_.error("smd-host: SIGHUP: no log file to reopen (--log, --plugin-log)");
        return;
    }
    std::string why;
    bool reopened = true;
    if (!out_.reopenLog(why)) {
        out_.error("smd-host: " + why + "; the old file goes on");
        reopened = false;
    }
    if (pluginOutput_ && !pluginOutput_->reopen(why)) {
        out_.error("smd-host: " + why + "; the old file goes on");
        reopened = false;
    }
    if (!reopened) return;
    Json::Value j;
    j["event"] = "reopened";
    events_.onEvent(NoteEvent{std::string(), "logs reopened on SIGHUP", j});
}

// SQLite's side files go with it.
void Run::removeCreatedDatabase() {
    if (!dbCreated_) return;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        ::unlink((dbPath_ + suffix).c_str());
}

void Run::teardown() {
    reopener_.reset();
    if (http_) http_->stop();
    http_.reset();
    if (host_) host_->release();
    simulation_.stop();
    if (pluginOutput_) pluginOutput_->restore();
    pluginOutput_.reset();
    finishStoring();
    if (summarize_) summary();
    summarize_ = false;
    commands_.reset();
    host_.reset();
    store_.reset();
}

int Run::run() {
    try {
        start();
    } catch (const std::system_error& e) {
        // Only thread creation throws this here: out of threads or memory.
        out_.error(std::string("smd-host: cannot start a thread: ") + e.what());
        teardown();
        removeCreatedDatabase();
        return 1;
    } catch (const std::exception& e) {
        out_.error(std::string("smd-host: ") + e.what());
        teardown();
        removeCreatedDatabase();
        return 1;
    }
    try {
        reopener_.reset(new LogReopener(signals_.reopenFd(), [this] { reopenLogs(); }));
    } catch (const std::exception& e) {
        out_.error(std::string("smd-host: SIGHUP will not reopen the logs: ") + e.what());
    }
    host_->run(*commands_, StopRequest{signals_.fd(), [this] { return std::string(signals_.take()); }});
    if (!host_->stop()) {
        // A device is stuck inside the plug-in: keep what is committed and go.
        if (pluginOutput_) pluginOutput_->restore();
        finishStoring();
        summary();
        if (store_) store_->close();
        std::_Exit(1);
    }
    summarize_ = true;
    teardown();
    return unstored_ > 0 ? 1 : 0;
}

}  // namespace

int runHost(const RunOptions& options) {
    Console console(options.json);
    StopSignals signals;
    if (!signals.install()) {
        console.error("smd-host: cannot make a pipe");
        return 1;
    }
    std::string why;
    if (!options.logPath.empty() && !console.openLog(options.logPath, why)) {
        console.error("smd-host: " + why);
        return 1;
    }
    Run run(options, console, signals);
    return run.run();
}

}  // namespace smdhost
