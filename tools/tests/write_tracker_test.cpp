// The write tracker on its own: a fake device, a hand-moved clock.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_codes.h"
#include "host_observer.h"
#include "write_tracker.h"

using smdhost::WriteTracker;

namespace {

struct FakeDevice : smdhost::WriteDevice {
    std::string name = "sps1";
    int returns = 0;        // of the write control
    int outcome = -1;       // what control 100 reports; -2: nothing
    const std::string& writeName() const override { return name; }
    int writeReplyTimeoutMs() const override { return 1000; }
    int control(int code, const void*, int, void* out, int, int& outLength) override {
        if (code != smdhost::kWriteOutcomeCode) return returns;
        outLength = outcome == -2 ? 0 : 4;
        if (outcome != -2) *static_cast<int32_t*>(out) = outcome;
        return 0;
    }
};

struct Recorder : smdhost::EventSink {
    std::vector<std::string> lines;
    void onEvent(const smdhost::Event& e) override {
        if (const auto* o = std::get_if<smdhost::WriteOutcomeEvent>(&e))
            lines.push_back(o->result + ": " + o->text);
        else if (const auto* n = std::get_if<smdhost::NoteEvent>(&e))
            lines.push_back("note: " + n->text);
    }
};

}  // namespace

TEST(WriteTracker, ResolvesEachWriteOnce) {
    using Clock = WriteTracker::Clock;
    const struct {
        const char* name;
        int returns;
        int report;      // status reported by the master; 99: none
        bool delivered;
        int outcome;     // the driver's, after the report
        int waitMs;      // clock moved on before the check
        const char* line;
    } cases[] = {
        {"echo matches", 0, 0, true, 1, 0, "confirmed: write register 40 = 535 confirmed by the supply (outcome 1)"},
        {"echo differs", 0, 0, true, 3, 0, "not-confirmed: write register 40 = 535 NOT confirmed"},
        {"master timed out", 0, smd::kModbusTimeout, true, -1, 0, "timeout: write register 40 = 535 timed out: no reply within 1000 ms"},
        {"superseded report", 0, smd::kModbusTimeout, false, -1, 3001, "timeout: write register 40 = 535 timed out"},
        {"no report", 0, 99, true, -1, 3001, "no-report: write register 40 = 535 has no outcome after 3000 ms (outcome -1)"},
        {"driver answers alone", 0, 99, true, 1, 0, "confirmed: write register 40 = 535 confirmed"},
        {"refused", -1, 99, true, -1, 0, "refused: write register 40 = 535 refused: control 206 returned -1"},
        {"exception", 0, 2, true, -1, 0, "exception: write register 40 = 535 refused by the supply: Modbus exception 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Clock::time_point now{};
        Recorder events;
        FakeDevice dev;
        dev.returns = c.returns;
        WriteTracker writes(events, [&] { return now; });
        writes.write(dev, smdhost::kWriteRegisterCode, {40, 535});
        if (c.report != 99) writes.report(dev, smdhost::kFunctionWriteRegister, 40, c.report, c.delivered);
        dev.outcome = c.outcome;
        writes.check();
        now += std::chrono::milliseconds(c.waitMs);
        writes.check();
        writes.check();
        ASSERT_EQ(events.lines.size(), 1u) << (events.lines.empty() ? "" : events.lines[1]);
        EXPECT_EQ(events.lines[0].rfind(c.line, 0), 0u) << events.lines[0];
        EXPECT_TRUE(writes.idle());
    }
}

// A write queued on a shared line behind a supply that does not answer: its
// time counts from when it goes out, and a verdict after giving up is still
// reported, not dropped.
TEST(WriteTracker, TimeCountsFromTheLineAndNoVerdictIsDropped) {
    using Clock = WriteTracker::Clock;
    using std::chrono::milliseconds;
    const struct {
        const char* name;
        bool masterSays;  // the master tells when each request goes out
        std::vector<std::string> lines;
    } cases[] = {
        {"sent 4 s after it was typed", true,
         {"timeout: write register 41 = 1 timed out",
          "confirmed: write register 40 = 535 confirmed by the supply (its echo matches)"}},
        {"a master that never says", false,
         {"timeout: write register 41 = 1 timed out",
          "no-report: write register 40 = 535 has no outcome after 3000 ms",
          "confirmed: write register 40 = 535 confirmed by the supply (its echo matches)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Clock::time_point now{};
        Recorder events;
        FakeDevice dead, healthy;
        WriteTracker writes(events, [&] { return now; });
        writes.write(dead, smdhost::kWriteRegisterCode, {41, 1});
        writes.write(healthy, smdhost::kWriteRegisterCode, {40, 535});
        const int f = smdhost::kFunctionWriteRegister;
        for (int t = 0; t <= 5000; t += 100) {
            now = Clock::time_point{} + milliseconds(t);
            if (c.masterSays && t == 0) writes.sent(dead, f, 41);
            if (t == 1000) writes.report(dead, f, 41, smd::kModbusTimeout, true, -1);
            if (c.masterSays && t == 4000) writes.sent(healthy, f, 40);
            if (t == 4500) writes.report(healthy, f, 40, 0, false, 1);
            writes.check();
        }
        ASSERT_EQ(events.lines.size(), c.lines.size());
        for (size_t i = 0; i < c.lines.size(); ++i)
            EXPECT_EQ(events.lines[i].rfind(c.lines[i], 0), 0u) << events.lines[i];
    }
}
