// The web front's pieces that need no server: the address option, the live
// state's age and staleness, the exposition text, the API's history reply.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "history_store.h"
#include "http_server.h"
#include "metrics.h"
#include "test_support.h"
#include "utf8_text.h"
#include "web_api.h"

using namespace smdhost;

TEST(WebAddress, PortAloneIsLoopback) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } cases[] = {
        {"8080", true, "127.0.0.1", 8080},  {":9810", true, "127.0.0.1", 9810},
        {"0.0.0.0:80", true, "0.0.0.0", 80}, {"[::1]:0", true, "::1", 0},
        {"::1:80", false, "", 0},           {"65536", false, "", 0},
        {"host:", false, "", 0},            {"12x", false, "", 0},
        {"", false, "", 0},                 {"-1", false, "", 0},
    };
    for (const auto& c : cases) {
        HttpOptions o;
        std::string why;
        EXPECT_EQ(parseHttpAddress(c.text, o, why), c.ok) << c.text;
        if (c.ok) EXPECT_EQ(o.host + ":" + std::to_string(o.port),
                            std::string(c.host) + ":" + std::to_string(c.port)) << c.text;
        else EXPECT_FALSE(why.empty()) << c.text;
    }
}

TEST(WebState, AgeStalenessAlarmsAndOutcomes) {
    double now = 1000;
    SiteState s([&] { return now; });
    s.addDevice("a", 1, 1000);  // stale after 3 × (1 s + 0.8 s) without a round, as the host
    s.addDevice("b\"\\\n", 2, 200, 10);
    s.restoreAlarm("a", kAlarms[4].signalId, kAlarms[4].name, 0);
    Record r;
    r.dcVoltage = 53.2f;
    r.acVoltage = std::numeric_limits<float>::quiet_NaN();
    s.round("a", r, true);  // a restored record shows, but is no round
    SiteView v = s.view();
    EXPECT_TRUE(v.devices[0].hasValues);
    EXPECT_EQ(v.devices[0].rounds, 0);
    EXPECT_EQ(v.devices[0].age, -1);
    EXPECT_FALSE(v.devices[0].stale);
    now = 1005.3;
    EXPECT_FALSE(s.view().devices[0].stale);
    now = 1005.5;
    EXPECT_TRUE(s.view().devices[0].stale);  // nothing since the start
    now = 1004;
    RoundEvent round;
    round.device = "a";
    round.record = r;
    s.onEvent(round);
    AlarmEvent cleared;
    cleared.device = "a";
    cleared.signalId = kAlarms[4].signalId;
    s.onEvent(cleared);
    s.alarm("a", kAlarms[0].signalId, kAlarms[0].name, true);
    s.alarm("a", kAlarms[0].signalId, kAlarms[0].name, true);  // no second entry
    WriteOutcomeEvent confirmed;
    confirmed.device = "a";
    confirmed.result = "confirmed";
    s.onEvent(confirmed);
    s.writeOutcome("a", "made-up");
    s.abandoned("b\"\\\n");
    now = 1006;
    v = s.view();
    const DeviceView& a = v.devices[0];
    EXPECT_EQ(a.age, 2);
    EXPECT_FALSE(a.stale);
    ASSERT_EQ(a.activeAlarms.size(), 1u);
    EXPECT_EQ(a.activeAlarms[0].raisedAt, 1004);
    EXPECT_TRUE(a.alarms[0]);
    EXPECT_FALSE(a.alarms[4]);
    EXPECT_EQ(a.writes.at("confirmed"), 1);
    EXPECT_EQ(a.writes.at("other"), 1);
    // Counted once per raise, not per report; the restored alarm's clear is no raise.
    EXPECT_EQ(a.raises, (std::array<long long, 6>{1, 0, 0, 0, 0, 0}));
    ASSERT_EQ(a.recent.size(), 2u);
    EXPECT_TRUE(!a.recent[0].raised && a.recent[0].alarm == 4 && a.recent[1].raised &&
                a.recent[1].alarm == 0 && a.recent[1].at == 1004);
    StaleEvent stale;
    stale.device = "a";
    stale.stale = true;
    s.onEvent(stale);  // the host's verdict wins over age
    EXPECT_TRUE(s.view().devices[0].stale);

    const std::string m = renderMetrics(s.view());
    EXPECT_NE(m.find("plor_sps_dc_voltage_volts{device=\"a\",data_id=\"1\"} 53.2\n"), std::string::npos);
    EXPECT_NE(m.find("plor_sps_ac_voltage_volts{device=\"a\",data_id=\"1\"} NaN\n"), std::string::npos);
    EXPECT_NE(m.find("plor_sps_alarm{device=\"a\",data_id=\"1\",alarm=\"dc_low\","), std::string::npos);
    EXPECT_NE(m.find("plor_sps_alarm_raises_total{device=\"a\",data_id=\"1\",alarm=\"dc_low\","
                     "signal_id=\"41B220302001\",name=\"直流输出电压过低\"} 1\n"),
              std::string::npos);
    // b has no values yet: no readings, but its counters and alarms, labels escaped.
    EXPECT_EQ(m.find("plor_sps_dc_voltage_volts{device=\"b"), std::string::npos);
    EXPECT_NE(m.find("plor_sps_rounds_abandoned_total{device=\"b\\\"\\\\\\n\",data_id=\"2\"} 1\n"),
              std::string::npos);
    EXPECT_NE(m.find("plor_sps_last_round_timestamp_seconds{device=\"a\",data_id=\"1\"} 1004\n"),
              std::string::npos);
}

