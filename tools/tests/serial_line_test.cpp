// smd-host on a shared line with pymodbus slaves 1 and 2 behind the relay:
// every write gets its own verdict, and a line its settings cannot share is
// refused at start in one line.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "process.h"
#include "slave_relay.h"
#include "test_support.h"

namespace {

std::string device(const std::string& name, int id, const std::string& host) {
    return R"({"name": ")" + name + R"(", "dataId": )" + std::to_string(id) +
           R"(, "settings": {"hostSetting": )" + host + "}}";
}

std::string site(const std::string& a, const std::string& b = std::string()) {
    return R"({"devices": [)" + a + (b.empty() ? "" : ", " + b) + "]}";
}

std::string host(const std::string& port, const std::string& more) {
    return R"({"serialPort": ")" + port + R"(", "replyTimeoutMs": 1000)" + more + "}";
}

// sps3 is slave 3, which nobody answers. Writes typed back to back, to it
// and then to sps2 behind it on the line: each gets the verdict of its own
// request, sps2's however long it waited for the line.
TEST(SerialLine, EveryWriteGetsItsOwnVerdict) {
    plortest::SlaveRelay relay;
    ASSERT_FALSE(relay.port().empty()) << "the pymodbus slave did not start";
    plortest::TempDir dir;
    dir.write("site.json", site(device("sps3", 3, host(relay.port(), R"(, "slaveAddress": 3)")),
                                device("sps2", 2, host(relay.port(), R"(, "slaveAddress": 2)"))));
    std::string input;
    for (int i = 0; i < 3; ++i) input += "sps3: write 41 " + std::to_string(i) + "\n";
    for (int i = 0; i < 5; ++i) input += "sps2: write " + std::to_string(10 + i) + " 7\n";
    input += "quit\n";
    smdtest::Process run({SMD_HOST_EXE, "--config", "site.json", "--plugin", PLOR_SPS_MODULE,
                          "--db", "h.db", "--stop-wait", "30"},
                         dir.path(), input);
    ASSERT_EQ(run.wait(60000), 0) << run.err();
    const std::string out = run.out();
    SCOPED_TRACE(out);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(smdtest::countOf(out, "sps3  write register 41 = " + std::to_string(i) +
                                            " timed out"),
                  1);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(smdtest::countOf(out, "sps2  write register " + std::to_string(10 + i) +
                                            " = 7 confirmed by the supply"),
                  1);
    EXPECT_EQ(smdtest::countOf(out, "no outcome"), 0);
    EXPECT_EQ(relay.ask("dump 10 5 2"), "7 7 7 7 7");
}

TEST(SerialLine, LineSettingsThatCannotBeSharedAreOneLineAtStart) {
    plortest::TempDir dir;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string port = ::ptsname(master);
    const std::string alias = dir.file("by-id");
    ASSERT_EQ(::symlink(port.c_str(), alias.c_str()), 0);
    const struct Case {
        const char* what;
        std::string site;
        std::string message;
    } cases[] = {
        {"two names, two speeds",
         site(device("sps1", 1, host(port, "")),
              device("sps2", 2, host(alias, R"(, "slaveAddress": 2, "baudRate": 19200)"))),
         "devices[1] (sps2) wants serial port '" + alias + "' (the line of '" + port +
             "') at 19200 bit/s, but devices[0] (sps1) has it at 9600 bit/s"},
        {"one slave address twice",
         site(device("sps1", 1, host(port, "")), device("sps2", 2, host(alias, ""))),
         "devices[1] (sps2) and devices[0] (sps1) both have slaveAddress 1 on serial port '" +
             alias + "'"},
        {"two stop bits against one",
         site(device("sps1", 1, host(port, R"(, "stopBits": 2)")),
              device("sps2", 2, host(port, R"(, "slaveAddress": 2)"))),
         "devices[1] (sps2) wants serial port '" + port +
             "' with stopBits 1, but devices[0] (sps1) has it with 2"},
        {"RS-485 mode on a pseudo-terminal",
         site(device("sps1", 1, host(port, R"(, "rs485": {"delayAfterSendMs": 1})"))),
         "serial port '" + port +
             "' (settings.hostSetting.serialPort) cannot be opened: TIOCSRS485: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.write("site.json", c.site);
        smdtest::Process p({SMD_HOST_EXE, "--config", "site.json", "--plugin", PLOR_SPS_MODULE,
                            "--db", "h.db"},
                           dir.path());
        EXPECT_EQ(p.wait(20000), 1);
        const std::string err = p.err();
        EXPECT_EQ(smdtest::countOf(err, "smd-host: "), 1) << err;
        EXPECT_EQ(smdtest::countOf(err, c.message), 1) << err;
    }
    ::close(master);
}

}  // namespace
