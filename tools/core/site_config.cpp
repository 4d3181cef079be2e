#include "site_config.h"

#include "files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <sstream>

#include "serial_limits.h"

namespace smdhost {

namespace {

const char* const kDefaultSite = R"({
  "devices": [
    {
      "name": "sps1",
      "dataId": 1,
      "pollIntervalMs": 200,
      "settings": {
        "appSetting": {
          "b_mode": 1,
          "a2": 0.1, "b2": 0,
          "ai3x1": 0, "ai3y1": 0, "ai3x2": 6000, "ai3y2": 60,
          "a4": 0.1, "b4": 0
        },
        "hostSetting": {"slaveAddress": 1, "baudRate": 9600, "replyTimeoutMs": 1000}
      }
    }
  ]
}
)";

std::string oneLine(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    std::string out;
    for (char c : s) {
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// Settings documents are shallow; the JSON library's own limit is far deeper.
constexpr int kMaxDepth = 64;

// A NUL would cut a path short where the system reads it.
bool isPath(const Json::Value& v) {
    return v.isString() && v.asString().find('\0') == std::string::npos;
}

bool hasSpaceOrControl(const std::string& s) {
    for (unsigned char c : s)
        if (c <= ' ' || c == ':' || c == 0x7f) return true;
    return false;
}

// Names end up in JSON and in Prometheus labels, where one byte that is
// not UTF-8 spoils the whole reply. Overlong forms and surrogates count as bad.
bool isUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                                       : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        const auto second = static_cast<unsigned char>(n > 1 ? s[i + 1] : 0x80);
        if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
            (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// A name as a reader can see it: bytes that are not printable ASCII as \xNN.
std::string shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char buf[8];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

bool isInt(const Json::Value& v) { return v.isInt64() || v.isUInt64(); }

int64_t intIn(const Json::Value& v, int64_t lo, int64_t hi, const std::string& where,
              const std::string& what) {
    if (!isInt(v) || (v.isUInt64() && v.asUInt64() > static_cast<uint64_t>(hi)) ||
        v.asInt64() < lo || v.asInt64() > hi)
        throw ConfigError(where + " must be " + what);
    return v.asInt64();
}

void checkHostSetting(const Json::Value& host, const std::string& where) {
    if (!host.isObject()) throw ConfigError(where + " must be an object");
    const Json::Value& port = host["serialPort"];
    if (!port.isNull() && !port.isString())
        throw ConfigError(where + ".serialPort must be a device path text");
    if (host.isMember("slaveAddress"))
        intIn(host["slaveAddress"], 1, 247, where + ".slaveAddress", "an integer from 1 to 247");
    // The ranges the stand-in's port applies; anything else it refuses.
    if (host.isMember("baudRate") &&
        !(host["baudRate"].isInt64() && smd::isBaudRate(host["baudRate"].asInt64())))
        throw ConfigError(where + ".baudRate must be one of " + smd::kBaudRateList);
    if (host.isMember("replyTimeoutMs"))
        intIn(host["replyTimeoutMs"], smd::kMinReplyTimeoutMs, smd::kMaxReplyTimeoutMs,
              where + ".replyTimeoutMs",
              "an integer from " + std::to_string(smd::kMinReplyTimeoutMs) + " to " +
                  std::to_string(smd::kMaxReplyTimeoutMs));
    if (host.isMember("parity") &&
        !(host["parity"].isString() && smd::isParity(host["parity"].asString())))
        throw ConfigError(where + ".parity must be " + smd::kParityList);
    if (host.isMember("stopBits")) intIn(host["stopBits"], 1, 2, where + ".stopBits", "1 or 2");
    if (host.isMember("localEcho") &&
        !(host["localEcho"].isString() && smd::isLocalEcho(host["localEcho"].asString())))
        throw ConfigError(where + ".localEcho must be " + smd::kLocalEchoList);
    if (!host.isMember("rs485")) return;
    const Json::Value& rs485 = host["rs485"];
    if (!rs485.isObject()) throw ConfigError(where + ".rs485 must be an object");
    for (const std::string& key : rs485.getMemberNames()) {
        const std::string at = where + ".rs485." + key;
        if (key == "enabled" || key == "rtsOnSend" || key == "rtsAfterSend") {
            if (!rs485[key].isBool()) throw ConfigError(at + " must be true or false");
        } else if (key == "delayBeforeSendMs" || key == "delayAfterSendMs") {
            intIn(rs485[key], 0, smd::kMaxRs485DelayMs, at,
                  "an integer from 0 to " + std::to_string(smd::kMaxRs485DelayMs));
        } else {
            throw ConfigError(at + " is not a setting (enabled, rtsOnSend, rtsAfterSend, "
                                   "delayBeforeSendMs, delayAfterSendMs)");
        }
    }
}

}  // namespace

std::string DeviceConfig::serialPort() const {
    if (!settings.isObject()) return std::string();
    const Json::Value& host = settings["hostSetting"];
    if (!host.isObject() || !host["serialPort"].isString()) return std::string();
    return host["serialPort"].asString();
}

int DeviceConfig::replyTimeoutMs() const {
    if (settings.isObject()) {
        const Json::Value& host = settings["hostSetting"];
        if (host.isObject() && isInt(host["replyTimeoutMs"])) return host["replyTimeoutMs"].asInt();
    }
    return 1000;
}

namespace {

// The document, or ConfigError with the reader's complaint on one line.
Json::Value parseJson(const std::string& text, const std::string& prefix) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    builder["stackLimit"] = kMaxDepth;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const std::exception&) {  // the library throws when nested too deep
        errors = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
    }
    if (!parsed) throw ConfigError(prefix + "invalid JSON: " + oneLine(errors));
    return root;
}

// One entry of "devices"; where: "devices[i]", for the messages.
DeviceConfig parseDevice(const Json::Value& entry, std::string where) {
    if (!entry.isObject()) throw ConfigError(where + " must be an object");
    DeviceConfig dev;
    dev.dataId = static_cast<unsigned int>(
        intIn(entry["dataId"], 0, std::numeric_limits<uint32_t>::max(), where + ".dataId",
              "an integer from 0 to 4294967295"));
    const Json::Value& name = entry["name"];
    if (name.isNull()) {
        dev.name = "sps" + std::to_string(dev.dataId);
    } else if (name.isString() && !isUtf8(name.asString())) {
        throw ConfigError(where + ".name must be UTF-8 text, not \"" + shown(name.asString()) + "\"");
    } else if (name.isString() && !name.asString().empty() && !hasSpaceOrControl(name.asString())) {
        dev.name = name.asString();
    } else {
        throw ConfigError(where + ".name must be a non-empty text without spaces, control characters or ':'");
    }
    where += " (" + dev.name + ")";
    if (entry.isMember("pollIntervalMs"))
        dev.pollIntervalMs = static_cast<int>(intIn(entry["pollIntervalMs"], 0, 3600000,
                                                    where + ".pollIntervalMs",
                                                    "an integer from 0 to 3600000"));
    if (entry.isMember("staleAfterMs"))
        dev.staleAfterMs = static_cast<int>(intIn(entry["staleAfterMs"], 1, 86400000,
                                                  where + ".staleAfterMs",
                                                  "an integer from 1 to 86400000"));
    dev.settings = entry.isMember("settings") ? entry["settings"] : Json::Value(Json::objectValue);
    // A settings document the driver refuses is InitSetting's to report;
    // only the host's own part is checked here.
    if (dev.settings.isObject() && dev.settings.isMember("hostSetting"))
        checkHostSetting(dev.settings["hostSetting"], where + ".settings.hostSetting");
    return dev;
}

// What devices on one line must agree on, as the stand-in applies it:
// name, the value's text with its default.
std::vector<std::pair<std::string, std::string>> lineSettings(const DeviceConfig& dev) {
    const Json::Value& host =
        dev.settings.isObject() ? dev.settings["hostSetting"] : Json::Value::nullSingleton();
    const auto text = [&host](const char* key, const char* otherwise) -> std::string {
        if (!host.isObject() || !host.isMember(key)) return otherwise;
        const Json::Value& v = host[key];
        return v.isString() ? "\"" + v.asString() + "\"" : oneLine(v.toStyledString());
    };
    // With its defaults filled in: {} and {"enabled": true} are one mode.
    std::string rs485 = "absent";
    if (host.isObject() && host["rs485"].isObject()) {
        const Json::Value& r = host["rs485"];
        const auto flag = [&r](const char* key, bool otherwise) {
            return std::string(key) + (r.get(key, otherwise).asBool() ? " on" : " off");
        };
        rs485 = "{" + flag("enabled", true) + ", " + flag("rtsOnSend", true) + ", " +
                flag("rtsAfterSend", false) + ", delays " +
                std::to_string(r.get("delayBeforeSendMs", 0).asInt()) + "/" +
                std::to_string(r.get("delayAfterSendMs", 0).asInt()) + " ms}";
    }
    // Devices without "baudRate" run at the speed their serial device starts with.
    return {{"baudRate", text("baudRate", "9600")},
            {"parity", text("parity", "\"none\"")},
            {"stopBits", text("stopBits", "1")},
            {"localEcho", text("localEcho", "\"auto\"")},
            {"rs485", rs485}};
}

int slaveOf(const DeviceConfig& dev) {
    const Json::Value& host = dev.settings["hostSetting"];
    return isInt(host["slaveAddress"]) ? host["slaveAddress"].asInt() : 1;
}

// Two names of one port (a by-id link and its tty) are one line.
std::string lineOf(const std::string& port) {
    char resolved[PATH_MAX];
    return ::realpath(port.c_str(), resolved) != nullptr ? std::string(resolved) : port;
}

// Devices on one port share one line, so its settings, and each answers at
// an address of its own: the host would refuse the second device, and the
// reason belongs here, naming the port, both devices and the setting.
void checkSharedPorts(const std::vector<DeviceConfig>& devices) {
    std::map<std::string, size_t> firstOnLine;
    std::map<std::pair<std::string, int>, size_t> atAddress;
    for (size_t i = 0; i < devices.size(); ++i) {
        const std::string port = devices[i].serialPort();
        if (port.empty()) continue;
        const std::string line = lineOf(port);
        const auto it = firstOnLine.emplace(line, i).first;
        const DeviceConfig& first = devices[it->second];
        const std::string mine = "devices[" + std::to_string(i) + "] (" + devices[i].name + ")";
        const std::string theirs =
            "devices[" + std::to_string(it->second) + "] (" + first.name + ")";
        const std::string both = port == first.serialPort()
                                     ? "serial port '" + port + "'"
                                     : "serial port '" + port + "' (the line of '" +
                                           first.serialPort() + "')";
        const auto want = lineSettings(devices[i]);
        const auto have = lineSettings(first);
        for (size_t k = 0; k < want.size(); ++k) {
            if (want[k].second == have[k].second) continue;
            if (k == 0)
                throw ConfigError(mine + " wants " + both + " at " + want[k].second +
                                  " bit/s, but " + theirs + " has it at " + have[k].second +
                                  " bit/s; devices on one port share its speed");
            throw ConfigError(mine + " wants " + both + " with " + want[k].first + " " +
                              want[k].second + ", but " + theirs + " has it with " +
                              have[k].second + "; devices on one port share its " +
                              want[k].first);
        }
        const auto at = atAddress.emplace(std::make_pair(line, slaveOf(devices[i])), i);
        if (at.second) continue;
        const DeviceConfig& other = devices[at.first->second];
        throw ConfigError(mine + " and devices[" + std::to_string(at.first->second) + "] (" +
                          other.name + ") both have slaveAddress " +
                          std::to_string(slaveOf(devices[i])) + " on serial port '" + port +
                          "'; devices on one port need addresses of their own");
    }
}

std::string pathMember(const Json::Value& root, const char* key) {
    const Json::Value& v = root[key];
    if (v.isNull()) return std::string();
    if (!isPath(v)) throw ConfigError(std::string("'") + key + "' must be a path text");
    return v.asString();
}

}  // namespace

