#include "device_set.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace smdhost {

namespace {

using Fatal = std::runtime_error;

// Where in a settings document the JSON library most likely gave up: a
// member that must be a value holding an object or an array.
std::string suspectKey(const Json::Value& settings) {
    if (!settings.isObject() && !settings.isNull()) return "settings (not a JSON object)";
    auto kind = [](const Json::Value& v) { return v.isObject() ? "an object" : "an array"; };
    for (const char* section : {"appSetting", "hostSetting"}) {
        const Json::Value& s = settings[section];
        if (!s.isObject()) continue;
        for (const auto& key : s.getMemberNames()) {
            const Json::Value& v = s[key];
            if (v.isObject() || v.isArray())
                return std::string("settings.") + section + "." + key + " (" + kind(v) + ")";
        }
    }
    const Json::Value& rules = settings["thresholdSetting"];
    if (!rules.isNull() && !rules.isObject() && !rules.isArray())
        return "settings.thresholdSetting (not an object)";
    if (rules.isObject()) {
        for (const auto& key : rules.getMemberNames()) {
            const Json::Value& rule = rules[key];
            if (!rule.isObject()) continue;
            for (const auto& field : rule.getMemberNames())
                if (rule[field].isObject() || rule[field].isArray())
                    return "settings.thresholdSetting." + key + "." + field + " (" +
                           kind(rule[field]) + ")";
        }
    }
    return std::string();
}

// The system's reason a port does not open, for the message.
std::string whyNotOpen(const std::string& port, bool rs485) {
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string(": ") + std::strerror(errno);
    std::string why;
#ifdef TIOCGRS485
    // A driver without RS-485 mode (a pseudo-terminal) refuses to tell it too.
    serial_rs485 conf{};
    if (rs485 && ::ioctl(fd, TIOCGRS485, &conf) != 0)
        why = std::string(": TIOCSRS485: ") + std::strerror(errno) + " (settings.hostSetting.rs485)";
#else
    (void)rs485;
#endif
    ::close(fd);
    return why;
}

}  // namespace

Device* DeviceSet::find(const SMDVDevice& dev) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byPointer_.find(&dev);
    return it == byPointer_.end() ? nullptr : it->second;
}

Device* DeviceSet::byName(const std::string& name) {
    for (auto& d : devices_)
        if (d->cfg.name == name || std::to_string(d->cfg.dataId) == name) return d.get();
    return nullptr;
}

void DeviceSet::create(const std::vector<DeviceConfig>& configs,
                       const std::vector<std::shared_ptr<Provider>>& providers,
                       const std::string& pluginPath) {
    for (const auto& cfg : configs) {
        try {
            createOne(cfg, providers, pluginPath);
        } catch (...) {
            // A device that failed half-way goes the way a finished one does:
            // port closed, then the device, while its code is still loaded.
            if (settingUp_ && settingUp_->dev) closeOne(*settingUp_);
            settingUp_.reset();
            throw;
        }
    }
}

void DeviceSet::createOne(const DeviceConfig& cfg,
                          const std::vector<std::shared_ptr<Provider>>& providers,
                          const std::string& pluginPath) {
    settingUp_.reset(new Device);
    std::unique_ptr<Device>& d = settingUp_;
    d->cfg = cfg;
    const std::string who =
        "device '" + cfg.name + "' (data id " + std::to_string(cfg.dataId) + ")";
    for (const auto& p : providers) {
        auto* sp = dynamic_cast<SMDSPDeviceProvider*>(p.get());
        if (sp == nullptr) continue;
        try {
            d->dev.reset(sp->create());
        } catch (const std::exception& e) {
            throw Fatal(who + ": the provider could not create it: " + e.what());
        }
        if (d->dev) break;
    }
    if (!d->dev) throw Fatal("plug-in '" + pluginPath + "' offers no serial device provider");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        byPointer_[d->dev.get()] = d.get();
    }
    const std::string port = d->cfg.serialPort();
    d->dev->Init(std::weak_ptr<SMDController>(), cfg.dataId, d->cfg.settings);
    bool accepted = false;
    try {
        accepted = d->dev->InitSetting(d->cfg.settings);
    } catch (const std::exception& e) {
        const std::string key = suspectKey(d->cfg.settings);
        throw Fatal(who + ": InitSetting rejected its settings" +
                    (key.empty() ? std::string() : " at " + key) + ": " + e.what());
    }
    if (!accepted) throw Fatal(who + ": InitSetting rejected its settings");
    // The host opens a device's port before its first round, as a site does.
    auto* sp = dynamic_cast<SMDSPDevice*>(d->dev.get());
    if (!port.empty() && sp != nullptr && sp->OpenPort() < 0)
        throw Fatal(who + ": serial port '" + port +
                    "' (settings.hostSetting.serialPort) cannot be opened" +
                    whyNotOpen(port, d->cfg.settings["hostSetting"].isMember("rs485")));
    events_.onEvent(NoteEvent{
        cfg.name,
        "ready: " + d->dev->DeviceType() + ", data id " + std::to_string(cfg.dataId) +
            ", polled every " + std::to_string(cfg.pollIntervalMs) + " ms" +
            (port.empty() ? std::string(", no serial port") : ", serial port " + port),
        Json::Value()});
    devices_.push_back(std::move(d));
}

void DeviceSet::closeOne(Device& d) {
    auto* sp = dynamic_cast<SMDSPDevice*>(d.dev.get());
    if (sp != nullptr) sp->ClosePort();
    std::lock_guard<std::mutex> lock(mutex_);
    byPointer_.erase(d.dev.get());
}

void DeviceSet::close() {
    // Every port before any device goes.
    for (auto& d : devices_) {
        auto* sp = dynamic_cast<SMDSPDevice*>(d->dev.get());
        if (sp != nullptr) sp->ClosePort();
    }
    for (auto& d : devices_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            byPointer_.erase(d->dev.get());
        }
        d->dev.reset();
    }
}

}  // namespace smdhost