TEST(WebApi, HistoryFromTheStoreWithinRangeAndPoints) {
    plortest::TempDir dir;
    const std::string db = dir.file("h.db");
    double now = 0;
    {
        HistoryStore store(db, false);
        unsigned char image[kRecordSize] = {};
        image[0] = 1;
        for (int i = 0; i < 30; ++i) {
            std::time_t t = 1700000000 + i;
            std::tm tm{};
            localtime_r(&t, &tm);
            char at[32];
            std::strftime(at, sizeof at, "%Y-%m-%d %H:%M:%S.000", &tm);
            const int year = tm.tm_year + 1900;
            const int fields[] = {year & 0xff, year >> 8, tm.tm_mon + 1, tm.tm_mday,
                                  tm.tm_hour, tm.tm_min, tm.tm_sec};
            for (int k = 0; k < 7; ++k) image[30 + k] = static_cast<unsigned char>(fields[k]);
            store.addRound("a", 1, "round", image, sizeof image, at);
        }
    }
    SiteState s([&] { return now; });
    s.addDevice("a", 1, 1000);
    now = 1700000029;
    Json::Value j;
    Json::Reader reader;
    HistoryStore history(db, true);
    const Reply r = apiHistory(s.view(), &history, {{"device", "a"}, {"from", "1700000005"},
                                              {"to", "1700000024"}, {"points", "4"}});
    ASSERT_EQ(r.status, 200) << r.body;
    ASSERT_TRUE(reader.parse(r.body, j));
    ASSERT_GE(j["t"].size(), 1u);
    ASSERT_LE(j["t"].size(), 4u);
    EXPECT_GE(j["t"][0].asInt64(), 1700000005);
    EXPECT_LE(j["t"][j["t"].size() - 1].asInt64(), 1700000024);
    EXPECT_EQ(j["readings"]["dcVoltage"]["mean"].size(), j["t"].size());
    ASSERT_TRUE(reader.parse(apiHistory(s.view(), &history, {{"device", "a"}, {"from", "1700000030"},
                                                       {"to", "1700000099"}}).body, j));
    EXPECT_EQ(j["t"].size(), 0u);
    EXPECT_EQ(apiHistory(s.view(), nullptr, {{"device", "a"}}).status, 503);
}

TEST(WebText, BytesThatAreNotUtf8Replaced) {
    const std::string bad = "\xEF\xBF\xBD";
    const struct {
        std::string in, out;
    } cases[] = {
        {"sps1", "sps1"},
        {"25 \xC2\xB0""C \xE5\xB8\x82\xE7\x94\xB5 \xF0\x9F\x94\x8B", "25 \xC2\xB0""C \xE5\xB8\x82\xE7\x94\xB5 \xF0\x9F\x94\x8B"},
        {"sps\xFF", "sps" + bad},
        {"\xD5\xBE\xB5\xE3", "\xD5\xBE" + bad + bad},  // GBK: its first two bytes happen to be UTF-8
        {"a\xE5\xB8", "a" + bad + bad},                   // cut short at the end
        {"\xC0\xAF", bad + bad},                          // overlong '/'
        {"\xED\xA0\x80", bad + bad + bad},               // a surrogate
        {"\xF4\x90\x80\x80", bad + bad + bad + bad},    // past U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(validUtf8(c.in), c.out) << c.in;
}

// Pages of transitions join up into the whole range, however the page size
// falls on rows of one second, and with the clock set back in the middle.
TEST(WebApi, TransitionsInPagesThatJoinUp) {
    plortest::TempDir dir;
    const std::string db = dir.file("h.db");
    {
        HistoryStore store(db, false);
        const char* const at[] = {"2026-01-01 10:00:00", "2026-01-01 10:00:05", "2026-01-01 10:00:05",
                                  "2026-01-01 10:00:05", "2026-01-01 09:59:50", "2026-01-01 10:00:09",
                                  "2026-01-01 10:00:09"};
        for (int i = 0; i < 7; ++i)
            store.addTransition("a", 1, at[i], "41B415001001", "mains", std::to_string(i), i % 2 == 0);
    }
    SiteState s([] { return 1767300000.0 + 30 * 86400; });  // February 2026
    s.addDevice("a", 1, 1000);
    HistoryStore history(db, true);
    Json::Reader reader;
    const auto page = [&](const Params& p) {
        const Reply r = apiTransitions(s.view(), &history, p);
        Json::Value j;
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_TRUE(reader.parse(r.body, j)) << r.body;
        return j;
    };
    const Json::Value all = page({{"device", "a"}, {"range", "year"}});
    ASSERT_EQ(all["transitions"].size(), 7u);
    EXPECT_TRUE(all["next"].isNull());
    EXPECT_EQ(all["transitions"][0]["value"].asString(), "4");  // the earliest time first
    for (const char* limit : {"1", "2", "3", "6"}) {
        Params p{{"device", "a"}, {"range", "year"}, {"limit", limit}};
        std::vector<std::string> values;
        for (int pages = 0; pages < 10; ++pages) {
            const Json::Value j = page(p);
            for (const auto& x : j["transitions"]) values.push_back(x["value"].asString());
            if (j["next"].isNull()) break;
            EXPECT_EQ(j["transitions"].size(), std::stoul(limit));
            p = {{"device", "a"}};
            for (const char* k : {"from", "to", "after", "limit"}) p[k] = j["next"][k].asString();
        }
        EXPECT_EQ(values, (std::vector<std::string>{"4", "0", "1", "2", "3", "5", "6"})) << limit;
    }
    for (const Params& p : std::vector<Params>{{{"limit", "0"}}, {{"limit", "5001"}},
                                               {{"limit", "x"}}, {{"after", "-1"}}}) {
        Params q = p;
        q["device"] = "a";
        EXPECT_EQ(apiTransitions(s.view(), &history, q).status, 400) << p.begin()->first;
    }
}
