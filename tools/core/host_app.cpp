#include "host.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include "freshness.h"
#include "record.h"

namespace smdhost {

namespace {

using Clock = std::chrono::steady_clock;
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

}  // namespace

void Host::note(Device* d, const std::string& text, Json::Value extra) {
    events_.onEvent(NoteEvent{d != nullptr ? d->cfg.name : std::string(), text, std::move(extra)});
}

void Host::wake() {
    const char c = 'w';
    (void)!::write(wakePipe_[1], &c, 1);
}

void Host::drainWake() {
    char drain[64];
    while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
    }
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
    store_->checkSound();
    roundsBefore_ = store_->countRounds("");
    transitionsBefore_ = store_->countTransitions("");
    storeWriter_.reset(new StoreWriter(*store_));
    storeQueue_.reset(new StoreQueue(*storeWriter_, [this](const std::string& line) {
        out_.error(line);
    }));
    historySink_.reset(new HistorySink(*storeQueue_));
    events_.add(*historySink_);
    events_.add(printer_);
    events_.add(web_);

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
    devices_.create(site_.devices, providers_, pluginPath_, simulate_);
    startWeb();
}

void Host::startWeb() {
    for (const auto& d : devices_.all()) {
        web_.addDevice(d->cfg.name, d->cfg.dataId, d->cfg.pollIntervalMs);
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
    note(nullptr, "dashboard at http://" + host + ":" + std::to_string(http_->port()) +
                      "/  (metrics at /metrics)", j);
}

// The alarms left active by the last run, with when they were raised as far
// as the recent transitions tell.
void Host::restoreWebAlarms(Device& d) {
    const auto recent = store_->transitions(d.cfg.name, 200);
    std::lock_guard<std::mutex> lock(d.alarmMutex);
    for (const auto& a : d.alarmActive) {
        if (!a.second || alarmIndex(a.first) < 0) continue;  // the alarms, not STALE
        std::string name = a.first;
        long long when = 0;
        for (const auto& t : recent)
            if (t.signalId == a.first && t.raised) name = t.name, when = t.t;
        web_.restoreAlarm(d.cfg.name, a.first, name, static_cast<double>(when));
    }
}

void Host::restore() {
    for (auto& d : devices_.all()) {
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

void Host::poll(Device& d) {
    while (!stopping_.load()) {
        const int before = d.rounds.load();
        try {
            d.dev->RefreshStatus();
        } catch (const std::exception& e) {
            note(&d, std::string("refresh failed: ") + e.what());
        }
        const bool completed = d.rounds.load() != before;
        if (!completed) web_.abandoned(d.cfg.name);  // every one, not only the first
        if (completed == d.idle) events_.onEvent(NoRoundEvent{d.cfg.name, completed});
        d.idle = !completed;
        if (opt_.rounds > 0 && d.rounds.load() >= opt_.rounds) break;
        // An input that is missing does not turn into a busy loop.
        const int pause = completed ? d.cfg.pollIntervalMs
                                    : std::max(d.cfg.pollIntervalMs, kMinIdlePauseMs);
        std::unique_lock<std::mutex> lock(waitMutex_);
        waitCv_.wait_for(lock, std::chrono::milliseconds(pause),
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
    for (auto& d : devices_.all()) {
        const int after = opt_.staleAfterMs > 0   ? opt_.staleAfterMs
                          : d->cfg.staleAfterMs > 0 ? d->cfg.staleAfterMs
                                                    : defaultStaleAfterMs(d->cfg.pollIntervalMs);
        d->freshness.start(Clock::now(), after);
    }
    for (auto& d : devices_.all()) {
        Device* raw = d.get();
        d->thread = std::thread([this, raw] { poll(*raw); });
    }
}

// Says STALE for each device past its stale time; the next look is due
// in the returned milliseconds.
int Host::checkFreshness() {
    const auto now = Clock::now();
    auto next = now + std::chrono::milliseconds(500);
    for (auto& d : devices_.all()) {
        d->freshness.check(now, [&](double age) {
            events_.onEvent(StaleEvent{d->cfg.name, d->cfg.dataId, stampText(), true, age});
        });
        if (!d->freshness.stale()) next = std::min(next, d->freshness.deadline());
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<long long>(ms + 1, 25));
}

bool Host::allDone() {
    for (const auto& d : devices_.all())
        if (!d->done.load()) return false;
    return true;
}

void Host::mainLoop() {
    const bool tty = ::isatty(0) != 0;
    int nextLook = 0;
    while (!commands_.quitAsked()) {
        pollfd fds[3] = {{signals_.fd(), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}, {0, POLLIN, 0}};
        const int n = ::poll(fds, stdinOpen_ ? 3 : 2, writes_.idle() ? nextLook : 25);
        if (n < 0 && errno != EINTR) break;
        if (n > 0 && fds[0].revents != 0) {
            note(nullptr, std::string("stopping on ") + signals_.take() +
                              ": finishing the rounds in progress");
            break;
        }
        if (n > 0 && fds[1].revents != 0) drainWake();
        if (n > 0 && stdinOpen_ && fds[2].revents != 0) {
            char buf[1024];
            const ssize_t r = ::read(0, buf, sizeof buf);
            if (r > 0) {
                stdinBuffer_.append(buf, static_cast<std::size_t>(r));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                // Ctrl-D at a terminal means quit; a closed pipe only ends the input.
                stdinOpen_ = false;
                if (tty) commands_.quit();
            }
            std::size_t nl;
            while ((nl = stdinBuffer_.find('\n')) != std::string::npos) {
                const std::string line = stdinBuffer_.substr(0, nl);
                stdinBuffer_.erase(0, nl + 1);
                commands_.execute(line);
            }
        }
        std::deque<std::string> queued;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queued.swap(queued_);
        }
        for (const auto& c : queued) {
            if (!out_.json()) out_.text(clockText() + " > " + c);
            commands_.execute(c);
        }
        writes_.check();
        nextLook = checkFreshness();
        if (allDone() && writes_.idle()) break;
    }
}

void Host::stopPolling() {
    stopping_ = true;
    waitCv_.notify_all();
    // Rounds in progress finish and writes on their way get their verdict.
    const auto deadline = Clock::now() + std::chrono::milliseconds(opt_.stopGraceMs);
    while (!(allDone() && writes_.idle()) && Clock::now() < deadline) {
        pollfd fd{wakePipe_[0], POLLIN, 0};
        if (::poll(&fd, 1, 25) > 0) drainWake();
        writes_.check();
    }
    for (auto& d : devices_.all()) {
        if (d->done.load()) {
            if (d->thread.joinable()) d->thread.join();
            continue;
        }
        out_.error("smd-host: device '" + d->cfg.name + "' did not finish its round within " +
                   std::to_string(opt_.stopGraceMs) + " ms" +
                   (d->freshness.stale() ? " (it is STALE)" : "") + "; leaving without it");
        forcedExit_ = true;
    }
    writes_.abandon();
}

// What the history still keeps gets a last chance; what it never took is said.
void Host::finishStoring() {
    if (!storeQueue_ || storingFinished_) return;
    storingFinished_ = true;
    unstored_ = storeQueue_->finish();
    if (unstored_ > 0)
        out_.error("smd-host: " + std::to_string(unstored_) +
                   " rounds and transitions of this run could not be stored in " + dbPath_);
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
    for (auto& d : devices_.all())
        if (d->thread.joinable()) d->thread.join();
    devices_.close();
    if (observerInstalled_) smd::setHostObserver(nullptr);
    observerInstalled_ = false;
    board_.reset();
    devices_.clear();
    providers_.clear();
    library_.reset();
    if (pluginOutput_) pluginOutput_->restore();
    pluginOutput_.reset();
    finishStoring();
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
        restore();
        startPolling();
    } catch (const std::system_error& e) {
        // Only thread creation throws this here: out of threads or memory.
        out_.error(std::string("smd-host: cannot start a thread: ") + e.what());
        teardown();
        return 1;
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
        finishStoring();
        summary();
        if (store_) store_->close();
        std::_Exit(1);
    }
    summarize_ = true;
    teardown();
    return unstored_ > 0 ? 1 : 0;
}

int runHost(const RunOptions& options) {
    Console console(options.json);
    StopSignals signals;
    if (!signals.install()) {
        console.error("smd-host: cannot make a pipe");
        return 1;
    }
    Host host(options, console, signals);
    return host.run();
}

}  // namespace smdhost
