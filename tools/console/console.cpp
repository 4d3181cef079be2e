#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace smdhost {

namespace {
void writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

int openAppend(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// The plug-in's own lines, set off from the host's in text mode.
std::string prefixed(const Console& console, const std::string& line) {
    return console.json() ? line : "    plor_sps| " + line;
}

}  // namespace

std::string Console::jsonLine(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 9;  // a float has no more
    return Json::writeString(b, v);
}

void Console::emit(const std::string& text, const Json::Value& object) {
    write(json_ ? jsonLine(object) : text);
}

void Console::text(const std::string& line, const char* kind) {
    if (!json_) return write(line);
    Json::Value j;
    j["event"] = kind;
    j["text"] = line;
    write(jsonLine(j));
}

void Console::error(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string l = line + "\n";
    writeAll(2, l.data(), l.size());
}

void Console::setOutputFd(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = fd;
}

bool Console::openLog(const std::string& path, std::string& why) {
    logPath_ = path;
    return reopenLog(why);
}

bool Console::reopenLog(std::string& why) {
    if (logPath_.empty()) return true;
    const int fd = openAppend(logPath_);
    if (fd < 0) {
        why = "cannot open log '" + logPath_ + "': " + std::strerror(errno);
        return false;
    }
    // dup3 swaps the file under the same descriptors, so no writer ever
    // sees a closed one.
    std::lock_guard<std::mutex> lock(mutex_);
    ::dup3(fd, fd_, fd_ == 1 ? 0 : O_CLOEXEC);
    ::dup3(fd, 2, 0);
    ::close(fd);
    return true;
}

void Console::write(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string l = line + "\n";
    writeAll(fd_, l.data(), l.size());
}

PluginOutput::PluginOutput(Console& console, Mode mode, const std::string& path)
    : console_(console), mode_(mode), path_(path) {
    if (mode_ == file) {
        logFd_ = openAppend(path);
        if (logFd_ < 0)
            throw std::runtime_error("cannot open plug-in log '" + path + "': " +
                                     std::strerror(errno));
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    readFd_ = fds[0];
    // The pump first: when no thread can be had, standard output stays as it was.
    try {
        thread_ = std::thread([this] { pump(); });
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        if (logFd_ >= 0) ::close(logFd_);
        throw;
    }
    std::cout.flush();
    savedStdout_ = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    ::dup2(fds[1], 1);
    ::close(fds[1]);
    console_.setOutputFd(savedStdout_);
}

PluginOutput::~PluginOutput() { restore(); }

void PluginOutput::restore() {
    if (savedStdout_ < 0) return;
    std::cout.flush();
    // Closing the last write end lets the pump see the end of the stream.
    ::dup2(savedStdout_, 1);
    if (thread_.joinable()) thread_.join();
    console_.setOutputFd(1);
    ::close(savedStdout_);
    ::close(readFd_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (logFd_ >= 0) ::close(logFd_);
    savedStdout_ = readFd_ = logFd_ = -1;
}

bool PluginOutput::reopen(std::string& why) {
    if (mode_ != file) return true;
    const int fd = openAppend(path_);
    if (fd < 0) {
        why = "cannot open plug-in log '" + path_ + "': " + std::strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (logFd_ >= 0) ::dup3(fd, logFd_, O_CLOEXEC);
    ::close(fd);
    return true;
}

void PluginOutput::pump() {
    std::string pending;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(readFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (mode_ == file) {
            writeAll(logFd_, buf, static_cast<std::size_t>(n));
            continue;
        }
        if (mode_ == drop) continue;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            console_.text(prefixed(console_, pending.substr(0, nl)), "plugin");
            pending.erase(0, nl + 1);
        }
    }
    if (mode_ == show && !pending.empty()) console_.text(prefixed(console_, pending), "plugin");
}

}  // namespace smdhost
