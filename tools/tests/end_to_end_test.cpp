// smd-host with the real plug-in, its real timing and the simulated board
// and supply. These write /tmp/plor_ai1..4 (CTest runs them under a lock).
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "history_store.h"
#include "process.h"
#include "record.h"
#include "test_support.h"

using smdtest::countOf;
using smdtest::Process;

namespace {

const std::string kRoundMark = " sps1  temp ";
const std::string kMainsFail = "41B415001001";

std::vector<std::string> hostArgs(const plortest::TempDir& dir, std::vector<std::string> extra) {
    std::vector<std::string> argv{SMD_HOST_EXE, "--plugin", PLOR_SPS_MODULE, "--db",
                                  dir.file("history.db")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

}  // namespace

TEST(EndToEnd, MainsFailureRunThenRestore) {
    plortest::TempDir dir;
    Process run(hostArgs(dir, {"--simulate", SMD_TEST_DATA "/e2e.scn", "--rounds", "6"}),
                dir.path());
    ASSERT_EQ(run.wait(60000), 0) << run.err();
    const std::string out = run.out();
    SCOPED_TRACE(out);

    EXPECT_EQ(countOf(out, kRoundMark), 6);
    EXPECT_EQ(countOf(out, "ALARM RAISED  " + kMainsFail + " 市电故障"), 1);
    EXPECT_EQ(countOf(out, "ALARM CLEARED " + kMainsFail + " 市电故障"), 1);
    EXPECT_EQ(countOf(out, "supply: register 40 <- 535, echo sent"), 1);
    EXPECT_EQ(countOf(out, "write register 40 = 535 confirmed by the supply (outcome 1)"), 1);
    EXPECT_EQ(countOf(out, "write register 41 = 1 NOT confirmed: the supply's echo differs (outcome 3)"), 1);
    EXPECT_EQ(countOf(out, "write registers from 50: 1 2 timed out: no reply within 1000 ms"), 1);
    EXPECT_EQ(countOf(out, "history: 6 records and"), 1);

    smdhost::HistoryStore store(dir.file("history.db"), true);
    const auto rows = store.rounds("sps1", 0);
    ASSERT_EQ(rows.size(), 6u);
    bool sawFailure = false;
    for (const auto& row : rows) {
        smdhost::Record r;
        ASSERT_TRUE(smdhost::decodeRecord(row.image.data(), row.image.size(), r));
        EXPECT_EQ(r.dataId, 1u);
        EXPECT_EQ(row.source, "round");
        if (r.alarms[4] != 0) {
            sawFailure = true;
            EXPECT_FLOAT_EQ(r.acVoltage, 80.0f);
        }
    }
    EXPECT_TRUE(sawFailure);
    const auto transitions = store.transitions("sps1", 0);
    const long long transitionsAfterRun = store.countTransitions("sps1");
    ASSERT_GE(transitions.size(), 2u);

    // A second start hands the last record back before its first round and
    // raises nothing again: the alarms were cleared when the first run ended.
    Process again(hostArgs(dir, {"--simulate", SMD_TEST_DATA "/e2e.scn", "--rounds", "1", "--json"}),
                  dir.path());
    ASSERT_EQ(again.wait(30000), 0) << again.err();
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::vector<Json::Value> rounds;
    std::istringstream lines(again.out());
    for (std::string line; std::getline(lines, line);) {
        Json::Value v;
        std::string errs;
        ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &errs)) << line;
        if (v["event"] == "round") rounds.push_back(v);
    }
    ASSERT_EQ(rounds.size(), 2u) << again.out();
    EXPECT_TRUE(rounds[0]["restored"].asBool());
    EXPECT_FALSE(rounds[1]["restored"].asBool());

    smdhost::HistoryStore after(dir.file("history.db"), true);
    const auto all = after.rounds("sps1", 0);
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all[6].source, "restore");
    // Everything but the time stamp is the first run's last record.
    EXPECT_TRUE(std::equal(all[5].image.begin(), all[5].image.begin() + 30, all[6].image.begin()));
    EXPECT_EQ(after.countTransitions("sps1"), transitionsAfterRun);
}

TEST(EndToEnd, ShippedSiteWithTwoDevices) {
    plortest::TempDir dir;
    dir.write("two.scn",
              "0 930 535 5350 2200\n"
              "0.2 command sps2: write 5 6\n");
    Process run(hostArgs(dir, {"--config", PLOR_SOURCE_DIR "/examples/site.json", "--simulate",
                               "two.scn", "--rounds", "2"}),
                dir.path());
    ASSERT_EQ(run.wait(60000), 0) << run.err();
    const std::string out = run.out();
    EXPECT_EQ(countOf(out, " sps1  temp 25 C  load 53.5 A  dc 53.5 V  ac 220 V"), 2) << out;
    EXPECT_EQ(countOf(out, " sps2  temp 25 C  load 53.5 A  dc 53.5 V  ac 220 V"), 2) << out;
    EXPECT_EQ(countOf(out, "sps2  write register 5 = 6 confirmed by the supply"), 1) << out;
    // --db given on the command line wins over the configuration's database.
    smdhost::HistoryStore store(dir.file("history.db"), true);
    EXPECT_EQ(store.countRounds("sps1"), 2);
    EXPECT_EQ(store.countRounds("sps2"), 2);
}

