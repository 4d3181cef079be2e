// The stand-in master on a raw pty whose far end the test plays by hand:
// silence before each request, requests refused before any I/O, and a
// reply's hand-over against the next command.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "modbus_rig.h"

namespace {

using namespace plortest::modbus;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class RawLine {
public:
    RawLine() {
        if (::openpty(&far_, &near_, nullptr, nullptr, nullptr) != 0) return;
        termios tio{};
        ::tcgetattr(near_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(near_, TCSANOW, &tio);
        name_ = ::ttyname(near_);
    }
    ~RawLine() {
        ::close(far_);
        ::close(near_);
    }
    const std::string& name() const { return name_; }
    // What the master sends next: bytes up to 50 ms of silence.
    Bytes take(int firstWaitMs = 10000) {
        Bytes out;
        for (int wait = firstWaitMs;; wait = 50) {
            pollfd p{far_, POLLIN, 0};
            if (::poll(&p, 1, wait) <= 0) return out;
            uint8_t buf[256];
            const ssize_t n = ::read(far_, buf, sizeof buf);
            if (n <= 0) return out;
            if (out.empty()) arrived = Clock::now();
            out.insert(out.end(), buf, buf + n);
        }
    }
    Clock::time_point arrived;  // the last take()'s first byte

    void send(const Bytes& b) { ASSERT_EQ(::write(far_, b.data(), b.size()), ssize_t(b.size())); }
    // The framing the port was last set to.
    tcflag_t cflag() const {
        termios tio{};
        ::tcgetattr(near_, &tio);
        return tio.c_cflag;
    }

private:
    int far_ = -1, near_ = -1;
    std::string name_;
};

// Holds a reply's hand-over open until released.
class SlowProbe : public Probe {
public:
    ~SlowProbe() override { SMDSPDevice::ClosePort(); }
    int process(unsigned char* frame, unsigned int length) override {
        entered.set_value();
        release.get_future().wait();
        const int r = Probe::process(frame, length);
        done.store(true);
        return r;
    }
    std::promise<void> entered, release;
    std::atomic<bool> done{false};
};

struct RawLineTest : ::testing::Test {
    PortHost host;
    plortest::TempDir dir;
    RawLine line;
    std::string port = dir.file("port");
    plortest::CoutCapture quiet;

    void SetUp() override { ASSERT_EQ(::symlink(line.name().c_str(), port.c_str()), 0); }
    // 1200 bit/s: 3.5 characters are 32 ms.
    void settle(Probe& dev) {
        ASSERT_TRUE(dev.InitSetting(slow(port, 3000)));
    }
    // 1200 bit/s, and no echo probe: the test plays the far end by hand.
    static Json::Value slow(const std::string& path, int timeoutMs) {
        Json::Value doc = hostSetting(path, timeoutMs);
        doc["hostSetting"]["baudRate"] = 1200;
        doc["hostSetting"]["localEcho"] = "off";
        return doc;
    }
};

TEST_F(RawLineTest, RequestWaitsForSilenceOnTheLine) {
    Probe dev;
    settle(dev);
    control(dev, 206, input({0x10, 1}));
    const Bytes first = line.take();
    line.send(first);
    ASSERT_EQ(host.outcome(1).status, 0);

    const auto noise = Clock::now();
    line.send({0x5A});
    ASSERT_TRUE(host.waitStray(1));
    control(dev, 206, input({0x10, 2}));
    EXPECT_EQ(line.take(), smd::rtu::writeSingle(1, 0x10, 2));
    EXPECT_GE(std::chrono::duration_cast<milliseconds>(line.arrived - noise).count(), 32);
}

TEST_F(RawLineTest, RegistersPast65535AreRefusedBeforeAnyIo) {
    Probe dev;
    settle(dev);
    control(dev, 210, input({0xFFFF, 1, 2}));
    EXPECT_EQ(host.outcome(1).status, smd::kModbusSendFailed);
    // The last register there is: the first thing on the line.
    control(dev, 210, input({0xFFFE, 1, 2}));
    const uint16_t words[] = {1, 2};
    EXPECT_EQ(line.take(), smd::rtu::writeMultiple(1, 0xFFFE, words, 2));
}

// A line that is never quiet: the wait for silence counts against the
// request's own time, which ends as a timeout.
TEST_F(RawLineTest, LineNeverQuietEndsTheRequestInItsTime) {
    Probe dev;
    ASSERT_TRUE(dev.InitSetting(slow(port, 200)));
    std::atomic<bool> done{false};
    std::thread chatter([&] {
        while (!done.load()) {
            line.send({0x5A});
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    const auto start = Clock::now();
    control(dev, 206, input({0x10, 1}));
    const Outcome o = host.outcome(1);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    done.store(true);
    chatter.join();
    EXPECT_EQ(o.status, smd::kModbusTimeout);
    // 200 ms and the request's own 73 ms on the wire, with room for a busy machine.
    EXPECT_LT(took, 1000);
    EXPECT_EQ(query(dev), -1);
}

// A whole reply followed by a turnaround glitch is the reply; the glitch is
// dropped as stray bytes.
TEST_F(RawLineTest, ByteTrailingAWholeReplyIsDropped) {
    Probe dev;
    settle(dev);
    const struct Case {
        const char* what;
        Bytes tail;
        bool exception;
        int status;
        int result;
    } cases[] = {
        {"zero byte", {0x00}, false, 0, 1},
        {"one bit high", {0xFF}, false, 0, 1},
        {"two bytes", {0x00, 0x00}, false, 0, 1},
        {"after an exception", {0x00}, true, 2, -1},
    };
    size_t n = 0;
    for (const Case& c : cases) {
        control(dev, 206, input({0x10, 9}));
        const Bytes request = line.take();
        Bytes reply = c.exception ? withCrc({0x01, 0x86, 0x02}) : request;
        reply.insert(reply.end(), c.tail.begin(), c.tail.end());
        line.send(reply);
        EXPECT_EQ(host.outcome(++n).status, c.status) << c.what;
        EXPECT_EQ(query(dev), c.result) << c.what;
    }
}

// A host that issues a command from its reply callback, on whichever thread
// that runs; it must not wait for its own hand-over.
class RetryingHost : public PortHost {
public:
    Probe* dev = nullptr;
    int retries = 0;
    int code = 206;
    void onModbusReply(const SMDVDevice& d, int function, int address, int status,
                       bool delivered) override {
        PortHost::onModbusReply(d, function, address, status, delivered);
        if (retries-- <= 0) return;
        control(*dev, code, code == 206 ? input({0x10, 3}) : Bytes{});
    }
};

TEST_F(RawLineTest, CommandFromTheReplyCallbackDoesNotHang) {
    const struct Case {
        const char* what;
        bool missingPort;
        int retryCode;
        Bytes first;  // 210 past the last register, or 206
    } cases[] = {
        {"unplugged, 206 again", true, 206, input({0x10, 1})},
        {"unplugged, 320", true, 320, input({0x10, 1})},
        {"past 65535, 206", false, 206, input({0xFFFF, 1, 2})},
        {"past 65535, 320", false, 320, input({0xFFFF, 1, 2})},
        {"on the port thread", false, 206, input({0x10, 1})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RetryingHost retrying;
        Probe dev;
        retrying.dev = &dev;
        retrying.code = c.retryCode;
        retrying.retries = 2;
        ASSERT_TRUE(dev.InitSetting(slow(c.missingPort ? dir.file("unplugged") : port, 3000)));
        auto done = std::async(std::launch::async, [&] {
            control(dev, c.first.size() == 6 ? 210 : 206, c.first);
        });
        if (!c.missingPort && c.first.size() == 4) line.send(line.take());
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        // Every later command still goes through.
        for (int i = 0; i < 2; ++i) {
            auto next = std::async(std::launch::async, [&] { control(dev, 320, Bytes{}); });
            ASSERT_EQ(next.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        }
        // The retries' requests are answered until the line is quiet again.
        for (Bytes b = line.take(500); !b.empty(); b = line.take(500)) line.send(b);
    }
}

// The next command starts while the previous reply is being handed on:
// its OpenPort() waits for that hand-over, and the old reply no longer
// reaches the driver, whose state is the new command's by then.
TEST_F(RawLineTest, ReplyHandedOnLateConfirmsNoLaterWrite) {
    SlowProbe dev;
    ASSERT_TRUE(dev.InitSetting(slow(port, 300)));
    control(dev, 206, input({0x10, 7}));
    line.send(line.take());
    ASSERT_EQ(dev.entered.get_future().wait_for(std::chrono::seconds(10)),
              std::future_status::ready);
    std::atomic<bool> handedFirst{false};
    std::thread next([&] {
        control(dev, 206, input({0x10, 7}));  // the same value: an echo would match
        handedFirst.store(dev.done.load());
    });
    // Time for the command to overtake the hand-over if it could.
    std::this_thread::sleep_for(milliseconds(100));
    dev.release.set_value();
    next.join();
    EXPECT_TRUE(handedFirst.load());
    EXPECT_EQ(line.take(), smd::rtu::writeSingle(1, 0x10, 7));  // never answered
    EXPECT_EQ(host.outcome(2).status, smd::kModbusTimeout);
    EXPECT_EQ(query(dev), -1);
}

}  // namespace

namespace {

// The far end as a real line can be: an adapter that hands back every
// request, a byte at the turnaround, another slave's late frame, a reply
// close to the deadline. Each case on a device of its own (300 ms timeout).
TEST_F(RawLineTest, ReplyIsFoundWithinWhatTheLineBrings) {
    const Bytes reply16{0x01, 0x10, 0x00, 0x10, 0x00, 0x01};
    const struct Case {
        const char* what;
        const char* echo;  // localEcho
        bool copies;       // the line hands back each request
        bool alive;        // the supply answers
        Bytes before;      // what comes ahead of the reply
        int replyAfterMs;  // after the request reached the far end
        int code;
        int status, result;
    } cases[] = {
        {"zero byte at the turnaround", "off", false, true, {0x00}, 0, 206, 0, 1},
        {"0xFF at the turnaround, 16", "off", false, true, {0xFF}, 0, 210, 0, 1},
        {"slave 2's late frame first", "off", false, true,
         withCrc({0x02, 0x06, 0x00, 0x10, 0x00, 0x09}), 0, 206, 0, 1},
        // 73 ms on the wire plus 300; 32 ms of silence after it would be too late.
        {"reply 30 ms before the deadline", "off", false, true, {}, 343, 206, 0, 1},
        {"plain line, echo probed", "auto", false, true, {}, 0, 206, 0, 1},
        {"echoing line, dead supply, 06", "auto", true, false, {}, 0, 206, smd::kModbusTimeout, -1},
        {"echoing line, dead supply, 16", "auto", true, false, {}, 0, 210, smd::kModbusTimeout, -1},
        {"echoing line, healthy supply, 06", "auto", true, true, {}, 0, 206, 0, 1},
        {"echoing line, healthy supply, 16", "auto", true, true, {}, 0, 210, 0, 1},
        {"echo set on, healthy supply", "on", true, true, {}, 0, 206, 0, 1},
    };
    size_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Probe dev;
        Json::Value doc = slow(port, 300);
        doc["hostSetting"]["localEcho"] = c.echo;
        ASSERT_TRUE(dev.InitSetting(doc));
        control(dev, c.code, input({0x10, 9}));  // 210: one register
        if (std::string(c.echo) == "auto") {
            const Bytes probe = line.take();
            ASSERT_EQ(probe.size(), 8u);
            EXPECT_EQ(probe[1], 3);
            if (c.copies) line.send(probe);
            if (c.alive) line.send(withCrc({0x01, 0x03, 0x02, 0x00, 0x00}));
        }
        const Bytes request = line.take();
        ASSERT_FALSE(request.empty());
        if (c.copies) line.send(request);
        std::this_thread::sleep_until(line.arrived + milliseconds(c.replyAfterMs));
        if (c.alive) {
            Bytes bytes = c.before;
            const Bytes reply = c.code == 206 ? request : withCrc(reply16);
            bytes.insert(bytes.end(), reply.begin(), reply.end());
            line.send(bytes);
        }
        EXPECT_EQ(host.outcome(++n).status, c.status);
        EXPECT_EQ(query(dev), c.result);
    }
}

// A reply that comes after its request timed out answers nothing later:
// the next request to that slave waits out the reply window first.
TEST_F(RawLineTest, LateReplyAnswersNoLaterRequest) {
    Probe dev;
    ASSERT_TRUE(dev.InitSetting(slow(port, 300)));
    size_t n = 0;
    for (int code : {210, 206}) {
        SCOPED_TRACE(code);
        const Bytes first = code == 206 ? input({60, 1}) : input({60, 1, 2});
        const Bytes second = code == 206 ? input({60, 2000}) : input({60, 2000, 2001});
        control(dev, code, first);
        const Bytes request = line.take();
        const auto sent = line.arrived;
        ASSERT_EQ(host.outcome(++n).status, smd::kModbusTimeout);
        control(dev, code, second);
        // The supply did the first write, 450 ms late, and refuses the second.
        std::this_thread::sleep_until(sent + milliseconds(450));
        const auto late = Clock::now();
        line.send(code == 206 ? request : withCrc(Bytes(request.begin(), request.begin() + 6)));
        EXPECT_FALSE(line.take().empty());
        EXPECT_GE(line.arrived, late);
        line.send(withCrc({0x01, static_cast<uint8_t>(code == 206 ? 0x86 : 0x90), 0x03}));
        EXPECT_EQ(host.outcome(++n).status, 3);
        EXPECT_EQ(query(dev), -1);
    }
}

// Stop bits as the port applies them (a pseudo-terminal keeps no parity).
TEST_F(RawLineTest, FramingReachesThePort) {
    for (int stopBits : {1, 2}) {
        SCOPED_TRACE(stopBits);
        Probe dev;
        Json::Value doc = slow(port, 300);
        doc["hostSetting"]["stopBits"] = stopBits;
        ASSERT_TRUE(dev.InitSetting(doc));
        ASSERT_EQ(dev.OpenPort(), 0);
        EXPECT_EQ(line.cflag() & (PARENB | CSTOPB | CSIZE),
                  (stopBits == 2 ? CSTOPB : 0u) | CS8);
    }
}

}  // namespace
