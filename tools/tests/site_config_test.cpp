#include <gtest/gtest.h>

#include "site_config.h"
#include "test_support.h"

using smdhost::ConfigError;
using smdhost::parseSiteConfig;

TEST(SiteConfig, ReadsDevicesWithDefaults) {
    const auto site = parseSiteConfig(R"({
        "plugin": "lib/plor_sps.so",
        "devices": [
          {"dataId": 7, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1", "replyTimeoutMs": 250}}},
          {"name": "east", "dataId": 8, "pollIntervalMs": 0, "settings": [1]}
        ]})",
                                      "s.json");
    EXPECT_EQ(site.plugin, "lib/plor_sps.so");
    EXPECT_TRUE(site.database.empty());
    EXPECT_EQ(site.maxDatabaseMB, 0);
    EXPECT_EQ(parseSiteConfig(R"({"maxDatabaseMB": 200, "devices": [{"dataId": 1}]})", "s").maxDatabaseMB, 200);
    ASSERT_EQ(site.devices.size(), 2u);
    EXPECT_EQ(site.devices[0].name, "sps7");
    EXPECT_EQ(site.devices[0].pollIntervalMs, 1000);
    EXPECT_EQ(site.devices[0].serialPort(), "/dev/ttyS1");
    EXPECT_EQ(site.devices[0].replyTimeoutMs(), 250);
    EXPECT_EQ(site.devices[1].name, "east");
    EXPECT_EQ(site.devices[1].pollIntervalMs, 0);
    // A settings document the driver will refuse still reaches it.
    EXPECT_TRUE(site.devices[1].settings.isArray());
    EXPECT_EQ(site.devices[1].serialPort(), "");
    EXPECT_EQ(site.devices[1].replyTimeoutMs(), 1000);
}

TEST(SiteConfig, RejectsWithTheKeyNamed) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"{", "invalid JSON"},
        {"[]", "top level must be a JSON object"},
        {"{}", "'devices' must be a non-empty array"},
        {R"({"devices": []})", "'devices' must be a non-empty array"},
        {R"({"devices": [3]})", "devices[0] must be an object"},
        {R"({"devices": [{}]})", "devices[0].dataId must be"},
        {R"({"devices": [{"dataId": -1}]})", "devices[0].dataId must be"},
        {R"({"devices": [{"dataId": 4294967296}]})", "devices[0].dataId must be"},
        {R"({"devices": [{"dataId": "1"}]})", "devices[0].dataId must be"},
        {R"({"devices": [{"dataId": 1, "name": "a b"}]})", "devices[0].name must be"},
        // GBK bytes, a stray byte, a lone surrogate: a scrape or a JSON reply would fail on them.
        {"{\"devices\": [{\"dataId\": 1, \"name\": \"\xd5\xbe\xb5\xe3\"}]}",
         R"(devices[0].name must be UTF-8 text, not "\xD5\xBE\xB5\xE3")"},
        {"{\"devices\": [{\"dataId\": 1, \"name\": \"sps\xff\"}]}", R"(not "sps\xFF")"},
        {R"({"devices": [{"dataId": 1, "name": "a\udc80"}]})", "name must be UTF-8"},
        {R"({"devices": [{"dataId": 1}, {"dataId": 1}]})", "devices[1] (sps1): name used twice"},
        {R"({"devices": [{"dataId": 1, "name": "x"}, {"dataId": 1}]})", "dataId used twice"},
        {R"({"devices": [{"dataId": 1, "pollIntervalMs": 1.5}]})", "(sps1).pollIntervalMs"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": 5}}]})",
         "settings.hostSetting must be an object"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"serialPort": 3}}}]})",
         "settings.hostSetting.serialPort"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"slaveAddress": 300}}}]})",
         "settings.hostSetting.slaveAddress"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"replyTimeoutMs": 0}}}]})",
         "settings.hostSetting.replyTimeoutMs"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"replyTimeoutMs": 60001}}}]})",
         "settings.hostSetting.replyTimeoutMs"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"baudRate": 12345}}}]})",
         "settings.hostSetting.baudRate"},
        {R"({"devices": [
            {"dataId": 1, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1", "baudRate": 9600}}},
            {"dataId": 2, "settings": {"hostSetting": {"serialPort": "/dev/ttyS2", "baudRate": 4800}}},
            {"dataId": 3, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1", "baudRate": 19200}}}]})",
         "devices[2] (sps3) wants serial port '/dev/ttyS1' at 19200 bit/s, but devices[0] (sps1) "
         "has it at 9600 bit/s"},
        // Without "baudRate" a device runs at 9600 bit/s.
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1"}}},
            {"dataId": 2, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1", "baudRate": 2400}}}]})",
         "devices[1] (sps2) wants serial port '/dev/ttyS1' at 2400 bit/s, but devices[0] (sps1) "
         "has it at 9600 bit/s"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1"}}},
            {"dataId": 2, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1", "slaveAddress": 2,
                                                       "parity": "even"}}}]})",
         "devices[1] (sps2) wants serial port '/dev/ttyS1' with parity \"even\", but devices[0] "
         "(sps1) has it with \"none\""},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1"}}},
            {"dataId": 2, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1", "slaveAddress": 1}}}]})",
         "devices[1] (sps2) and devices[0] (sps1) both have slaveAddress 1 on serial port '/dev/ttyS1'"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"parity": "mark"}}}]})",
         "settings.hostSetting.parity must be \"none\", \"even\" or \"odd\""},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"stopBits": 1.5}}}]})",
         "settings.hostSetting.stopBits must be 1 or 2"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"localEcho": true}}}]})",
         "settings.hostSetting.localEcho must be"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"rs485": {"rtsOnSend": 1}}}}]})",
         "settings.hostSetting.rs485.rtsOnSend must be true or false"},
        {R"({"devices": [{"dataId": 1, "settings": {"hostSetting": {"rs485": {"delayAfterSendMs": 101}}}}]})",
         "settings.hostSetting.rs485.delayAfterSendMs must be an integer from 0 to 100"},
        {R"({"plugin": 1, "devices": [{"dataId": 1}]})", "'plugin' must be"},
        {R"({"devices": [{"dataId": 1}], "devices": []})", "invalid JSON"},
        {R"({"maxDatabaseMB": 7, "devices": [{"dataId": 1}]})", "'maxDatabaseMB' must be 0 (none) or at least 8"},
        {R"({"maxDatabaseMB": "200", "devices": [{"dataId": 1}]})", "'maxDatabaseMB' must be an integer"},
    };
    for (const auto& c : cases) {
        try {
            parseSiteConfig(c.text, "site.json");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ConfigError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.message), std::string::npos) << what << " | wanted: " << c.message;
            EXPECT_EQ(what.rfind("site configuration 'site.json': ", 0), 0u) << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
}

