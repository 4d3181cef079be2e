// Each way a start can fail gives one clear message and a non-zero exit,
// before any board input is touched.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include "history_store.h"
#include "process.h"
#include "test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PLOR_SANITIZED 1
#endif
#endif
#ifndef PLOR_SANITIZED
#define PLOR_SANITIZED 0
#endif

namespace {

const char* const kGoodSite = R"({"devices": [{"name": "sps1", "dataId": 1}]})";

std::string siteWithSettings(const std::string& settings) {
    return R"({"devices": [{"name": "sps9", "dataId": 9, "settings": )" + settings + "}]}";
}

struct Case {
    const char* name;
    std::function<void(const plortest::TempDir&)> setup;
    std::vector<std::string> args;
    std::vector<std::string> message;  // all in one line of standard error
    int status;
};

// readdir64: a 32-bit program (the board's, under qemu on a 64-bit disk)
// meets directory offsets that plain readdir cannot hold, and stops at once.
std::set<std::string> entries(const std::string& path) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(path.c_str())) {
        while (const dirent64* e = ::readdir64(d)) names.insert(e->d_name);
        ::closedir(d);
    }
    return names;
}

}  // namespace

TEST(CommandLine, FailuresAreClearAndNonZero) {
    const Case cases[] = {
        {"plug-in missing", nullptr, {"--config", "site.json", "--plugin", "/nonexistent/plor_sps.so"},
         {"plug-in '/nonexistent/plor_sps.so' not found"}, 1},
        {"plug-in not a library",
         [](const plortest::TempDir& d) { d.write("fake.so", "not a shared object\n"); },
         {"--config", "site.json", "--plugin", "fake.so"},
         {"cannot load plug-in 'fake.so'"}, 1},
        {"no get_providers", nullptr, {"--config", "site.json", "--plugin", SMD_HOST_LIBRARY},
         {"plug-in '" SMD_HOST_LIBRARY "' has no get_providers entry point"}, 1},
        {"configuration missing", nullptr, {"--config", "absent.json"},
         {"cannot read site configuration 'absent.json': No such file or directory"}, 1},
        {"configuration is a directory",
         [](const plortest::TempDir& d) { ::mkdir(d.file("dir.json").c_str(), 0755); },
         {"--config", "dir.json"}, {"cannot read site configuration 'dir.json'"}, 1},
        {"configuration is a device", nullptr, {"--config", "/dev/zero"},
         {"cannot read site configuration '/dev/zero': not a regular file"}, 1},
        {"configuration is a FIFO",
         [](const plortest::TempDir& d) { ::mkfifo(d.file("fifo.json").c_str(), 0600); },
         {"--config", "fifo.json"}, {"site configuration 'fifo.json': not a regular file"}, 1},
        {"configuration too big",
         [](const plortest::TempDir& d) { d.write("big.json", std::string(2 << 20, ' ')); },
         {"--config", "big.json"}, {"site configuration 'big.json': larger than 1024 KiB"}, 1},
        {"configuration not JSON",
         [](const plortest::TempDir& d) { d.write("bad.json", "{\"devices\": [\n"); },
         {"--config", "bad.json"}, {"site configuration 'bad.json': invalid JSON", "Line 2"}, 1},
        {"configuration without dataId",
         [](const plortest::TempDir& d) { d.write("bad.json", R"({"devices": [{"name": "x"}]})"); },
         {"--config", "bad.json"}, {"site configuration 'bad.json': devices[0].dataId must be"}, 1},
        {"settings InitSetting rejects",
         [](const plortest::TempDir& d) {
             d.write("bad.json", siteWithSettings(R"({"appSetting": {"b_mode": {"x": 1}}})"));
         },
         {"--config", "bad.json"},
         {"device 'sps9' (data id 9): InitSetting rejected its settings at "
          "settings.appSetting.b_mode (an object)"},
         1},
        {"settings not an object",
         [](const plortest::TempDir& d) { d.write("bad.json", siteWithSettings("[1, 2]")); },
         {"--config", "bad.json"},
         {"device 'sps9' (data id 9): InitSetting rejected its settings at settings (not a JSON "
          "object)"},
         1},
        {"serial port missing",
         [](const plortest::TempDir& d) {
             d.write("bad.json",
                     siteWithSettings(R"({"hostSetting": {"serialPort": "/dev/plor-no-such-tty"}})"));
         },
         {"--config", "bad.json"},
         {"device 'sps9' (data id 9): serial port '/dev/plor-no-such-tty' "
          "(settings.hostSetting.serialPort) cannot be opened: No such file or directory"},
         1},
        {"devices on one port at two speeds",
         [](const plortest::TempDir& d) {
             d.write("bad.json", R"({"devices": [
                 {"name": "east", "dataId": 1,
                  "settings": {"hostSetting": {"serialPort": "/dev/plor-bus", "slaveAddress": 1}}},
                 {"name": "west", "dataId": 2,
                  "settings": {"hostSetting": {"serialPort": "/dev/plor-bus", "slaveAddress": 2,
                                               "baudRate": 19200}}}]})");
         },
         {"--config", "bad.json"},
         {"site configuration 'bad.json': devices[1] (west) wants serial port '/dev/plor-bus' at "
          "19200 bit/s, but devices[0] (east) has it at 9600 bit/s"},
         1},
        {"no configuration at all", nullptr, {}, {"no site configuration: give --config FILE"}, 1},
        {"unknown scenario", nullptr, {"--simulate", "no-such-scenario"},
         {"scenario 'no-such-scenario' not found"}, 1},
        {"scenario value out of range",
         [](const plortest::TempDir& d) { d.write("bad.scn", "0 1 2 3 0~9223372036854775807\n"); },
         {"--simulate", "bad.scn"}, {"scenario 'bad.scn' line 1: value '0~9223372036854775807' of ai4"}, 1},
        {"database damaged",
         [](const plortest::TempDir& d) {
             {
                 smdhost::HistoryStore store(d.file("bad.db"), false);
                 const std::vector<unsigned char> image(37, 7);
                 for (int i = 0; i < 300; ++i)
                     store.addRound("sps1", 1, "round", image.data(), image.size(), "then");
             }
             // Page 3 onwards, where the rounds are, scribbled over.
             std::fstream f(d.file("bad.db"), std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(2 * 4096);
             f << std::string(8192, '\xff');
         },
         {"--config", "site.json", "--db", "bad.db"}, {"history database 'bad.db' is damaged: "}, 1},
        {"database of another program",
         [](const plortest::TempDir& d) {
             sqlite3* db = nullptr;
             sqlite3_open(d.file("app.db").c_str(), &db);
             sqlite3_exec(db, "CREATE TABLE users(id); CREATE TABLE orders(id)", nullptr, nullptr,
                          nullptr);
             sqlite3_close(db);
         },
         {"--config", "site.json", "--db", "app.db"},
         {"smd-host: history database 'app.db': not an smd-host history: it holds other tables "
          "(orders, users) and no rounds; name another file"},
         1},
        {"unknown option", nullptr, {"--frobnicate"}, {"unknown option '--frobnicate'"}, 2},
        {"bad round count", nullptr, {"--rounds", "many"}, {"--rounds takes a whole number"}, 2},
        {"log cannot be opened", nullptr, {"--config", "site.json", "--log", "/nonexistent/dir/h.log"},
         {"cannot open log '/nonexistent/dir/h.log': No such file or directory"}, 1},
        {"commit interval too long", nullptr, {"--commit-every", "11"}, {"--commit-every takes seconds from 0 to 10"}, 2},
        {"budget too small", nullptr, {"--max-db", "7"}, {"--max-db takes whole megabytes"}, 2},
        {"database cannot be created", nullptr,
         {"--config", "site.json", "--db", "/nonexistent/dir/h.db"},
         {"cannot open history database '/nonexistent/dir/h.db'"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plortest::TempDir dir;
        dir.write("site.json", kGoodSite);
        if (c.setup) c.setup(dir);
        std::set<std::string> before = entries(dir.path());
        before.insert({"stdout.txt", "stderr.txt"});  // the process's own
        std::vector<std::string> argv{SMD_HOST_EXE};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        if (std::find(c.args.begin(), c.args.end(), "--plugin") == c.args.end()) {
            argv.push_back("--plugin");
            argv.push_back(PLOR_SPS_MODULE);
        }
        smdtest::Process p(argv, dir.path());
        EXPECT_EQ(p.wait(10000), c.status);
        const std::string err = p.err();
        for (const auto& m : c.message)
            EXPECT_NE(err.find(m), std::string::npos) << "wanted: " << m << "\nstderr: " << err;
        if (c.status == 1) {
            // One message, on one line; nothing on standard output claims success.
            EXPECT_EQ(smdtest::countOf(err, "smd-host: "), 1) << err;
            EXPECT_EQ(p.out().find("history:"), std::string::npos) << p.out();
            // Nor a database it made on the way.
            EXPECT_EQ(entries(dir.path()), before);
        }
    }
}

TEST(CommandLine, DevicesOnOnePortAtOneSpeedStart) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string port = ::ptsname(master);
    plortest::TempDir dir;
    // One at the default speed, one naming it.
    dir.write("site.json", R"({"devices": [
        {"name": "east", "dataId": 1,
         "settings": {"hostSetting": {"serialPort": ")" + port + R"(", "slaveAddress": 1}}},
        {"name": "west", "dataId": 2,
         "settings": {"hostSetting": {"serialPort": ")" + port + R"(", "slaveAddress": 2,
                                      "baudRate": 9600}}}]})");
    smdtest::Process p({SMD_HOST_EXE, "--config", "site.json", "--plugin", PLOR_SPS_MODULE,
                        "--json", "--stop-wait", "5"},
                       dir.path());
    EXPECT_TRUE(p.waitForOutput("ready: ", 2, 10000)) << p.out() << p.err();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0) << p.err();
    EXPECT_EQ(p.err().find("smd-host: "), std::string::npos) << p.err();
    ::close(master);
}

