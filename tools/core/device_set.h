// The devices of a run: made from the plug-in's provider, set up from the
// site configuration, found again by the plug-in's pointer or by name, and
// released in the order their threads and ports need.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device.h"
#include "events.h"

namespace smdhost {

class DeviceSet {
public:
    explicit DeviceSet(EventSink& events) : events_(events) {}

    // Every configured device, ready for its first round; throws with one
    // line. A device that fails half-way is closed and released first.
    void create(const std::vector<DeviceConfig>& configs,
                const std::vector<std::shared_ptr<Provider>>& providers,
                const std::string& pluginPath);

    // Any thread; null for a device the host does not run.
    Device* find(const SMDVDevice& dev);
    Device* byName(const std::string& name);
    std::vector<std::unique_ptr<Device>>& all() { return devices_; }

    // Their threads must have ended: ports closed first (their threads
    // call into the devices), then the devices, while the plug-in is loaded.
    void close();
    // What is left, once the devices are gone.
    void clear() { devices_.clear(); }

private:
    void createOne(const DeviceConfig& cfg, const std::vector<std::shared_ptr<Provider>>& providers,
                   const std::string& pluginPath);
    void closeOne(Device& d);

    EventSink& events_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::unique_ptr<Device> settingUp_;  // the device being set up
    std::mutex mutex_;
    std::map<const SMDVDevice*, Device*> byPointer_;
};

}  // namespace smdhost
