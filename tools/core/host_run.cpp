#include "host.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "clock_text.h"
#include "freshness.h"
#include "record.h"

namespace smdhost {

namespace {
using Clock = std::chrono::steady_clock;
using Fatal = std::runtime_error;
}  // namespace

Host::Host(const HostOptions& opt, Output& out, EventSink& events)
    : opt_(opt), out_(out), events_(events) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw Fatal("cannot make a pipe");
}

Host::~Host() {
    if (!stuck_) release();
    for (int& fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

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

void Host::queue(const std::string& command) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.push_back(command);
    wake();
}

int Host::staleAfterMs(const DeviceConfig& cfg) const {
    return smdhost::staleAfterMs(opt_.staleAfterMs, cfg.staleAfterMs, cfg.pollIntervalMs);
}

void Host::load(const std::string& pluginPath, const std::vector<DeviceConfig>& devices) {
    library_.reset(new PluginLibrary(pluginPath));
    try {
        providers_ = library_->providers();
    } catch (const std::exception& e) {
        throw Fatal("get_providers of '" + pluginPath + "' failed: " + e.what());
    }
    if (providers_.empty()) throw Fatal("get_providers of '" + pluginPath + "' gave no provider");
    smd::setHostObserver(this);
    observerInstalled_ = true;
    devices_.create(devices, providers_, pluginPath);
}

void Host::restore(LastRun& last) {
    for (auto& d : devices_.all()) {
        {
            std::lock_guard<std::mutex> lock(d->alarmMutex);
            d->alarmActive = last.alarmStates(d->cfg.name);
        }
        if (opt_.restore) restoreRecord(*d, last);
    }
}

void Host::restoreRecord(Device& d, LastRun& last) {
    std::vector<unsigned char> image;
    if (!last.lastRecord(d.cfg.name, image)) return;
    Record r;
    const std::string from = decodeRecord(image.data(), image.size(), r) ? r.timeText() : "?";
    note(&d, "restoring the record of " + from + " from " + last.where());
    d.restoring = true;
    bool ok = false;
    try {
        ok = d.dev->LoadFromCache(image.data(), static_cast<int>(image.size()));
    } catch (const std::exception& e) {
        note(&d, std::string("LoadFromCache failed: ") + e.what());
    }
    d.restoring = false;
    if (!ok) note(&d, "LoadFromCache did not take the stored record");
}

void Host::refreshed(Device& d, bool completed) {
    // d.idle: the refresh before completed no round (this thread only).
    events_.onEvent(RefreshEvent{d.cfg.name, completed, completed == d.idle});
    d.idle = !completed;
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
        refreshed(d, completed);
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
    for (auto& d : devices_.all()) d->freshness.start(Clock::now(), staleAfterMs(d->cfg));
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

void Host::readInput(CommandRunner& commands, bool tty) {
    char buf[1024];
    const ssize_t r = ::read(0, buf, sizeof buf);
    if (r > 0) {
        stdinBuffer_.append(buf, static_cast<std::size_t>(r));
    } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        // Ctrl-D at a terminal means quit; a closed pipe only ends the input.
        stdinOpen_ = false;
        if (tty) commands.quit();
    }
    std::size_t nl;
    while ((nl = stdinBuffer_.find('\n')) != std::string::npos) {
        const std::string line = stdinBuffer_.substr(0, nl);
        stdinBuffer_.erase(0, nl + 1);
        commands.execute(line);
    }
}

void Host::runQueued(CommandRunner& commands) {
    std::deque<std::string> queued;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        queued.swap(queued_);
    }
    for (const auto& c : queued) {
        if (!out_.json()) out_.text(clockText() + " > " + c);
        commands.execute(c);
    }
}

void Host::run(CommandRunner& commands, const StopRequest& stop) {
    const bool tty = ::isatty(0) != 0;
    int nextLook = 0;
    while (!commands.quitAsked()) {
        pollfd fds[3] = {{stop.fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}, {0, POLLIN, 0}};
        const int n = ::poll(fds, stdinOpen_ ? 3 : 2, writes_.idle() ? nextLook : 25);
        if (n < 0 && errno != EINTR) break;
        if (n > 0 && fds[0].revents != 0) {
            note(nullptr, "stopping on " + stop.take() + ": finishing the rounds in progress");
            break;
        }
        if (n > 0 && fds[1].revents != 0) drainWake();
        if (n > 0 && stdinOpen_ && fds[2].revents != 0) readInput(commands, tty);
        runQueued(commands);
        writes_.check();
        nextLook = checkFreshness();
        if (allDone() && writes_.idle()) break;
    }
}

bool Host::stop() {
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
        stuck_ = true;
    }
    writes_.abandon();
    return !stuck_;
}

void Host::release() {
    if (stuck_) return;
    stopping_ = true;
    waitCv_.notify_all();
    for (auto& d : devices_.all())
        if (d->thread.joinable()) d->thread.join();
    devices_.close();
    if (observerInstalled_) smd::setHostObserver(nullptr);
    observerInstalled_ = false;
    devices_.clear();
    providers_.clear();
    library_.reset();
}

}  // namespace smdhost