TEST(CommandLine, UnreadablePluginIsNamed) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    plortest::TempDir dir;
    dir.write("site.json", kGoodSite);
    dir.write("locked.so", "x");
    ::chmod(dir.file("locked.so").c_str(), 0);
    smdtest::Process p({SMD_HOST_EXE, "--config", "site.json", "--plugin", "locked.so"}, dir.path());
    EXPECT_EQ(p.wait(10000), 1);
    EXPECT_NE(p.err().find("plug-in 'locked.so' is not readable"), std::string::npos) << p.err();
}

TEST(CommandLine, StuckDeviceHoldsNeitherTheOthersNorTheStop) {
    plortest::TempDir dir;
    dir.write("site.json", R"({"devices": [
        {"name": "fast", "dataId": 1, "pollIntervalMs": 10},
        {"name": "stuck", "dataId": 2}]})");
    smdtest::Process p({SMD_HOST_EXE, "--config", "site.json", "--plugin", STUCK_PLUGIN,
                        "--stop-wait", "0.5"},
                       dir.path());
    ASSERT_TRUE(p.waitForOutput(" fast  temp ", 5, 10000)) << p.out() << p.err();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 1);
    EXPECT_NE(p.err().find("device 'stuck' did not finish its round within 500 ms; leaving "
                           "without it"),
              std::string::npos)
        << p.err();
    // What was stored stays stored.
    const std::string out = p.out();
    EXPECT_NE(out.find("history: "), std::string::npos) << out;
    EXPECT_EQ(smdtest::countOf(out, " stuck  temp "), 0);
}

