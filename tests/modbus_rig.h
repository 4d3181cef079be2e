// What the stand-in master's tests share: the driver with its outcome in
// view, its control calls, and a host that records each write's outcome.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <streambuf>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_observer.h"
#include "modbus_rtu.h"
#include "plor_sps.h"
#include "test_support.h"

namespace plortest {
namespace modbus {

using Bytes = std::vector<uint8_t>;

class Probe : public PLOR_SPS {
public:
    // The port thread calls into this object: stop it before the vtable
    // changes back to PLOR_SPS's.
    ~Probe() override { SMDSPDevice::ClosePort(); }
    int result() const { return write_result_.load(); }
    int baud() const { return baudRate_; }
};

// Drops what std::cout receives while alive; keeps nothing, so several
// threads may print at once.
class DiscardCout : private std::streambuf {
public:
    DiscardCout() : previous_(std::cout.rdbuf(this)) {}
    ~DiscardCout() override { std::cout.rdbuf(previous_); }

private:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    std::streambuf* previous_;
};

inline Bytes withCrc(Bytes b) {
    const uint16_t crc = smd::rtu::crc16(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(crc & 0xFF));
    b.push_back(static_cast<uint8_t>(crc >> 8));
    return b;
}

inline Bytes input(std::initializer_list<uint16_t> ws) {
    Bytes out(ws.size() * 2);
    size_t i = 0;
    for (uint16_t w : ws) std::memcpy(&out[2 * i++], &w, 2);
    return out;
}

inline int control(PLOR_SPS& dev, int code, const Bytes& in) {
    int len = 0;
    return dev.DeviceIoControl(code, in.data(), static_cast<int>(in.size()), nullptr, 0, len);
}

inline int query(PLOR_SPS& dev) {
    int32_t v = 0;
    int len = 0;
    dev.DeviceIoControl(1000, nullptr, 0, &v, 4, len);
    return v;
}

inline Json::Value hostSetting(const std::string& port, int timeoutMs, int slave = 1) {
    Json::Value doc;
    doc["hostSetting"]["serialPort"] = port;
    doc["hostSetting"]["slaveAddress"] = slave;
    doc["hostSetting"]["replyTimeoutMs"] = timeoutMs;
    return doc;
}

struct Outcome {
    int function = 0;
    int address = 0;
    int status = 0;
    bool delivered = false;
    int resultThen = 0;
};

class PortHost : public plortest::RecordingHost {
public:
    void onModbusReply(const SMDVDevice& dev, int function, int address, int status,
                       bool delivered) override {
        const auto* probe = dynamic_cast<const Probe*>(&dev);
        std::lock_guard<std::mutex> lock(m_);
        outcomes_.push_back({function, address, status, delivered, probe ? probe->result() : 0});
        cv_.notify_all();
    }
    void onModbusStray(const SMDVDevice&, unsigned int bytes) override {
        std::lock_guard<std::mutex> lock(m_);
        stray_ += bytes;
        cv_.notify_all();
    }
    // Waits for the n-th outcome and returns it.
    Outcome outcome(size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        if (!cv_.wait_for(lock, std::chrono::seconds(10), [&] { return outcomes_.size() >= n; })) {
            ADD_FAILURE() << "no outcome " << n;
            return Outcome{0, 0, 99, false, 0};
        }
        return outcomes_[n - 1];
    }
    bool waitStray(unsigned int bytes) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return stray_ >= bytes; });
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m_);
        return outcomes_.size();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Outcome> outcomes_;
    unsigned int stray_ = 0;
};

}  // namespace modbus
}  // namespace plortest
