// The stand-in host's Modbus RTU master: request framing, the checks on a
// reply before it reaches the driver, its settings, and a real serial line
// with an independent Modbus server (libmodbus) on the far end of a pty.
#include <modbus/modbus.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modbus_rig.h"
#include "modbus_rtu.h"
#include "plor_sps.h"
#include "test_support.h"

namespace {

using namespace plortest::modbus;

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
        if (l == line) return true;
    }
    return false;
}

TEST(ModbusFraming, RequestsCarryTheRtuCrcLowByteFirst) {
    const uint8_t probe[] = {0x02, 0x07};
    const uint16_t crc = smd::rtu::crc16(probe, 2);
    EXPECT_EQ(crc & 0xFF, 0x41);
    EXPECT_EQ(crc >> 8, 0x12);
    EXPECT_EQ(plortest::hex(smd::rtu::writeSingle(1, 1, 3), 0, 8), "01 06 00 01 00 03 98 0B");
    const uint16_t values[] = {0x000A, 0x0102};
    EXPECT_EQ(plortest::hex(smd::rtu::writeMultiple(1, 1, values, 2), 0, 13),
              "01 10 00 01 00 02 04 00 0A 01 02 92 30");
}

// Replies fed straight into process() while a write is pending.
TEST(ModbusReplies, OnlyACheckedReplyReachesTheDriver) {
    const Bytes ok206 = withCrc({0x01, 0x06, 0x00, 0x10, 0x12, 0x34});
    Bytes badCrc = ok206;
    badCrc.back() ^= 0x01;
    struct Case {
        const char* what;
        int code;
        Bytes frame;
        int result;
    } cases[] = {
        {"echo", 206, ok206, 1},
        {"wrong echo", 206, withCrc({0x01, 0x06, 0x00, 0x10, 0x12, 0x35}), 3},
        {"echo of another register", 206, withCrc({0x01, 0x06, 0x00, 0x11, 0x12, 0x34}), -1},
        {"bad crc", 206, badCrc, -1},
        {"wrong slave", 206, withCrc({0x02, 0x06, 0x00, 0x10, 0x12, 0x34}), -1},
        {"exception", 206, withCrc({0x01, 0x86, 0x02}), -1},
        {"other write function", 206, withCrc({0x01, 0x10, 0x00, 0x10, 0x00, 0x01}), -1},
        {"read reply", 206, withCrc({0x01, 0x03, 0x02, 0x12, 0x34}), -1},
        {"short", 206, withCrc({0x01, 0x06, 0x00, 0x10, 0x12}), -1},
        {"long", 206, withCrc({0x01, 0x06, 0x00, 0x10, 0x12, 0x34, 0x00}), -1},
        {"long exception", 206, withCrc({0x01, 0x86, 0x02, 0x00}), -1},
        {"crc only", 206, {0xFF, 0xFF}, -1},
        {"empty", 206, {}, -1},
        {"multiple echo", 210, withCrc({0x01, 0x10, 0x00, 0x10, 0x00, 0x02}), 1},
        {"multiple wrong count", 210, withCrc({0x01, 0x10, 0x00, 0x10, 0x00, 0x03}), 3},
        {"multiple other start", 210, withCrc({0x01, 0x10, 0x00, 0x0F, 0x00, 0x02}), -1},
        {"multiple exception", 210, withCrc({0x01, 0x90, 0x04}), -1},
        {"single reply to multiple", 210, withCrc({0x01, 0x06, 0x00, 0x10, 0x00, 0x02}), -1},
    };
    for (const Case& c : cases) {
        plortest::RecordingHost host;
        Probe dev;
        dev.SPModbus::InitSetting(hostSetting("", 1000));
        plortest::CoutCapture out;
        // No port: the request cannot go out, the driver still waits for it.
        control(dev, c.code, c.code == 206 ? input({0x10, 0x1234}) : input({0x10, 1, 2}));
        host.clear();
        const size_t before = out.lines().size();
        Bytes frame = c.frame;
        dev.process(frame.empty() ? nullptr : frame.data(), static_cast<unsigned>(frame.size()));
        EXPECT_EQ(dev.result(), c.result) << c.what;
        const auto lines = out.lines();
        const bool error = lines.size() > before && lines.back() == "SPModbus get error";
        EXPECT_EQ(error, c.result == -1) << c.what;
        EXPECT_EQ(host.callsOf("Reset").size(), c.result == -1 ? 0u : 1u) << c.what;
    }
}

