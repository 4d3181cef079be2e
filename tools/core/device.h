// One configured device as the host runs it: the plug-in's object, its
// polling thread and what the host tracks of it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "freshness.h"
#include "site_config.h"
#include "smd_host.h"
#include "write_tracker.h"

namespace smdhost {

struct DeviceDeleter {
    void operator()(SMDVDevice* d) const { delete d; }
};

struct Device : WriteDevice {
    DeviceConfig cfg;
    std::unique_ptr<SMDVDevice, DeviceDeleter> dev;
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    std::atomic<bool> restoring{false};
    bool idle = false;  // last refresh completed no round (its thread only)

    // Alarm reports of the round in progress, and each signal's state.
    std::mutex alarmMutex;
    std::map<std::string, bool> alarmActive;
    std::vector<std::string> roundAlarms;
    bool roundChecked = false;

    Freshness freshness;

    const std::string& writeName() const override { return cfg.name; }
    int writeReplyTimeoutMs() const override { return cfg.replyTimeoutMs(); }
    int control(int code, const void* input, int inputLength, void* output, int outputSize,
                int& outputLength) override {
        return dev->DeviceIoControl(code, input, inputLength, output, outputSize, outputLength);
    }
};

}  // namespace smdhost
