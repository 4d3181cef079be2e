// Generic base of data-collecting devices: one packed measurement record,
// the alarm mode and threshold-rule tables from the settings, the completion
// of every polling round and the restore of a cached record.
//
// Threads: the host may refresh, control and query a device from different
// threads. snapshotMutex_ guards the record, the update time, the ready flag
// and the snapshot; it is only ever held for short copies, never across a
// call into the host.
#pragma once

#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include "numbers.h"
#include "smd_host.h"

namespace plor {

// The wall clock, replaceable in tests.
using Clock = std::function<boost::posix_time::ptime()>;

inline boost::posix_time::ptime localClock() {
    return boost::posix_time::second_clock::local_time();
}

}  // namespace plor

template <typename Data, typename Protocol, int N>
class UniDataDevice : public Protocol {
    static_assert(std::is_trivially_copyable<Data>::value, "records travel as byte images");
    static_assert(sizeof(Data) >= sizeof(uint32_t) + sizeof(ttime_t), "id and time stamp");

public:
    UniDataDevice() { std::memset(&record_, 0, sizeof(record_)); }

    ~UniDataDevice() override {}

    bool InitSetting(const Json::Value& settings) override {
        return applySettings(settings, nullptr, nullptr);
    }

    void RoundDone() override {
        const boost::posix_time::ptime now = wholeSeconds(clock_());
        const ttime_t stamp = get_ttime(now);
        Data sent;
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            fillRound(record_);
            ++rounds_;
            this->dataReady_ = true;
            if (restoring_ && restorer_ == std::this_thread::get_id()) {
                // A restored reading is as old as its own stamp says.
                restoring_ = false;
                this->updateTime_ = timeOfRecord(record_);
            } else {
                this->updateTime_ = now;
                std::memcpy(timeOf(record_), &stamp, sizeof(stamp));
            }
            sent = record_;
        }
        SMDVDevice::SendSP(N, bytesOf(sent), sizeof(Data), false);
        this->Reset();
        this->statusWord_ = 1;
        this->batchResult_ = false;
        this->RunCheckThreshold();
        std::cout << "rvSize is " << static_cast<int>(this->ruleValues_.size()) << std::endl;
        const bool batch = SMDVDevice::DoBatchCheckThreshold(this->ruleValues_);
        this->batchResult_ = this->batchResult_ || batch;
        const Data stored = record();
        SMDVDevice::SaveDeviceHistory(bytesOf(stored), sizeof(Data));
        this->ruleValues_.clear();
    }

    using Protocol::LoadFromCache;
    bool LoadFromCache(const unsigned char* bytes, int length) override {
        if (bytes == nullptr || length != static_cast<int>(sizeof(Data))) return false;
        // The cached image may come from before the device's data id changed:
        // the record always carries the device's own.
        const uint32_t id = this->DataId();
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            std::memcpy(&record_, bytes, sizeof(Data));
            std::memcpy(&record_, &id, sizeof id);
            this->dataReady_ = true;
            // Only this thread's completion is the restore's own.
            restoring_ = true;
            restorer_ = std::this_thread::get_id();
        }
        this->RoundDone();
        return true;
    }

    virtual void RunCheckThreshold() {}

    // A consistent copy of the record.
    Data record() const {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        return record_;
    }

    void setClock(plor::Clock clock) { clock_ = clock ? std::move(clock) : plor::Clock(plor::localClock); }

protected:
    // Called under snapshotMutex_ at the start of every completion, so that
    // a driver's new readings and the time stamp land in one step.
    virtual void fillRound(Data& /*record*/) {}

    // Lines a settings document prints; they go out only once it is applied.
    using SettingsLines = std::vector<std::string>;
    // Reads the driver's part of a document into its own staging, adding the
    // lines to print; gives the reason it refuses the document, or "".
    using DriverReader = std::function<std::string(SettingsLines&)>;

    // All or nothing: the driver's part (readDriver) and the generic part are
    // read first, then committed together (commitDriver runs under the lock)
    // and only then printed. A document the JSON library rejects, or that the
    // driver refuses, changes nothing and prints one line saying why.
    bool applySettings(const Json::Value& settings, const DriverReader& readDriver,
                       const std::function<void()>& commitDriver) {
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            std::memcpy(&record_, &this->dataId_, sizeof(uint32_t));
        }
        SettingsLines lines;
        Generic generic;
        std::string refusal;
        try {
            if (readDriver) refusal = readDriver(lines);
            if (refusal.empty()) generic = readGeneric(settings, lines);
        } catch (const Json::Exception& e) {
            printRefusal(e.what());
            throw;
        }
        if (!refusal.empty()) {
            printRefusal(refusal);
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            if (commitDriver) commitDriver();
            b_mode_ = generic.mode;
            for (const auto& name : generic.names) signalNames_[name.first] = name.second;
            for (const auto& ids : generic.ids) thresholdIds_[ids.first] = ids.second;
        }
        for (const std::string& line : lines) std::cout << line << std::endl;
        return Protocol::InitSetting(settings);
    }

    plor::Clock clock_ = plor::localClock;

    Data record_;
    int32_t b_mode_ = 1;
    std::map<std::string, std::string> thresholdIds_;
    std::map<std::string, std::string> signalNames_;
    boost::posix_time::ptime snapshotTime_;
    mutable std::mutex snapshotMutex_;
    Json::Value snapshot_;
    // Completed rounds (cache loads included), and the round the snapshot
    // was built for: two rounds may share one second of update time.
    uint64_t rounds_ = 0;
    uint64_t snapshotRound_ = 0;
    // A cache restore in progress, and its thread.
    bool restoring_ = false;
    std::thread::id restorer_;

