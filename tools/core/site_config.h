// The site configuration: which devices the host creates and the settings
// document each one receives.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

namespace smdhost {

struct DeviceConfig {
    std::string name;         // how the host names the device in output and history
    unsigned int dataId = 0;
    Json::Value settings;     // handed to InitSetting as it stands
    int pollIntervalMs = 1000;
    int staleAfterMs = 0;     // 0: from the poll interval

    // Host settings inside the document ("hostSetting"), empty/0 when absent.
    std::string serialPort() const;
    int replyTimeoutMs() const;
};

struct SiteConfig {
    std::string plugin;    // empty: the host's default
    std::string database;  // empty: the host's default
    int maxDatabaseMB = 0; // the history's size budget; 0: none
    std::vector<DeviceConfig> devices;
};

// One message naming the source and the offending key.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

SiteConfig parseSiteConfig(const std::string& text, const std::string& source);
SiteConfig loadSiteConfig(const std::string& path);

// One simulated supply on a stand-in board: used with --simulate when no
// configuration is given.
const char* defaultSiteConfigText();

}  // namespace smdhost