TEST(ModbusSettings, HostSettingsThePortCannotApplyAreRefused) {
    plortest::RecordingHost host;
    Probe dev;
    Json::Value good;
    good["hostSetting"]["slaveAddress"] = 5;
    good["hostSetting"]["baudRate"] = 19200;
    ASSERT_TRUE(dev.SPModbus::InitSetting(good));
    EXPECT_EQ(dev.baud(), 19200);

    // Shapes with nothing to apply are taken; a key that is there but cannot
    // be applied refuses the whole document, with one line naming it.
    const struct {
        const char* text;
        const char* refused;
    } docs[] = {
        {"null", nullptr}, {"[]", nullptr}, {"[1,2]", nullptr}, {"\"text\"", nullptr},
        {"42", nullptr}, {"{}", nullptr}, {"{\"hostSetting\":null}", nullptr},
        {"{\"hostSetting\":[1]}", nullptr}, {"{\"hostSetting\":\"x\"}", nullptr},
        {"{\"hostSetting\":{\"serialPort\":5}}", nullptr},
        {"{\"hostSetting\":{\"slaveAddress\":\"7\",\"baudRate\":9600}}", "slaveAddress"},
        {"{\"hostSetting\":{\"slaveAddress\":0}}", "slaveAddress"},
        {"{\"hostSetting\":{\"slaveAddress\":248}}", "slaveAddress"},
        {"{\"hostSetting\":{\"slaveAddress\":1e30}}", "slaveAddress"},
        {"{\"hostSetting\":{\"slaveAddress\":18446744073709551615}}", "slaveAddress"},
        {"{\"hostSetting\":{\"baudRate\":12345}}", "baudRate"},
        {"{\"hostSetting\":{\"baudRate\":-9600}}", "baudRate"},
        {"{\"hostSetting\":{\"baudRate\":9600.5}}", "baudRate"},
        {"{\"hostSetting\":{\"baudRate\":\"9600\"}}", "baudRate"},
        {"{\"hostSetting\":{\"baudRate\":[]}}", "baudRate"},
        {"{\"hostSetting\":{\"replyTimeoutMs\":0}}", "replyTimeoutMs"},
        {"{\"hostSetting\":{\"replyTimeoutMs\":60001,\"baudRate\":9600}}", "replyTimeoutMs"},
        {"{\"hostSetting\":{\"replyTimeoutMs\":\"1\"}}", "replyTimeoutMs"},
    };
    for (const auto& d : docs) {
        Json::Value doc;
        ASSERT_TRUE(Json::Reader().parse(d.text, doc)) << d.text;
        plortest::CoutCapture out;
        bool ok = false;
        EXPECT_NO_THROW(ok = dev.SPModbus::InitSetting(doc)) << d.text;
        EXPECT_EQ(ok, d.refused == nullptr) << d.text;
        const auto lines = out.lines();
        if (d.refused != nullptr) {
            ASSERT_EQ(lines.size(), 1u) << d.text;
            EXPECT_NE(lines[0].find(d.refused), std::string::npos) << lines[0];
        }
    }
    EXPECT_EQ(dev.baud(), 19200);

    // Still slave 5: its reply is taken, slave 1's is not.
    plortest::CoutCapture quiet;
    for (uint8_t slave : {1, 5}) {
        control(dev, 206, input({0x10, 0x1234}));
        Bytes frame = withCrc({slave, 0x06, 0x00, 0x10, 0x12, 0x34});
        dev.process(frame.data(), static_cast<unsigned>(frame.size()));
        EXPECT_EQ(dev.result(), slave == 5 ? 1 : -1) << int(slave);
    }
}

