#include "host.h"

#include <chrono>
#include <ctime>

#include <unistd.h>

#include "clock_text.h"
#include "host_codes.h"
#include "record.h"

namespace smdhost {

namespace {

// Seconds since the record's own time (the plug-in's local clock).
double recordAgeSeconds(const Record& r) {
    std::tm tm{};
    tm.tm_year = r.year - 1900;
    tm.tm_mon = r.month - 1;
    tm.tm_mday = r.day;
    tm.tm_hour = r.hour;
    tm.tm_min = r.minute;
    tm.tm_sec = r.second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0 : std::difftime(std::time(nullptr), t);
}

}  // namespace

void Host::onCheckThresholdBool(const SMDVDevice& dev, int, const std::string& signalId,
                                const std::string&, const std::string& name,
                                const std::string& valueText, bool active, unsigned short) {
    Device* d = devices_.find(dev);
    if (d == nullptr) return;
    std::lock_guard<std::mutex> lock(d->alarmMutex);
    d->roundChecked = true;
    if (active) d->roundAlarms.push_back(name);
    bool& was = d->alarmActive[signalId];
    if (was == active) return;
    was = active;
    events_.onEvent(
        AlarmEvent{d->cfg.name, d->cfg.dataId, stampText(), signalId, name, valueText, active});
}

void Host::onSaveDeviceHistory(const SMDVDevice& dev, const unsigned char* data,
                               unsigned int length) {
    Device* d = devices_.find(dev);
    if (d == nullptr) return;
    RoundEvent e;
    if (!decodeRecord(data, length, e.record)) {
        note(d, "history record of " + std::to_string(length) + " bytes ignored (expected " +
                    std::to_string(kRecordSize) + ")");
        return;
    }
    e.device = d->cfg.name;
    e.dataId = d->cfg.dataId;
    e.image.assign(data, data + length);
    e.restored = d->restoring.load();
    e.storedAt = stampText();
    if (e.restored) e.ageSeconds = recordAgeSeconds(e.record);
    {
        std::lock_guard<std::mutex> lock(d->alarmMutex);
        // Without alarm reports (another alarm mode) the record's flags speak.
        e.alarms = d->roundChecked ? d->roundAlarms : e.record.activeAlarmNames();
        d->roundAlarms.clear();
        d->roundChecked = false;
    }
    if (!e.restored)
        d->freshness.round(Freshness::Clock::now(), [&](double age) {
            events_.onEvent(StaleEvent{d->cfg.name, d->cfg.dataId, stampText(), false, age});
        });
    events_.onEvent(e);
    if (!e.restored) {
        d->rounds.fetch_add(1);
        wake();
    }
}

void Host::onSendSP(const SMDVDevice& dev, int code, const unsigned char*, unsigned int length,
                    bool) {
    if (code == kRecordCode && length == kRecordSize) return;
    note(devices_.find(dev), "record handed over with code " + std::to_string(code) + " and " +
                                 std::to_string(length) + " bytes (expected " +
                                 std::to_string(kRecordCode) + ", " +
                                 std::to_string(kRecordSize) + ")");
}

void Host::onOpenPort(const SMDVDevice& dev, const std::string& port, bool ok) {
    if (ok) return;
    note(devices_.find(dev), "cannot open serial port '" + port + "'");
}

void Host::onModbusReply(const SMDVDevice& dev, int function, int address, int status,
                         bool delivered) {
    onModbusOutcome(dev, function, address, status, delivered, -1);
}

void Host::onModbusOutcome(const SMDVDevice& dev, int function, int address, int status,
                           bool delivered, int echo) {
    Device* d = devices_.find(dev);
    if (d == nullptr) return;
    writes_.report(*d, function, address, status, delivered, echo);
    wake();
}

void Host::onModbusSent(const SMDVDevice& dev, int function, int address) {
    Device* d = devices_.find(dev);
    if (d == nullptr) return;
    writes_.sent(*d, function, address);
    wake();
}

void Host::onSerialNote(const SMDVDevice& dev, const std::string& text) {
    note(devices_.find(dev), text);
}

}  // namespace smdhost
