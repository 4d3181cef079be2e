// smd-host as a service, from outside: logrotate renames the logs and
// sends SIGHUP; the run goes on into new files and still stops cleanly.
#include <csignal>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "process.h"
#include "test_support.h"

TEST(Service, SighupReopensRenamedLogsAndTheRunGoesOn) {
    plortest::TempDir dir;
    // "idle" makes the plug-in print a line at each refresh.
    dir.write("site.json", R"({"devices": [
        {"name": "fast", "dataId": 1, "pollIntervalMs": 10},
        {"name": "idle", "dataId": 3, "pollIntervalMs": 0}]})");
    smdtest::Process p({SMD_HOST_EXE, "--config", "site.json", "--plugin", STUCK_PLUGIN, "--db",
                        "h.db", "--log", "host.log", "--plugin-log", "plugin.log"},
                       dir.path());
    const std::string hostLog = dir.file("host.log"), pluginLog = dir.file("plugin.log");
    ASSERT_TRUE(smdtest::waitForFile(hostLog, " fast  temp ", 2, 10000)) << p.err();
    ASSERT_TRUE(smdtest::waitForFile(pluginLog, "refresh without a round", 1, 10000));
    ASSERT_EQ(std::rename(hostLog.c_str(), (hostLog + ".1").c_str()), 0);
    ASSERT_EQ(std::rename(pluginLog.c_str(), (pluginLog + ".1").c_str()), 0);
    p.signal(SIGHUP);
    EXPECT_TRUE(smdtest::waitForFile(hostLog, "logs reopened on SIGHUP", 1, 10000));
    EXPECT_TRUE(smdtest::waitForFile(hostLog, " fast  temp ", 2, 10000));
    EXPECT_TRUE(smdtest::waitForFile(pluginLog, "refresh without a round", 1, 10000));
    // A second rotation before anything was written goes the same way.
    ASSERT_EQ(std::rename(hostLog.c_str(), (hostLog + ".2").c_str()), 0);
    p.signal(SIGHUP);
    EXPECT_TRUE(smdtest::waitForFile(hostLog, " fast  temp ", 1, 10000));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    const std::string last = smdtest::slurp(hostLog);
    EXPECT_NE(last.find("stopping on SIGTERM"), std::string::npos) << last;
    EXPECT_NE(last.find("history: "), std::string::npos) << last;
    EXPECT_EQ(smdtest::slurp(hostLog + ".1").find("history: "), std::string::npos);
    // Nothing left on the terminal's streams: the log has it all.
    EXPECT_EQ(p.out(), "");
    EXPECT_EQ(p.err(), "");
}