TEST(SiteConfig, DevicesShareAPortAtOneSpeed) {
    const auto site = parseSiteConfig(R"({"devices": [
        {"dataId": 1, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1", "slaveAddress": 1}}},
        {"dataId": 2, "settings": {"hostSetting": {"serialPort": "/dev/ttyS1", "slaveAddress": 2,
                                                   "baudRate": 9600}}},
        {"dataId": 3, "settings": {"hostSetting": {"serialPort": "/dev/ttyS2", "baudRate": 19200}}},
        {"dataId": 4, "settings": {"hostSetting": {"serialPort": "/dev/ttyS2", "baudRate": 19200,
                                                   "slaveAddress": 2}}},
        {"dataId": 5, "settings": {"hostSetting": {"baudRate": 1200}}}]})",
                                      "s.json");
    EXPECT_EQ(site.devices.size(), 5u);
}

TEST(SiteConfig, FileErrorsNameTheFile) {
    plortest::TempDir dir;
    EXPECT_THROW(
        {
            try {
                smdhost::loadSiteConfig(dir.file("none.json"));
            } catch (const ConfigError& e) {
                EXPECT_NE(std::string(e.what()).find("none.json': No such file"), std::string::npos)
                    << e.what();
                throw;
            }
        },
        ConfigError);
    EXPECT_THROW(smdhost::loadSiteConfig(dir.path()), ConfigError);
    dir.write("ok.json", R"({"devices": [{"dataId": 3}]})");
    EXPECT_EQ(smdhost::loadSiteConfig(dir.file("ok.json")).devices.at(0).dataId, 3u);
}

TEST(SiteConfig, DefaultSiteIsValid) {
    const auto site = parseSiteConfig(smdhost::defaultSiteConfigText(), "default");
    ASSERT_EQ(site.devices.size(), 1u);
    EXPECT_TRUE(site.devices[0].settings["hostSetting"].isObject());
}

TEST(SiteConfig, RefusesHostileDocumentsNamingTheFile) {
    const std::string deep = R"({"devices": [{"dataId": 1, "settings": )" +
                             std::string(100000, '[') + std::string(100000, ']') + "}]}";
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {deep, "invalid JSON: nested deeper than 64 levels"},
        {R"({"devices": [{"dataId": 1}]} {"more": 1})", "invalid JSON"},
        {std::string(R"({"devices": [{"dataId": 1, "name": "a\u0000b"}]})"), "devices[0].name"},
        {R"({"database": "h.db\u0000x", "devices": [{"dataId": 1}]})", "'database' must be"},
    };
    for (const auto& c : cases) {
        try {
            smdhost::parseSiteConfig(c.text, "hostile.json");
            ADD_FAILURE() << "accepted: " << c.text.substr(0, 80);
        } catch (const smdhost::ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find("site configuration 'hostile.json': "),
                      std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}