// ---- A real line: the device on one end of a pty, libmodbus on the other.

// A pty pair; the far end is served by libmodbus as slave 1 with holding
// registers 0x100 to 0x10F.
class Line {
public:
    Line() {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        name_ = ::ttyname(slave_);
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        ctx_ = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
        modbus_set_slave(ctx_, 1);
        modbus_set_socket(ctx_, master_);
        map_ = modbus_mapping_new_start_address(0, 0, 0, 0, 0x100, 16, 0, 0);
    }
    ~Line() {
        hangUp();
        if (slave_ >= 0) ::close(slave_);
        modbus_mapping_free(map_);
        modbus_free(ctx_);
    }
    const std::string& name() const { return name_; }
    uint16_t reg(int address) const { return map_->tab_registers[address - 0x100]; }
    void hangUp() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    // Takes one request off the line; its length, or -1 when none came.
    int receive(Bytes& request) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return -1;
        request.assign(MODBUS_RTU_MAX_ADU_LENGTH, 0);
        const int n = modbus_receive(ctx_, request.data());
        if (n > 0) request.resize(static_cast<size_t>(n));
        return n;
    }
    void reply(const Bytes& request) {
        modbus_reply(ctx_, request.data(), static_cast<int>(request.size()), map_);
    }
    bool serveOne() {
        Bytes request;
        if (receive(request) <= 0) return false;
        reply(request);
        return true;
    }

private:
    int master_ = -1, slave_ = -1;
    std::string name_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* map_ = nullptr;
};

struct LineTest : ::testing::Test {
    PortHost host;
    plortest::TempDir dir;
    std::unique_ptr<Line> line{new Line};
    std::unique_ptr<Probe> dev{new Probe};
    std::string port = dir.file("port");

    void SetUp() override {
        ASSERT_EQ(::symlink(line->name().c_str(), port.c_str()), 0);
        settle(3000);
    }
    // The test takes each request off the line by hand: no echo probe first.
    void settle(int timeoutMs) {
        Json::Value doc = hostSetting(port, timeoutMs);
        doc["hostSetting"]["localEcho"] = "off";
        ASSERT_TRUE(dev->InitSetting(doc));
    }
    void TearDown() override { dev.reset(); }
};

TEST_F(LineTest, ConfirmedWritesReachTheServer) {
    plortest::CoutCapture quiet;
    EXPECT_EQ(control(*dev, 206, input({0x101, 0x1234})), 0);
    Bytes request;
    ASSERT_EQ(line->receive(request), 8);
    EXPECT_EQ(plortest::hex(request, 0, 8), plortest::hex(smd::rtu::writeSingle(1, 0x101, 0x1234), 0, 8));
    line->reply(request);
    EXPECT_EQ(host.outcome(1).status, 0);
    EXPECT_EQ(query(*dev), 1);
    EXPECT_EQ(line->reg(0x101), 0x1234);

    EXPECT_EQ(control(*dev, 210, input({0x104, 7, 8, 9})), 0);
    ASSERT_TRUE(line->serveOne());
    EXPECT_EQ(host.outcome(2).status, 0);
    EXPECT_EQ(query(*dev), 1);
    EXPECT_EQ(line->reg(0x104), 7);
    EXPECT_EQ(line->reg(0x106), 9);

    // Each command opens the port; the second found it open.
    const auto opens = host.callsOf("OpenPort");
    ASSERT_EQ(opens.size(), 2u);
    for (const auto& o : opens) EXPECT_TRUE(o.active);
}

