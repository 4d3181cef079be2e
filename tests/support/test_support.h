// Shared test helpers: a recording host, per-test temporary directories and
// a capture of standard output.
#pragma once

#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host_observer.h"

namespace plortest {

// Everything the device handed the host, in call order.
struct HostCall {
    std::string what;               // "SendSP", "Reset", "Check", "Batch", "History", ...
    int code = 0;                   // SendSP code, Modbus function, control code
    std::vector<uint8_t> image;     // SendSP / History bytes
    std::string signalId, alarmId, name, valueText;
    bool active = false;
    int address = 0;
    std::vector<uint16_t> words;
};

class RecordingHost : public smd::HostObserver {
public:
    RecordingHost() { smd::setHostObserver(this); }
    ~RecordingHost() override { smd::setHostObserver(nullptr); }

    std::vector<HostCall> calls() const;
    std::vector<HostCall> callsOf(const std::string& what) const;
    void clear();

    bool batchResult = false;
    int ioControlResult = 0;

    void onSendSP(const SMDVDevice&, int code, const unsigned char* data, unsigned int length,
                  bool) override;
    void onReset(const SMDVDevice&) override;
    void onCheckThresholdBool(const SMDVDevice&, int kind, const std::string& signalId,
                              const std::string& alarmId, const std::string& name,
                              const std::string& valueText, bool active,
                              unsigned short level) override;
    bool onBatchCheckThreshold(const SMDVDevice&, const std::vector<rule_value>& rules) override;
    void onSaveDeviceHistory(const SMDVDevice&, const unsigned char* data,
                             unsigned int length) override;
    int onDeviceIoControl(const SMDVDevice&, int code, const void* input, int inputLength,
                          void* output, int outputCapacity, int& outputLength) override;
    void onOpenPort(const SMDVDevice&, const std::string& port, bool ok) override;
    void onModbusWrite(const SMDVDevice&, int function, int address,
                       const std::vector<uint16_t>& values) override;

private:
    void add(HostCall call);
    mutable std::mutex mutex_;
    std::vector<HostCall> calls_;
};

// A fresh directory under $TMPDIR (or /tmp), named <prefix>-XXXXXX and
// removed afterwards.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "plor-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Replaces the file rather than truncating it: truncating one that holds
    // data makes ext4 flush it on close, which slows every caller to disk speed.
    void write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// Captures what std::cout receives while alive.
class CoutCapture {
public:
    CoutCapture();
    ~CoutCapture();
    std::string text() const { return buffer_.str(); }
    std::vector<std::string> lines() const;

private:
    std::ostringstream buffer_;
    std::streambuf* previous_;
};

// A settable clock for devices under test.
struct FakeClock {
    boost::posix_time::ptime now{boost::gregorian::date(2026, 3, 5),
                                 boost::posix_time::time_duration(7, 4, 9)};
};

std::string hex(const std::vector<uint8_t>& bytes, size_t from, size_t count);

}  // namespace plortest
