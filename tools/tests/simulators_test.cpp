#include <modbus.h>

#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "scenario.h"
#include "board_simulator.h"
#include "supply_simulator.h"
#include "test_support.h"

using smdhost::BoardSimulator;
using smdhost::ScenarioStep;
using smdhost::SupplySimulator;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    if (!in) return "<absent>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(BoardSimulator, WritesScenarioValuesAsTheyFallDue) {
    plortest::TempDir dir;
    const std::array<std::string, 4> paths{
        {dir.file("ai1"), dir.file("ai2"), dir.file("ai3"), dir.file("ai4")}};
    const auto sc = smdhost::parseScenario(
        "0 930 535 5350 2200\n"
        "1 command write 40 535\n"
        "2 - 520~522 x -\n"
        "3 supply wrong\n"
        "4 1 2 3 4\n",
        "t");
    std::vector<std::string> hooked;
    BoardSimulator board(sc, paths, [&](const ScenarioStep& s) { hooked.push_back(s.text); },
                         dir.file("lock"));
    board.start();  // time 0 is written before the thread runs
    EXPECT_EQ(slurp(paths[0]), "930\n");
    EXPECT_EQ(slurp(paths[3]), "2200\n");
    board.stop();   // and removes the files again
    EXPECT_EQ(slurp(paths[0]), "<absent>");

    BoardSimulator stepped(sc, paths, [&](const ScenarioStep& s) { hooked.push_back(s.text); },
                           dir.file("lock"));
    stepped.advanceTo(0);
    stepped.advanceTo(1.5);
    EXPECT_EQ(hooked, std::vector<std::string>{"write 40 535"});
    stepped.advanceTo(2);
    EXPECT_EQ(slurp(paths[1]), "520\n");
    EXPECT_EQ(slurp(paths[2]), "<absent>");
    EXPECT_EQ(slurp(paths[3]), "2200\n");
    // A never-still input takes a new value at every step, round the range.
    std::vector<std::string> seen;
    for (int i = 0; i < 4; ++i) {
        stepped.advanceTo(2.5);
        seen.push_back(slurp(paths[1]));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"521\n", "522\n", "520\n", "521\n"}));
    stepped.advanceTo(4);
    EXPECT_EQ(hooked.back(), "wrong");
    EXPECT_EQ(slurp(paths[1]), "2\n");
    EXPECT_EQ(slurp(paths[2]), "3\n");
    // No temporary file is left behind.
    for (const auto& p : paths) EXPECT_NE(::access((p + ".tmp." + std::to_string(getpid())).c_str(), F_OK), 0);
}

TEST(BoardSimulator, RangeOverEveryLongDoesNotTrap) {
    plortest::TempDir dir;
    smdhost::Scenario sc;
    sc.steps.resize(1);
    sc.steps[0].values.fill({smdhost::InputValue::jitter, std::numeric_limits<long>::min(),
                             std::numeric_limits<long>::max()});
    BoardSimulator board(sc, {{dir.file("1"), dir.file("2"), dir.file("3"), dir.file("4")}},
                         nullptr, dir.file("lock"));
    board.advanceTo(0);
    board.advanceTo(1);
    EXPECT_EQ(slurp(dir.file("1")), std::to_string(std::numeric_limits<long>::min() + 1) + "\n");
}

TEST(BoardSimulator, OneBoardAtATime) {
    plortest::TempDir dir;
    const std::array<std::string, 4> paths{
        {dir.file("ai1"), dir.file("ai2"), dir.file("ai3"), dir.file("ai4")}};
    const auto sc = smdhost::parseScenario("0 1 2 3 4\n", "t");
    BoardSimulator first(sc, paths, nullptr, dir.file("lock"));
    BoardSimulator second(sc, paths, nullptr, dir.file("lock"));
    first.start();
    try {
        second.start();
        ADD_FAILURE() << "two boards at once";
    } catch (const std::runtime_error& e) {
        // The holder is named: here, this very process.
        EXPECT_NE(std::string(e.what()).find(" is held by process " + std::to_string(getpid())),
                  std::string::npos) << e.what();
    }
    first.stop();
    EXPECT_NO_THROW(second.start());
}