private:
    struct Generic {
        int32_t mode = 1;
        std::vector<std::pair<std::string, std::string>> names;
        std::vector<std::pair<std::string, std::string>> ids;
    };

    static bool present(const Json::Value& v) { return !v.isNull(); }

    void printRefusal(const std::string& why) const {
        std::cout << "InitSetting " << this->dataId_ << " refused: " << why << std::endl;
    }

    static boost::posix_time::ptime wholeSeconds(const boost::posix_time::ptime& t) {
        if (t.is_special()) return t;
        const auto tod = t.time_of_day();
        return boost::posix_time::ptime(
            t.date(), boost::posix_time::time_duration(tod.hours(), tod.minutes(), tod.seconds()));
    }

    // The update time a record carries; not-a-date-time when it names no
    // valid local time (a zeroed or damaged image).
    static boost::posix_time::ptime timeOfRecord(const Data& d) {
        ttime_t t;
        std::memcpy(&t, reinterpret_cast<const unsigned char*>(&d) + sizeof(Data) - sizeof(ttime_t),
                    sizeof t);
        if (t.hour > 23 || t.minute > 59 || t.second > 59) return boost::posix_time::ptime();
        try {
            const boost::gregorian::date day(t.year, t.month, t.day);
            return boost::posix_time::ptime(
                day, boost::posix_time::time_duration(t.hour, t.minute, t.second));
        } catch (const std::out_of_range&) {
            return boost::posix_time::ptime();
        }
    }

    static const unsigned char* bytesOf(const Data& d) {
        return reinterpret_cast<const unsigned char*>(&d);
    }
    static unsigned char* timeOf(Data& d) {
        return reinterpret_cast<unsigned char*>(&d) + sizeof(Data) - sizeof(ttime_t);
    }

    Generic readGeneric(const Json::Value& settings, SettingsLines& lines) {
        Generic g;
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            g.mode = b_mode_;
        }
        const Json::Value& app = settings["appSetting"];
        if (present(app) && app.isObject() && present(app["b_mode"])) {
            g.mode = plor::parseInt32(app["b_mode"].asString().c_str());
            lines.push_back("InitSetting " + std::to_string(this->dataId_) + " b_mode_:" +
                            std::to_string(g.mode));
        }
        if (g.mode != 3) return g;

        lines.emplace_back("here 1");
        const Json::Value& rules = settings["thresholdSetting"];
        if (!present(rules)) return g;
        lines.emplace_back("here 2");
        for (auto it = rules.begin(); it != rules.end(); ++it) {
            const std::string key = it.key().asString();
            lines.push_back("here " + key);
            const Json::Value& rule = *it;
            if (!rule.isObject()) continue;
            if (present(rule["SignalName"])) g.names.emplace_back(key, rule["SignalName"].asString());
            std::string text;
            static const char* const fields[] = {"NMAlarmID", "ID", "SignalNumber"};
            for (const char* field : fields) {
                if (present(rule[field])) {
                    text += rule[field].asString();
                } else {
                    lines.push_back(std::to_string(this->dataId_) + " " + field + " is missing");
                }
                text += ";";
            }
            std::ostringstream mobile;
            mobile << "mobile:" << key << ":" << text << " level:" << this->thresholdLevels_[key]
                   << " value:" << this->thresholdValues_[key];
            lines.push_back(mobile.str());
            g.ids.emplace_back(key, text);
        }
        return g;
    }
};
