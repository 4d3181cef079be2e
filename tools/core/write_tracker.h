// Writes on their way: each one announced, handed to its device, then
// resolved once, from the master's report, the driver's own outcome, or
// by giving up when neither comes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "events.h"

namespace smdhost {

// How a write ended, as its event's result and the web's counters name it.
enum class WriteOutcome {
    confirmed, notConfirmed, answered, timeout, badReply, notSent, portLost, exception,
    noReport, refused
};
constexpr std::size_t kWriteOutcomeKindCount = 10;
// Their names, in the order above.
extern const std::array<const char*, kWriteOutcomeKindCount> kWriteOutcomeKinds;
inline const char* outcomeName(WriteOutcome o) { return kWriteOutcomeKinds[static_cast<std::size_t>(o)]; }

// What the tracker needs of a device.
class WriteDevice {
public:
    virtual ~WriteDevice() = default;
    virtual const std::string& writeName() const = 0;
    virtual int writeReplyTimeoutMs() const = 0;
    virtual int control(int code, const void* input, int inputLength, void* output,
                        int outputSize, int& outputLength) = 0;
};

// The driver's outcome of the last write; known is false when it says nothing.
int queryOutcome(WriteDevice& d, bool& known);

class WriteTracker {
public:
    using Clock = std::chrono::steady_clock;
    // How long past its reply timeout a write waits for the master's report.
    static constexpr int kReportGraceMs = 2000;

    explicit WriteTracker(EventSink& events,
                          std::function<Clock::time_point()> now = [] { return Clock::now(); })
        : events_(events), now_(std::move(now)) {}

    // code: kWriteRegisterCode or kWriteRegistersCode; words: address, values.
    // Command-loop thread only, as are check() and abandon().
    void write(WriteDevice& d, int code, const std::vector<uint16_t>& words);
    // The master's report of how a request ended; any thread. echo: 1 the
    // reply echoed what was written, 0 it did not, -1 not known.
    void report(WriteDevice& d, int function, int address, int status, bool delivered,
                int echo = -1);
    // The master put the request on the line: its reply time counts from here.
    void sent(WriteDevice& d, int function, int address);
    void check();
    bool idle() const { return pending_.empty(); }
    // The run ends: what is pending gets no outcome.
    void abandon();

private:
    struct Pending {
        WriteDevice* device = nullptr;
        int function = 0;
        int address = 0;
        std::string what;
        Clock::time_point deadline;
        int timeoutMs = 0;
        bool sent = false;
    };
    struct Report {
        WriteDevice* device = nullptr;
        int function = 0;
        int address = 0;
        int status = 0;
        bool delivered = false;
        int echo = -1;
        bool sentOnly = false;  // the request went out; no outcome yet
    };
    // The device's outcome speaks for p only while p is its latest write.
    bool latest(const Pending& p) const;
    void resolve(const Pending& p, int status, bool delivered = true, int echo = -1);
    void take(const Report& r);
    Clock::duration waitFor(const Pending& p) const;
    void note(WriteDevice& d, const std::string& text);

    EventSink& events_;
    std::function<Clock::time_point()> now_;
    std::vector<Pending> pending_;
    // The master says when a request goes out, and ends each it took: a
    // write it has not sent yet waits for the line however long that takes.
    bool masterSays_ = false;
    // Given up on; a verdict that still comes is reported, not dropped.
    std::vector<Pending> gaveUp_;
    std::mutex reportsMutex_;
    std::vector<Report> reports_;
};

}  // namespace smdhost