TEST(CommandLine, DevicesWithoutRoundsAreSaidStaleAndDoNotSpin) {
    plortest::TempDir dir;
    dir.write("site.json", R"({"devices": [
        {"name": "fast", "dataId": 1, "pollIntervalMs": 10},
        {"name": "stuck", "dataId": 2},
        {"name": "idle", "dataId": 3, "pollIntervalMs": 0},
        {"name": "late", "dataId": 4, "pollIntervalMs": 50}]})");
    smdtest::Process p({SMD_HOST_EXE, "--config", "site.json", "--plugin", STUCK_PLUGIN, "--db",
                        "h.db", "--json", "--verbose", "--stale-after", "0.3", "--stop-wait", "0.5"},
                       dir.path());
    ASSERT_TRUE(p.waitForOutput(R"("event":"fresh")", 1, 10000)) << p.out() << p.err();
    ASSERT_TRUE(p.waitForOutput(R"("event":"stale")", 3, 10000)) << p.out() << p.err();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(5000), 1);
    EXPECT_NE(p.err().find("device 'stuck' did not finish its round within 500 ms (it is STALE)"),
              std::string::npos) << p.err();
    std::map<std::string, std::string> last;  // device: its last stale/fresh event
    int refreshes = 0;
    std::istringstream lines(p.out());
    for (std::string line; std::getline(lines, line);) {
        Json::Value v;
        std::istringstream(line) >> v;
        const std::string event = v["event"].asString();
        if (event == "stale" || event == "fresh") {
            EXPECT_GE(v["ageSeconds"].asDouble(), event == "stale" ? 0.3 : 0.0) << line;
            last[v["device"].asString()] += event + " ";
        }
        if (v["text"] == "refresh without a round") ++refreshes;
    }
    EXPECT_EQ(last, (std::map<std::string, std::string>{
                        {"stuck", "stale "}, {"idle", "stale "}, {"late", "stale fresh "}}));
    // pollIntervalMs 0 without a round: a short pause, not thousands a second.
    EXPECT_LT(refreshes, 40) << p.out();
    smdhost::HistoryStore store(dir.file("h.db"), true);
    const auto stored = store.transitions("late", 0);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].signalId + (stored[0].raised ? "+" : "-") + stored[1].signalId +
                  (stored[1].raised ? "+" : "-"),
              "STALE+STALE-");
}

TEST(CommandLine, NoThreadToBeHadIsOneLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || PLOR_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than this leaves";
#endif
    if (PLOR_EMULATED) GTEST_SKIP() << "the emulator itself needs the threads this denies";
    plortest::TempDir dir;
    dir.write("site.json", kGoodSite);
    // Every thread's stack would be bigger than the whole address space.
    smdtest::Process p({"/bin/sh", "-c", "ulimit -s 4000000; ulimit -v 3000000; exec \"$@\"", "sh",
                        SMD_HOST_EXE, "--config", "site.json", "--plugin", PLOR_SPS_MODULE},
                       dir.path());
    EXPECT_EQ(p.wait(10000), 1);
    EXPECT_EQ(smdtest::countOf(p.err(), "smd-host: "), 1) << p.err();
    EXPECT_NE(p.err().find("smd-host: cannot start a thread: "), std::string::npos) << p.err();
}
