#include "event_printer.h"

#include <cstdio>
#include <sstream>

#include "readings.h"

namespace smdhost {

namespace {

std::string joined(const std::vector<std::string>& items, const char* sep) {
    std::string s;
    for (const auto& i : items) s += (s.empty() ? "" : sep) + i;
    return s;
}

}  // namespace

Json::Value jsonNumber(float v) {
    const std::string t = numberText(v);
    if (t == "nan" || t == "inf" || t == "-inf") return Json::Value();
    return Json::Value(std::strtod(t.c_str(), nullptr));
}

void EventPrinter::note(const std::string& device, const std::string& text, Json::Value j) {
    if (!j.isObject()) j = Json::Value(Json::objectValue);
    if (!j.isMember("event")) j["event"] = "note";
    j["time"] = clockText();
    if (!device.empty()) j["device"] = device;
    j["text"] = text;
    out_.emit(clockText() + " " + (device.empty() ? std::string() : device + "  ") + text, j);
}

void EventPrinter::round(const RoundEvent& e) {
    const Record& r = e.record;
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02u:%02u:%02u", unsigned(r.hour), unsigned(r.minute),
                  unsigned(r.second));
    std::ostringstream line;
    line << clock << " " << e.device;
    for (const Reading& k : kReadings)
        line << "  " << k.label << " " << numberText(k.of(r)) << " " << k.ascii;
    line << "  alarms: " << (e.alarms.empty() ? "-" : joined(e.alarms, ", "))
         << (e.restored ? "  (restored, age " + ageText(e.ageSeconds) + ")" : "");
    Json::Value j;
    j["event"] = "round";
    j["time"] = r.timeText();
    j["device"] = e.device;
    j["dataId"] = r.dataId;
    for (const Reading& k : kReadings) j[k.key] = jsonNumber(k.of(r));
    j["alarms"] = Json::Value(Json::arrayValue);
    for (const auto& a : e.alarms) j["alarms"].append(a);
    j["restored"] = e.restored;
    j["ageSeconds"] = e.ageSeconds;
    out_.emit(line.str(), j);
}

void EventPrinter::alarm(const AlarmEvent& e) {
    Json::Value j;
    j["event"] = "alarm";
    j["state"] = e.raised ? "raised" : "cleared";
    j["time"] = e.at;
    j["device"] = e.device;
    j["signalId"] = e.signalId;
    j["name"] = e.name;
    j["value"] = e.valueText;
    out_.emit(clockText() + " " + e.device + "  ALARM " + (e.raised ? "RAISED " : "CLEARED") + " " +
                  e.signalId + " " + e.name + "  value " + e.valueText,
              j);
}

void EventPrinter::write(const WriteEvent& e) {
    Json::Value j;
    j["event"] = "write";
    j["code"] = e.code;
    j["address"] = e.address;
    j["values"] = Json::Value(Json::arrayValue);
    for (uint16_t v : e.values) j["values"].append(v);
    note(e.device, e.what + " (control " + std::to_string(e.code) + ")", j);
}

void EventPrinter::writeOutcome(const WriteOutcomeEvent& e) {
    Json::Value j;
    j["event"] = "write-outcome";
    j["result"] = e.result;
    if (e.status) j["status"] = *e.status;
    if (e.outcome) j["outcome"] = *e.outcome;
    if (e.returned) j["returned"] = *e.returned;
    note(e.device, e.text, j);
}

void EventPrinter::onEvent(const Event& event) {
    if (const auto* e = std::get_if<NoteEvent>(&event)) {
        note(e->device, e->text, e->extra);
    } else if (const auto* e = std::get_if<RoundEvent>(&event)) {
        round(*e);
    } else if (const auto* e = std::get_if<RefreshEvent>(&event)) {
        if (!e->changed) return;
        note(e->device,
             e->completed ? "rounds resumed"
                          : "refresh ended without a round (an input missing, unreadable or never "
                            "still)",
             Json::Value());
    } else if (const auto* e = std::get_if<AlarmEvent>(&event)) {
        alarm(*e);
    } else if (const auto* e = std::get_if<StaleEvent>(&event)) {
        Json::Value j;
        j["event"] = e->stale ? "stale" : "fresh";
        j["ageSeconds"] = e->ageSeconds;
        note(e->device,
             e->stale ? "STALE: no round for " + ageText(e->ageSeconds)
                      : "FRESH: rounds again after " + ageText(e->ageSeconds),
             j);
    } else if (const auto* e = std::get_if<WriteEvent>(&event)) {
        write(*e);
    } else if (const auto* e = std::get_if<WriteOutcomeEvent>(&event)) {
        writeOutcome(*e);
    }
}

}  // namespace smdhost
