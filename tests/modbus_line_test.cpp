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
    Bytes take() {
        Bytes out;
        for (int wait = 10000;; wait = 50) {
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
        Json::Value doc = hostSetting(port, 3000);
        doc["hostSetting"]["baudRate"] = 1200;
        ASSERT_TRUE(dev.InitSetting(doc));
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

// The next command starts while the previous reply is being handed on:
// its OpenPort() waits for that hand-over, and the old reply no longer
// reaches the driver, whose state is the new command's by then.
TEST_F(RawLineTest, ReplyHandedOnLateConfirmsNoLaterWrite) {
    SlowProbe dev;
    Json::Value doc = hostSetting(port, 300);
    doc["hostSetting"]["baudRate"] = 1200;
    ASSERT_TRUE(dev.InitSetting(doc));
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
