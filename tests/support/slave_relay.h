// tests/modbus_relay.py (a pymodbus RTU slave for addresses 1 and 2 behind
// a relay that misbehaves on cue) as a child process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace plortest {

// tests/modbus_relay.py as a child, spoken to a line at a time.
class SlaveRelay {
public:
    SlaveRelay() {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::string python = "/usr/bin/python3";
        std::string script = std::string(PLOR_SOURCE_DIR) + "/tests/modbus_relay.py";
        char* argv[] = {&python[0], &script[0], nullptr};
        if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
        port_ = line(30000);  // a cold interpreter on a busy machine
    }
    ~SlaveRelay() {
        ::close(to_);  // end of input ends the relay
        pollfd p{from_, POLLIN, 0};
        char c;
        bool ended = false;
        while (!ended && ::poll(&p, 1, 5000) > 0) ended = ::read(from_, &c, 1) != 1;
        if (pid_ > 0 && !ended) ::kill(pid_, SIGKILL);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
        ::close(from_);
    }
    const std::string& port() const { return port_; }
    std::string ask(const std::string& command) {
        const std::string text = command + "\n";
        if (::write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
        return line(10000);
    }

private:
    // One line of output; empty at its end or after timeoutMs.
    std::string line(int timeoutMs) {
        std::string text;
        pollfd p{from_, POLLIN, 0};
        char c;
        while (::poll(&p, 1, timeoutMs) > 0 && ::read(from_, &c, 1) == 1 && c != '\n') text += c;
        return text;
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string port_;
};

}  // namespace plortest
