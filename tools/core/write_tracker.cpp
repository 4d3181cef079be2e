#include "write_tracker.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "host_codes.h"
#include "host_observer.h"

namespace smdhost {

const std::array<const char*, kWriteOutcomeKindCount> kWriteOutcomeKinds{
    {"confirmed", "not-confirmed", "answered", "timeout", "bad-reply", "not-sent", "port-lost",
     "exception", "no-report", "refused"}};

int queryOutcome(WriteDevice& d, bool& known) {
    int32_t value = 0;
    unsigned char out[16] = {};
    int outLength = 0;
    d.control(kWriteOutcomeCode, nullptr, 0, out, sizeof out, outLength);
    known = outLength == 4;
    if (known) std::memcpy(&value, out, sizeof value);
    return value;
}

void WriteTracker::note(WriteDevice& d, const std::string& text) {
    events_.onEvent(NoteEvent{d.writeName(), text, Json::Value()});
}

void WriteTracker::report(WriteDevice& d, int function, int address, int status, bool delivered,
                          int echo) {
    std::lock_guard<std::mutex> lock(reportsMutex_);
    reports_.push_back(Report{&d, function, address, status, delivered, echo, false});
}

void WriteTracker::sent(WriteDevice& d, int function, int address) {
    std::lock_guard<std::mutex> lock(reportsMutex_);
    reports_.push_back(Report{&d, function, address, 0, false, -1, true});
}

bool WriteTracker::latest(const Pending& p) const {
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it)
        if (it->device == p.device) return &*it == &p;
    return true;
}

WriteTracker::Clock::duration WriteTracker::waitFor(const Pending& p) const {
    return std::chrono::milliseconds(p.timeoutMs + kReportGraceMs);
}

void WriteTracker::write(WriteDevice& d, int code, const std::vector<uint16_t>& words) {
    const bool one = code == kWriteRegisterCode;
    std::string what = one ? "write register " + std::to_string(words[0]) + " = " +
                                 std::to_string(words[1])
                           : "write registers from " + std::to_string(words[0]) + ":";
    if (!one)
        for (std::size_t i = 1; i < words.size(); ++i) what += " " + std::to_string(words[i]);
    // Announced first: the reply may be reported before the call returns.
    events_.onEvent(WriteEvent{d.writeName(), code, words[0],
                               std::vector<uint16_t>(words.begin() + 1, words.end()), what});
    int outLength = 0;
    int rc = 0;
    try {
        rc = d.control(code, words.data(), static_cast<int>(words.size() * 2), nullptr, 0,
                       outLength);
    } catch (const std::exception& e) {
        note(d, what + " failed: " + e.what());
        return;
    }
    if (rc != 0) {
        WriteOutcomeEvent r;
        r.device = d.writeName();
        r.result = outcomeName(WriteOutcome::refused);
        r.returned = rc;
        r.text = what + " refused: control " + std::to_string(code) + " returned " +
                 std::to_string(rc);
        events_.onEvent(r);
        return;
    }
    Pending p;
    p.device = &d;
    p.function = one ? kFunctionWriteRegister : kFunctionWriteRegisters;
    p.address = words[0];
    p.what = what;
    // Past the port's own reply timeout, so its verdict comes first.
    p.timeoutMs = d.writeReplyTimeoutMs();
    p.deadline = now_() + std::chrono::milliseconds(p.timeoutMs + kReportGraceMs);
    pending_.push_back(p);
}