SiteConfig parseSiteConfig(const std::string& text, const std::string& source) {
    const std::string prefix = "site configuration '" + source + "': ";
    const Json::Value root = parseJson(text, prefix);
    try {
        if (!root.isObject()) throw ConfigError("the top level must be a JSON object");
        SiteConfig site;
        site.plugin = pathMember(root, "plugin");
        site.database = pathMember(root, "database");
        if (root.isMember("maxDatabaseMB")) {
            site.maxDatabaseMB = static_cast<int>(intIn(root["maxDatabaseMB"], 0, 1000000, "'maxDatabaseMB'",
                                                        "an integer from 0 to 1000000"));
            if (site.maxDatabaseMB > 0 && site.maxDatabaseMB < 8)
                throw ConfigError("'maxDatabaseMB' must be 0 (none) or at least 8");
        }
        const Json::Value& devices = root["devices"];
        if (!devices.isArray() || devices.empty())
            throw ConfigError("'devices' must be a non-empty array");
        std::set<std::string> names;
        std::set<unsigned int> ids;
        for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
            DeviceConfig dev = parseDevice(devices[i], "devices[" + std::to_string(i) + "]");
            const std::string where = "devices[" + std::to_string(i) + "] (" + dev.name + ")";
            if (!names.insert(dev.name).second) throw ConfigError(where + ": name used twice");
            if (!ids.insert(dev.dataId).second) throw ConfigError(where + ": dataId used twice");
            site.devices.push_back(std::move(dev));
        }
        checkSharedPorts(site.devices);
        return site;
    } catch (const ConfigError& e) {
        throw ConfigError(prefix + e.what());
    }
}

SiteConfig loadSiteConfig(const std::string& path) {
    std::string text, error;
    if (!readTextFile(path, text, error))
        throw ConfigError("cannot read site configuration '" + path + "': " + error);
    return parseSiteConfig(text, path);
}

const char* defaultSiteConfigText() { return kDefaultSite; }

}  // namespace smdhost
