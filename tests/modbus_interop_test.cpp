// The stand-in master against a Modbus RTU slave written elsewhere
// (pymodbus), behind a relay that delays, misdirects, prefixes and splits
// its echoes. Each write's outcome is checked against what the slave
// stored: a write is confirmed only if the slave holds it.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modbus_rig.h"
#include "slave_relay.h"

namespace {

using namespace plortest::modbus;

using plortest::SlaveRelay;

TEST(ModbusInterop, EveryOutcomeMatchesWhatTheSlaveStored) {
    SlaveRelay relay;
    ASSERT_FALSE(relay.port().empty())
        << "the pymodbus slave did not start: /usr/bin/python3 needs python3-pymodbus and "
           "python3-serial-asyncio, which scripts/setup.sh installs";

    const struct Case {
        const char* what;
        int reg;
        const char* fault;
        double seconds;
        std::vector<uint16_t> values;
        int outcome;
        bool stored;
    } cases[] = {
        {"plain 06", 10, "", 0, {111}, 1, true},
        {"plain 16", 20, "", 0, {1, 2, 3}, 1, true},
        // Past the 1.5 s timeout, while the next write waits for its own.
        {"echo after the timeout", 40, "late", 2.0, {7}, -1, true},
        {"unanswered while that echo arrives", 41, "swallow", 0, {7}, -1, false},
        {"echo of another register", 50, "other", 0, {5}, -1, true},
        {"echo of another start", 52, "other", 0, {8, 9}, -1, true},
        {"noise byte before the echo", 60, "noise", 0.3, {6}, 1, true},
        {"echo in two parts", 70, "split", 0.002, {70}, 1, true},
        {"16 echo in two parts", 72, "split", 0.002, {1, 2}, 1, true},
        {"other value echoed", 80, "value", 0, {8}, 3, true},
        {"other quantity echoed", 82, "value", 0, {1, 2}, 3, true},
        {"echo and a turnaround byte", 90, "trail", 0, {9}, 1, true},
        {"16 echo and a turnaround byte", 92, "trail", 0, {1, 2}, 1, true},
    };
    for (const Case& c : cases) {
        if (*c.fault == '\0') continue;
        std::ostringstream cmd;
        cmd << "fault " << c.reg << ' ' << c.fault << ' ' << c.seconds;
        ASSERT_EQ(relay.ask(cmd.str()), "ok") << c.what;
    }

    PortHost host;
    Probe dev;
    Json::Value settings = hostSetting(relay.port(), 1500);
    // Slow enough that a 2 ms pause is inside a frame whatever the load.
    settings["hostSetting"]["baudRate"] = 1200;
    ASSERT_TRUE(dev.InitSetting(settings));
    plortest::CoutCapture quiet;
    size_t n = 0;
    for (const Case& c : cases) {
        Bytes in(2 * (c.values.size() + 1));
        const uint16_t reg = static_cast<uint16_t>(c.reg);
        std::memcpy(in.data(), &reg, 2);
        std::memcpy(in.data() + 2, c.values.data(), 2 * c.values.size());
        ASSERT_EQ(control(dev, c.values.size() == 1 ? 206 : 210, in), 0) << c.what;
        host.outcome(++n);
        const int outcome = query(dev);
        EXPECT_EQ(outcome, c.outcome) << c.what;

        std::ostringstream held;
        for (size_t i = 0; i < c.values.size(); ++i) {
            held << (i ? " " : "") << (c.stored ? c.values[i] : 0);
        }
        std::ostringstream cmd;
        cmd << "dump " << c.reg << ' ' << c.values.size();
        const std::string stored = relay.ask(cmd.str());
        EXPECT_EQ(stored, held.str()) << c.what << ", outcome " << outcome;
    }
}

Bytes writeInput(int reg, const std::vector<uint16_t>& values) {
    Bytes in(2 * (values.size() + 1));
    const uint16_t r = static_cast<uint16_t>(reg);
    std::memcpy(in.data(), &r, 2);
    std::memcpy(in.data() + 2, values.data(), 2 * values.size());
    return in;
}

// The device's outcome once it has one, or -1 after a while.
int settled(PLOR_SPS& dev) {
    for (int i = 0; i < 5000; ++i) {
        const int r = query(dev);
        if (r != -1) return r;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

// A write whose echo comes 5 ms late, then a write the slave refuses, issued
// across the moment the first echo is handed over: the refused write never
// reads as confirmed, whatever the timing.
TEST(ModbusInterop, LateEchoNeverConfirmsTheRefusedWriteAfterIt) {
    SlaveRelay relay;
    ASSERT_FALSE(relay.port().empty()) << "the pymodbus slave did not start";
    ASSERT_EQ(relay.ask("fault 257 late 0.005"), "ok");
    PortHost host;
    Probe dev;
    ASSERT_TRUE(dev.InitSetting(hostSetting(relay.port(), 1500)));
    plortest::CoutCapture quiet;
    size_t n = 0;
    for (int delayMs = 0; delayMs <= 40; delayMs += 2) {
        SCOPED_TRACE(delayMs);
        const uint16_t value = static_cast<uint16_t>(100 + delayMs);
        ASSERT_EQ(control(dev, 206, writeInput(257, {value})), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        // Register 0x500 is past the slave's 1024: exception 02.
        ASSERT_EQ(control(dev, delayMs % 4 ? 210 : 206, writeInput(0x500, {value})), 0);
        n += 2;
        EXPECT_EQ(host.outcome(n).status, 2);
        EXPECT_EQ(query(dev), -1);
        EXPECT_EQ(relay.ask("dump 257 1"), std::to_string(value));
    }
}

// Two supplies on one line, slaves 1 and 2, each a device of its own on the
// same port path, writing at once: every write is confirmed by its own
// slave and stored there. A third device wanting the port at another speed,
// through a link of another name, is refused with one line naming both.
TEST(ModbusInterop, TwoDevicesShareOnePort) {
    SlaveRelay relay;
    ASSERT_FALSE(relay.port().empty()) << "the pymodbus slave did not start";
    PortHost host;
    Probe devs[2];
    for (int k = 0; k < 2; ++k) {
        devs[k].Init(std::weak_ptr<SMDController>(), 11 + k, Json::Value());
        ASSERT_TRUE(devs[k].InitSetting(hostSetting(relay.port(), 1500, k + 1)));
    }
    constexpr int kWrites = 12;
    int confirmed[2] = {0, 0};
    std::unique_ptr<DiscardCout> quiet(new DiscardCout);
    std::vector<std::thread> writers;
    for (int k = 0; k < 2; ++k) {
        writers.emplace_back([&, k] {
            for (int i = 0; i < kWrites; ++i) {
                const uint16_t v = static_cast<uint16_t>(1000 * (k + 1) + i);
                control(devs[k], i % 3 ? 206 : 210, writeInput(100 + i, {v}));
                if (settled(devs[k]) == 1) ++confirmed[k];
            }
        });
    }
    for (auto& w : writers) w.join();
    quiet.reset();
    plortest::CoutCapture out;
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(confirmed[k], kWrites) << "slave " << k + 1;
        std::ostringstream want;
        for (int i = 0; i < kWrites; ++i) want << (i ? " " : "") << 1000 * (k + 1) + i;
        EXPECT_EQ(relay.ask("dump 100 " + std::to_string(kWrites) + " " + std::to_string(k + 1)),
                  want.str())
            << "slave " << k + 1;
    }

    plortest::TempDir dir;
    const std::string alias = dir.file("by-id");
    ASSERT_EQ(::symlink(relay.port().c_str(), alias.c_str()), 0);
    Probe third;
    third.Init(std::weak_ptr<SMDController>(), 13, Json::Value());
    Json::Value doc = hostSetting(alias, 1500, 1);
    doc["hostSetting"]["baudRate"] = 19200;
    EXPECT_FALSE(third.InitSetting(doc));
    const auto lines = out.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines.back().find("device 13 wants " + alias + " at 19200 bit/s"),
              std::string::npos)
        << lines.back();
    const bool names = lines.back().find("device 11 has it at 9600") != std::string::npos ||
                       lines.back().find("device 12 has it at 9600") != std::string::npos;
    EXPECT_TRUE(names) << lines.back();
    // At the line's speed but at slave 2's address, or with other framing.
    for (const char* parity : {"none", "even"}) {
        Json::Value same = hostSetting(alias, 1500, 2);
        same["hostSetting"]["parity"] = parity;
        EXPECT_FALSE(third.InitSetting(same));
        std::string line = out.lines().back();
        if (*parity == 'e') line.replace(line.find("device 1", 40), 9, "device N");
        EXPECT_EQ(line, "SPModbus::InitSetting refused: device 13 wants " + alias +
                            (*parity == 'n' ? " as slave 2, but device 12 is slave 2 there"
                                            : " with parity even, but device N has it with parity none"))
            << parity;
    }

    // Settings taken while the port was free are refused when it is opened.
    for (Probe& d : devs) d.ClosePort();
    ASSERT_TRUE(third.InitSetting(doc));
    ASSERT_EQ(devs[0].OpenPort(), 0);
    EXPECT_EQ(third.OpenPort(), -1);
    EXPECT_EQ(out.lines().back(), "SPModbus::OpenPort refused: device 13 wants " + alias +
                                      " at 19200 bit/s, but device 11 has it at 9600 bit/s");
    EXPECT_EQ(devs[1].OpenPort(), 0);
}

}  // namespace

namespace {

// A line that hands every request back, with slave 3 silent and slave 1
// healthy on it, found at open (localEcho "auto"): no write to slave 3 is
// confirmed, every write to slave 1 is, and slave 1 stores each.
TEST(ModbusInterop, EchoingLineConfirmsOnlyWhatTheSlaveDid) {
    SlaveRelay relay;
    ASSERT_FALSE(relay.port().empty()) << "the pymodbus slave did not start";
    ASSERT_EQ(relay.ask("echo on"), "ok");
    PortHost host;
    Probe dead, healthy;
    dead.Init(std::weak_ptr<SMDController>(), 3, Json::Value());
    healthy.Init(std::weak_ptr<SMDController>(), 1, Json::Value());
    ASSERT_TRUE(dead.InitSetting(hostSetting(relay.port(), 300, 3)));
    ASSERT_TRUE(healthy.InitSetting(hostSetting(relay.port(), 300, 1)));
    plortest::CoutCapture out;
    size_t n = 0;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const uint16_t v = static_cast<uint16_t>(500 + i);
        const bool one = i % 2 == 0;
        ASSERT_EQ(control(dead, one ? 206 : 210, writeInput(30 + i, {v})), 0);
        EXPECT_EQ(host.outcome(++n).status, smd::kModbusTimeout);
        EXPECT_EQ(query(dead), -1);
        ASSERT_EQ(control(healthy, one ? 206 : 210, writeInput(30 + i, {v})), 0);
        EXPECT_EQ(host.outcome(++n).status, 0);
        EXPECT_EQ(query(healthy), 1);
    }
    EXPECT_EQ(relay.ask("dump 30 4"), "500 501 502 503");
    const auto lines = out.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "SPModbus: " + relay.port() +
                             " hands back a copy of every request (localEcho auto): the "
                             "copies are dropped"),
              1);
}

}  // namespace