void WriteTracker::resolve(const Pending& p, int status, bool delivered, int echo) {
    WriteOutcomeEvent e;
    e.device = p.device->writeName();
    e.status = status;
    std::string text;
    if (status == 0 && (!delivered || !latest(p)) && echo >= 0) {
        // A later write holds the device's outcome: this reply's own echo speaks.
        e.result = outcomeName(echo == 1 ? WriteOutcome::confirmed : WriteOutcome::notConfirmed);
        text = echo == 1 ? "confirmed by the supply (its echo matches)"
                         : "NOT confirmed: the supply's echo differs";
    } else if (status == 0) {
        bool known = false;
        const int outcome = queryOutcome(*p.device, known);
        if (known) e.outcome = outcome;
        if (known && outcome == 1) {
            e.result = outcomeName(WriteOutcome::confirmed);
            text = "confirmed by the supply (outcome 1)";
        } else if (known && outcome == 3) {
            e.result = outcomeName(WriteOutcome::notConfirmed);
            text = "NOT confirmed: the supply's echo differs (outcome 3)";
        } else {
            e.result = outcomeName(WriteOutcome::answered);
            text = "answered, outcome " + (known ? std::to_string(outcome) : std::string("unknown"));
        }
    } else if (status == smd::kModbusTimeout) {
        e.result = outcomeName(WriteOutcome::timeout);
        text = "timed out: no reply within " + std::to_string(p.timeoutMs) + " ms";
    } else if (status == smd::kModbusBadFrame) {
        e.result = outcomeName(WriteOutcome::badReply);
        text = "failed: the reply was malformed (CRC, slave, function or length)";
    } else if (status == smd::kModbusSendFailed) {
        e.result = outcomeName(WriteOutcome::notSent);
        text = "failed: not sent (port not open, busy, or the write failed)";
    } else if (status == smd::kModbusPortLost) {
        e.result = outcomeName(WriteOutcome::portLost);
        text = "failed: the port went away before the reply";
    } else {
        e.result = outcomeName(WriteOutcome::exception);
        text = "refused by the supply: Modbus exception " + std::to_string(status);
    }
    e.text = p.what + " " + text;
    events_.onEvent(e);
}

void WriteTracker::take(const Report& r) {
    const auto same = [&r](const Pending& p) {
        return p.device == r.device && p.function == r.function && p.address == r.address;
    };
    if (r.sentOnly) {
        masterSays_ = true;
        for (auto& p : pending_) {
            if (p.sent || !same(p)) continue;
            p.sent = true;
            p.deadline = now_() + waitFor(p);
            return;
        }
        return;
    }
    // Requests of one device end in the order they were written.
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (!same(*it)) continue;
        resolve(*it, r.status, r.delivered, r.echo);
        pending_.erase(it);
        return;
    }
    for (auto it = gaveUp_.begin(); it != gaveUp_.end(); ++it) {
        if (!same(*it)) continue;
        resolve(*it, r.status, false, r.echo);
        gaveUp_.erase(it);
        return;
    }
}

void WriteTracker::check() {
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> lock(reportsMutex_);
        reports.swap(reports_);
    }
    for (const auto& r : reports) take(r);
    // A master that reports nothing: the driver's outcome, or give up.
    for (auto it = pending_.begin(); it != pending_.end();) {
        bool known = false;
        // Only for a master that does not say when it sent: one that does reports.
        const int outcome =
            latest(*it) && !it->sent ? queryOutcome(*it->device, known) : -1;
        if (known && (outcome == 1 || outcome == 3)) {
            resolve(*it, 0);
        } else if (now_() >= it->deadline && (it->sent || !masterSays_)) {
            WriteOutcomeEvent e;
            e.device = it->device->writeName();
            e.result = outcomeName(WriteOutcome::noReport);
            if (known) e.outcome = outcome;
            e.text = it->what + " has no outcome after " +
                     std::to_string(it->timeoutMs + kReportGraceMs) + " ms (outcome " +
                     (known ? std::to_string(outcome) : std::string("unknown")) + ")";
            events_.onEvent(e);
            gaveUp_.push_back(*it);
            // Bounded: the oldest given up are forgotten first.
            if (gaveUp_.size() > 64) gaveUp_.erase(gaveUp_.begin());
        } else {
            ++it;
            continue;
        }
        it = pending_.erase(it);
    }
}

void WriteTracker::abandon() {
    for (const auto& p : pending_) note(*p.device, p.what + ": no outcome before the end of the run");
    pending_.clear();
}

}  // namespace smdhost
