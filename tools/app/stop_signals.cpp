#include "stop_signals.h"

#include <csignal>

#include <fcntl.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace smdhost {

namespace {

int g_signalPipe = -1;  // write end, for the handler
int g_signalRead = -1;
int g_reopenRead = -1;  // a signalfd for SIGHUP
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

}  // namespace

bool StopSignals::install() {
    // SIGHUP blocked before any thread exists, so every thread inherits
    // that and none has a sleep or a serial read cut short by a rotation.
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    if (::pthread_sigmask(SIG_BLOCK, &hup, nullptr) != 0) return false;
    g_reopenRead = ::signalfd(-1, &hup, SFD_CLOEXEC | SFD_NONBLOCK);
    int fds[2];
    if (g_reopenRead < 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    g_signalRead = fds[0];
    g_signalPipe = fds[1];
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

StopSignals::~StopSignals() {
    if (g_reopenRead >= 0) ::close(g_reopenRead);
    if (g_signalRead < 0) return;
    ::close(g_signalRead);
    ::close(g_signalPipe);
}

int StopSignals::fd() const { return g_signalRead; }

const char* StopSignals::take() {
    char c = 0;
    (void)!::read(g_signalRead, &c, 1);
    return c == SIGINT ? "SIGINT" : "SIGTERM";
}

int StopSignals::reopenFd() const { return g_reopenRead; }

void StopSignals::takeReopen() {
    signalfd_siginfo info;
    while (::read(g_reopenRead, &info, sizeof info) > 0) {
    }
}

}  // namespace smdhost