TEST_F(LineTest, ExceptionReplyLeavesTheWriteUnconfirmed) {
    plortest::CoutCapture out;
    control(*dev, 206, input({0x500, 1}));
    ASSERT_TRUE(line->serveOne());
    const Outcome o = host.outcome(1);
    EXPECT_EQ(o.status, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    EXPECT_TRUE(o.delivered);
    EXPECT_EQ(query(*dev), -1);
    EXPECT_TRUE(contains(out.lines(), "SPModbus get error"));
}

TEST_F(LineTest, SilentServerTimesOutAndTheNextCommandWorks) {
    settle(150);
    plortest::CoutCapture out;
    control(*dev, 206, input({0x101, 1}));
    Bytes request;
    ASSERT_EQ(line->receive(request), 8);
    EXPECT_EQ(host.outcome(1).status, smd::kModbusTimeout);
    EXPECT_EQ(query(*dev), -1);
    EXPECT_TRUE(contains(out.lines(), "SPModbus get error"));

    settle(3000);
    control(*dev, 206, input({0x101, 2}));
    ASSERT_TRUE(line->serveOne());
    EXPECT_EQ(host.outcome(2).status, 0);
    EXPECT_EQ(query(*dev), 1);
}

TEST_F(LineTest, LateReplyIsNotTakenForTheNextRequest) {
    settle(150);
    plortest::CoutCapture quiet;
    control(*dev, 206, input({0x101, 1}));
    Bytes first;
    ASSERT_EQ(line->receive(first), 8);
    EXPECT_EQ(host.outcome(1).status, smd::kModbusTimeout);
    line->reply(first);  // echoes 1, which the next write would call wrong
    ASSERT_TRUE(host.waitStray(8));

    settle(3000);
    control(*dev, 206, input({0x101, 2}));
    ASSERT_TRUE(line->serveOne());
    EXPECT_EQ(host.outcome(2).status, 0);
    EXPECT_EQ(query(*dev), 1);
}

TEST_F(LineTest, SupersededRequestIsAnsweredButNotHandedOn) {
    plortest::CoutCapture quiet;
    control(*dev, 206, input({0x101, 1}));
    Bytes first;
    ASSERT_EQ(line->receive(first), 8);
    control(*dev, 206, input({0x101, 2}));  // waits until the first is answered
    line->reply(first);
    ASSERT_TRUE(line->serveOne());
    const Outcome a = host.outcome(1), b = host.outcome(2);
    EXPECT_FALSE(a.delivered);
    EXPECT_EQ(a.resultThen, -1);
    EXPECT_TRUE(b.delivered);
    EXPECT_EQ(query(*dev), 1);
    EXPECT_EQ(line->reg(0x101), 2);
}

TEST_F(LineTest, ReplyArrivingWhileTheNextCommandStartsIsNotHandedOn) {
    plortest::CoutCapture quiet;
    control(*dev, 206, input({0x101, 1}));
    Bytes first;
    ASSERT_EQ(line->receive(first), 8);
    ASSERT_EQ(dev->OpenPort(), 0);  // the next command's preparation has begun
    line->reply(first);
    const Outcome a = host.outcome(1);
    EXPECT_FALSE(a.delivered);
    EXPECT_EQ(query(*dev), -1);
}

TEST_F(LineTest, PortThatVanishedOrWasMissingIsOpenedAgain) {
    plortest::CoutCapture quiet;
    control(*dev, 206, input({0x101, 1}));
    ASSERT_TRUE(line->serveOne());
    EXPECT_EQ(host.outcome(1).status, 0);

    // Unplugged: the port hangs up and its name disappears.
    line->hangUp();
    ::unlink(port.c_str());
    host.clear();
    control(*dev, 206, input({0x101, 2}));
    ASSERT_EQ(host.callsOf("OpenPort").size(), 1u);
    EXPECT_FALSE(host.callsOf("OpenPort")[0].active);
    EXPECT_EQ(query(*dev), -1);

    // Plugged in again, as another device under the same name.
    Line second;
    ASSERT_EQ(::symlink(second.name().c_str(), port.c_str()), 0);
    host.clear();
    control(*dev, 206, input({0x101, 3}));
    EXPECT_TRUE(host.callsOf("OpenPort").at(0).active);
    ASSERT_TRUE(second.serveOne());
    EXPECT_EQ(host.outcome(2).status, smd::kModbusSendFailed);
    EXPECT_EQ(host.outcome(3).status, 0);
    EXPECT_EQ(query(*dev), 1);
    EXPECT_EQ(second.reg(0x101), 3);
    dev.reset();
}

TEST_F(LineTest, QueriesRunAgainstThePortThread) {
    plortest::CoutCapture quiet;
    constexpr int kWrites = 20;
    std::thread server([this] {
        for (int i = 0; i < kWrites; ++i) {
            if (!line->serveOne()) return;
        }
    });
    for (int i = 0; i < kWrites; ++i) {
        control(*dev, 206, input({0x102, static_cast<uint16_t>(i)}));
        for (int j = 0; j < 20; ++j) {
            const int r = query(*dev);
            ASSERT_TRUE(r == -1 || r == 1) << r;
        }
        EXPECT_EQ(host.outcome(static_cast<size_t>(i + 1)).status, 0);
        EXPECT_EQ(query(*dev), 1) << i;
    }
    server.join();
}

// Bursts of writes from four threads, 06 and 16 mixed: the outcome is the
// last submitted write's, checked against its own echo, and the server
// holds every value each thread wrote last.
TEST_F(LineTest, BurstsFromFourThreadsEndConfirmed) {
    DiscardCout quiet;
    constexpr int kThreads = 4, kWrites = 3, kBursts = 20;
    constexpr int kTotal = kThreads * kWrites * kBursts;
    std::thread server([this] {
        for (int i = 0; i < kTotal; ++i) {
            if (!line->serveOne()) return;
        }
    });
    size_t seen = 0;
    for (int burst = 0; burst < kBursts; ++burst) {
        std::vector<std::thread> writers;
        std::atomic<int> ready{0};
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([this, t, burst, &ready] {
                // All four start at once.
                ++ready;
                while (ready.load() < kThreads) std::this_thread::yield();
                // Thread t owns registers 0x100 + 4t .. 0x103 + 4t.
                const uint16_t reg = static_cast<uint16_t>(0x100 + 4 * t);
                for (int i = 0; i < kWrites; ++i) {
                    const uint16_t v = static_cast<uint16_t>(1000 * burst + 10 * t + i);
                    if ((t + i) % 2 == 0) {
                        control(*dev, 206, input({reg, v}));
                    } else {
                        control(*dev, 210, input({static_cast<uint16_t>(reg + 1), v, v}));
                    }
                }
            });
        }
        for (auto& w : writers) w.join();
        seen += kThreads * kWrites;
        // The last outcome reported is the one the device holds.
        const Outcome last = host.outcome(seen);
        EXPECT_EQ(last.status, 0) << burst;
        EXPECT_TRUE(last.delivered) << burst;
        EXPECT_EQ(query(*dev), 1) << burst;
        for (int t = 0; t < kThreads; ++t) {
            const int i = kWrites - 1;
            const uint16_t v = static_cast<uint16_t>(1000 * burst + 10 * t + i);
            const int reg = 0x100 + 4 * t + ((t + i) % 2 == 0 ? 0 : 1);
            EXPECT_EQ(line->reg(reg), v) << burst << " thread " << t;
        }
    }
    server.join();
    EXPECT_EQ(host.count(), static_cast<size_t>(kTotal));
}

TEST_F(LineTest, DeviceDestroyedWithAReplyOnTheWay) {
    plortest::CoutCapture quiet;
    for (int i = 0; i < 5; ++i) {
        // The driver itself, deleted through the base as a host does,
        // without closing the port first.
        std::unique_ptr<SMDVDevice> plain(new PLOR_SPS);
        Json::Value doc = hostSetting(port, 3000);
        doc["hostSetting"]["localEcho"] = "off";
        ASSERT_TRUE(plain->InitSetting(doc));
        control(static_cast<PLOR_SPS&>(*plain), 206, input({0x101, static_cast<uint16_t>(i)}));
        ASSERT_TRUE(line->serveOne());
        plain.reset();
    }
}

}  // namespace
