#include "test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>

namespace plortest {

void RecordingHost::add(HostCall call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
}

std::vector<HostCall> RecordingHost::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<HostCall> RecordingHost::callsOf(const std::string& what) const {
    std::vector<HostCall> out;
    for (const auto& c : calls()) {
        if (c.what == what) out.push_back(c);
    }
    return out;
}

void RecordingHost::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

void RecordingHost::onSendSP(const SMDVDevice&, int code, const unsigned char* data,
                             unsigned int length, bool) {
    HostCall c;
    c.what = "SendSP";
    c.code = code;
    c.image.assign(data, data + length);
    add(std::move(c));
}

void RecordingHost::onReset(const SMDVDevice&) {
    HostCall c;
    c.what = "Reset";
    add(std::move(c));
}

void RecordingHost::onCheckThresholdBool(const SMDVDevice&, int kind, const std::string& signalId,
                                         const std::string& alarmId, const std::string& name,
                                         const std::string& valueText, bool active,
                                         unsigned short level) {
    HostCall c;
    c.what = "Check";
    c.code = kind;
    c.signalId = signalId;
    c.alarmId = alarmId;
    c.name = name;
    c.valueText = valueText;
    c.active = active;
    c.address = level;
    add(std::move(c));
}

bool RecordingHost::onBatchCheckThreshold(const SMDVDevice&, const std::vector<rule_value>& rules) {
    HostCall c;
    c.what = "Batch";
    c.code = static_cast<int>(rules.size());
    add(std::move(c));
    return batchResult;
}

void RecordingHost::onSaveDeviceHistory(const SMDVDevice&, const unsigned char* data,
                                        unsigned int length) {
    HostCall c;
    c.what = "History";
    c.image.assign(data, data + length);
    add(std::move(c));
}

int RecordingHost::onDeviceIoControl(const SMDVDevice&, int code, const void*, int, void*, int,
                                     int&) {
    HostCall c;
    c.what = "IoControl";
    c.code = code;
    add(std::move(c));
    return ioControlResult;
}

void RecordingHost::onOpenPort(const SMDVDevice&, const std::string& port, bool ok) {
    HostCall c;
    c.what = "OpenPort";
    c.name = port;
    c.active = ok;
    add(std::move(c));
}

void RecordingHost::onModbusWrite(const SMDVDevice&, int function, int address,
                                  const std::vector<uint16_t>& values) {
    HostCall c;
    c.what = "ModbusWrite";
    c.code = function;
    c.address = address;
    c.words = values;
    add(std::move(c));
}

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& text) const {
    const std::string path = file(name);
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error("create " + path + ": " + std::strerror(errno));
    const bool complete =
        text.empty() || ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!complete) throw std::runtime_error("write " + path + " failed");
}

CoutCapture::CoutCapture() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
CoutCapture::~CoutCapture() { std::cout.rdbuf(previous_); }

std::vector<std::string> CoutCapture::lines() const {
    std::vector<std::string> out;
    std::istringstream in(buffer_.str());
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::string hex(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    std::string out;
    char buf[4];
    for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (!out.empty()) out += ' ';
        out += buf;
    }
    return out;
}

}  // namespace plortest
