#include "process.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace smdtest {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool waitForFile(const std::string& path, const std::string& text, int count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (countOf(slurp(path), text) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

Process::Process(const std::vector<std::string>& argv, const std::string& dir,
                 const std::string& input)
    : outPath_(dir + "/stdout.txt"), errPath_(dir + "/stderr.txt") {
    const std::string inPath = input.empty() ? std::string("/dev/null") : dir + "/stdin.txt";
    if (!input.empty()) std::ofstream(inPath, std::ios::binary) << input;
    pid_ = ::fork();
    if (pid_ == 0) {
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
}

Process::~Process() {
    if (status_ == -2 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int Process::wait(int timeoutMs) {
    if (status_ != -2) return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Process::signal(int sig) { ::kill(pid_, sig); }
std::string Process::out() const { return slurp(outPath_); }
std::string Process::err() const { return slurp(errPath_); }

bool Process::waitForOutput(const std::string& text, int count, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (countOf(out(), text) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int countOf(const std::string& text, const std::string& what) {
    return static_cast<int>(linesWith(text, what).size());
}

std::vector<std::string> linesWith(const std::string& text, const std::string& what) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.find(what) != std::string::npos) lines.push_back(l);
    return lines;
}

}  // namespace smdtest