TEST(BoardSimulator, NeverWritesThroughPlantedLinks) {
    plortest::TempDir dir;
    dir.write("victim", "precious\n");
    const std::string ai1 = dir.file("ai1");
    // Where the temporary file used to go, and the lock.
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), (ai1 + ".tmp." + std::to_string(getpid())).c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("lock").c_str()), 0);
    const auto sc = smdhost::parseScenario("0 1 2 3 4\n", "t");
    BoardSimulator board(sc, {{ai1, dir.file("ai2"), dir.file("ai3"), dir.file("ai4")}}, nullptr,
                         dir.file("lock"));
    board.advanceTo(0);
    EXPECT_EQ(slurp(ai1), "1\n");
    EXPECT_THROW(board.start(), std::runtime_error);
    EXPECT_EQ(slurp(dir.file("victim")), "precious\n");
}

namespace {

// A Modbus master on the device's end of the simulated supply's line.
struct Master {
    modbus_t* ctx;
    explicit Master(const std::string& port, int slave) {
        ctx = modbus_new_rtu(port.c_str(), 9600, 'N', 8, 1);
        modbus_set_slave(ctx, slave);
        modbus_set_response_timeout(ctx, 0, 300000);
        EXPECT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);
    }
    ~Master() {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    // The raw reply to a raw request (slave, function, data), or empty.
    std::vector<uint8_t> exchange(std::vector<uint8_t> request) {
        if (modbus_send_raw_request(ctx, request.data(), static_cast<int>(request.size())) < 0)
            return {};
        std::vector<uint8_t> reply(MODBUS_RTU_MAX_ADU_LENGTH);
        const int n = modbus_receive_confirmation(ctx, reply.data());
        if (n <= 0) return {};
        reply.resize(static_cast<std::size_t>(n) - 2);  // without the CRC
        return reply;
    }
};

}  // namespace

TEST(SupplySimulator, AnswersWritesAsConfigured) {
    std::mutex m;
    std::vector<std::string> log;
    SupplySimulator supply("sps1", 3, [&](const std::string& t) {
        std::lock_guard<std::mutex> lock(m);
        log.push_back(t);
    });
    supply.start();
    ASSERT_EQ(supply.portPath().rfind("/dev/pts/", 0), 0u);
    Master master(supply.portPath(), 3);

    const std::vector<uint8_t> single{3, 6, 0, 40, 0x02, 0x17};           // reg 40 = 535
    const std::vector<uint8_t> several{3, 16, 0, 10, 0, 2, 4, 0, 1, 0, 2};  // regs 10, 11 = 1, 2
    const struct {
        SupplySimulator::Mode mode;
        std::vector<uint8_t> request;
        std::vector<uint8_t> reply;
        const char* logged;
    } cases[] = {
        {SupplySimulator::echo, single, {3, 6, 0, 40, 0x02, 0x17}, "register 40 <- 535, echo sent"},
        {SupplySimulator::echo, several, {3, 16, 0, 10, 0, 2}, "registers 10..11 <- 1 2, echo sent"},
        {SupplySimulator::wrong, single, {3, 6, 0, 40, 0x02, 0x18}, "wrong echo sent"},
        {SupplySimulator::wrong, several, {3, 16, 0, 10, 0, 3}, "wrong echo sent"},
        {SupplySimulator::silent, single, {}, "no reply (silent)"},
    };
    for (const auto& c : cases) {
        supply.setMode(c.mode);
        EXPECT_EQ(master.exchange(c.request), c.reply) << c.logged;
        modbus_flush(master.ctx);
        std::lock_guard<std::mutex> lock(m);
        ASSERT_FALSE(log.empty());
        EXPECT_NE(log.back().find(c.logged), std::string::npos) << log.back();
    }
    EXPECT_EQ(supply.registerValue(40), 535);
    EXPECT_EQ(supply.registerValue(11), 2);
    supply.stop();
}

TEST(SupplySimulator, IgnoresOtherSlaves) {
    SupplySimulator supply("sps1", 1, nullptr);
    supply.start();
    Master master(supply.portPath(), 2);
    modbus_set_response_timeout(master.ctx, 0, 200000);
    EXPECT_TRUE(master.exchange({2, 6, 0, 1, 0, 1}).empty());
    EXPECT_EQ(supply.registerValue(1), 0);
}