TEST(EndToEnd, SigtermFinishesAndStoresTheRoundInProgress) {
    plortest::TempDir dir;
    Process run(hostArgs(dir, {"--simulate", "normal"}), dir.path());
    ASSERT_TRUE(run.waitForOutput(kRoundMark, 2, 20000)) << run.out() << run.err();
    run.signal(SIGTERM);
    ASSERT_EQ(run.wait(20000), 0) << run.err();
    const std::string out = run.out();
    EXPECT_EQ(countOf(out, "stopping on SIGTERM"), 1) << out;
    smdhost::HistoryStore store(dir.file("history.db"), true);
    // Every round printed is stored, the last one included.
    EXPECT_EQ(store.countRounds("sps1"), countOf(out, kRoundMark)) << out;
    EXPECT_EQ(::access("/tmp/plor_ai1", F_OK), -1) << "the simulated board cleans up";
}

TEST(EndToEnd, CommandsOnStandardInput) {
    plortest::TempDir dir;
    Process run(hostArgs(dir, {"--simulate", "normal"}), dir.path(),
                "result\n"
                "snapshot\n"
                "snapshot --raw\n"
                "snapshot --bogus\n"
                "write 0x10 010\n"
                "write 1\n"
                "writes 2 70000\n"
                "nobody: result\n"
                "sps1: bogus\n"
                "quit\n");
    ASSERT_EQ(run.wait(20000), 0) << run.err();
    const std::string out = run.out();
    SCOPED_TRACE(out);
    EXPECT_EQ(countOf(out, "sps1  last write outcome: -1 (none: no write yet"), 1);
    EXPECT_EQ(countOf(out, "sps1  snapshot (re-rendered): null  (no round yet)"), 1);
    EXPECT_EQ(countOf(out, "sps1  snapshot (plug-in's text): null  (no round yet)"), 1);
    EXPECT_EQ(countOf(out, "usage: snapshot [--raw]"), 1);
    EXPECT_EQ(countOf(out, "sps1  write register 16 = 10 confirmed by the supply"), 1);
    EXPECT_EQ(countOf(out, "usage: write ADDR VALUE"), 1);
    EXPECT_EQ(countOf(out, "'70000' is not a 16-bit value"), 1);
    EXPECT_EQ(countOf(out, "no device nobody"), 1);
    EXPECT_EQ(countOf(out, "unknown command 'sps1: bogus'"), 1);
    // quit waits for the round in progress, which is stored.
    smdhost::HistoryStore store(dir.file("history.db"), true);
    EXPECT_EQ(store.countRounds("sps1"), countOf(out, kRoundMark));
}

TEST(EndToEnd, UnstableInputNeverHangsTheHost) {
    plortest::TempDir dir;
    Process run(hostArgs(dir, {"--simulate", "unstable"}), dir.path());
    ASSERT_TRUE(run.waitForOutput("refresh ended without a round", 1, 30000)) << run.out();
    // No round for three poll intervals (each with the round's 0.8 s) is said out loud.
    ASSERT_TRUE(run.waitForOutput(" sps1  STALE: no round for ", 1, 30000)) << run.out();
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(20000), 0) << run.err();
    EXPECT_EQ(countOf(run.out(), "stopping on SIGINT"), 1) << run.out();
}

// Another program holding the database's write lock for longer than a device's
// stale time: the rounds go on, nothing turns STALE, and every round is stored
// once the lock goes.
TEST(EndToEnd, ALockedDatabaseHoldsUpNoRound) {
    plortest::TempDir dir;
    dir.write("site.json", R"({"devices": [
        {"name": "sps1", "dataId": 1, "pollIntervalMs": 200},
        {"name": "sps2", "dataId": 2, "pollIntervalMs": 200}]})");
    Process run(hostArgs(dir, {"--config", "site.json", "--simulate", "normal", "--rounds", "9"}),
                dir.path());
    ASSERT_TRUE(run.waitForOutput(kRoundMark, 1, 20000)) << run.out() << run.err();
    // Stale after 3 s at this poll interval; the lock is held for 5.
    plortest::TempDir lockDir;  // its own output files
    Process lock({"/usr/bin/sqlite3", dir.file("history.db")}, lockDir.path(),
                 ".timeout 10000\nBEGIN EXCLUSIVE;\nSELECT 'locked';\n.shell sleep 5\nCOMMIT;\n");
    ASSERT_TRUE(lock.waitForOutput("locked", 1, 10000)) << lock.err();
    const int roundsAtLock = countOf(run.out(), " temp ");
    ASSERT_EQ(lock.wait(20000), 0) << lock.err();
    const int roundsInLock = countOf(run.out(), " temp ") - roundsAtLock;
    ASSERT_EQ(run.wait(30000), 0) << run.err();
    const std::string out = run.out();
    SCOPED_TRACE(out + run.err());
    EXPECT_GE(roundsInLock, 6);  // both devices kept their pace through the lock
    EXPECT_EQ(countOf(out, "STALE"), 0);
    EXPECT_EQ(countOf(out, " sps1  temp "), 9);
    EXPECT_EQ(countOf(out, " sps2  temp "), 9);
    EXPECT_EQ(countOf(out, "history: 18 records and"), 1);
    smdhost::HistoryStore store(dir.file("history.db"), true);
    EXPECT_EQ(store.countRounds("sps1"), 9);
    EXPECT_EQ(store.countRounds("sps2"), 9);
}
