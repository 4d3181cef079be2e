#include "metrics.h"

#include <cmath>
#include <cstdio>

#include "utf8_text.h"

namespace smdhost {

namespace {

void number(std::string& out, double v, int digits) {
    if (std::isnan(v)) {
        out += "NaN";
    } else if (std::isinf(v)) {
        out += v > 0 ? "+Inf" : "-Inf";
    } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        out += buf;
    }
}

void header(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// name{device="..",data_id=".."<extra>} value
// Readings are floats: seven digits, so 53.2 shows as 53.2.
void sample(std::string& out, const char* name, const DeviceView& d, const std::string& extra,
            double v, int digits = 15) {
    out += name;
    out += "{device=\"";
    out += labelValue(d.name);
    out += "\",data_id=\"";
    out += std::to_string(d.dataId);
    out += '"';
    out += extra;
    out += "} ";
    number(out, v, digits);
    out += '\n';
}

}  // namespace

std::string labelValue(const std::string& raw) {
    // One label that is not UTF-8 fails the whole scrape.
    const std::string text = validUtf8(raw);
    std::string s;
    s.reserve(text.size());
    for (char c : text) {
        if (c == '\\') s += "\\\\";
        else if (c == '"') s += "\\\"";
        else if (c == '\n') s += "\\n";
        else s += c;
    }
    return s;
}

std::string renderMetrics(const SiteView& site) {
    std::string out;
    out.reserve(1024 + site.devices.size() * 2048);
    for (const auto& r : kReadings) {
        header(out, r.metric, "gauge", r.help);
        for (const auto& d : site.devices)
            if (d.hasValues) sample(out, r.metric, d, std::string(), r.of(d.record), 7);
    }
    header(out, "plor_sps_alarm", "gauge", "1 while the alarm is active.");
    for (const auto& d : site.devices)
        for (std::size_t i = 0; i < kAlarms.size(); ++i)
            sample(out, "plor_sps_alarm", d,
                   std::string(",alarm=\"") + kAlarms[i].key + "\",signal_id=\"" +
                       kAlarms[i].signalId + "\",name=\"" + labelValue(kAlarms[i].name) + '"',
                   d.alarms[i] ? 1 : 0);
    // A raise shorter than the scrape interval shows here even when the gauge never did.
    header(out, "plor_sps_alarm_raises_total", "counter", "Times the alarm was raised in this run.");
    for (const auto& d : site.devices)
        for (std::size_t i = 0; i < kAlarms.size(); ++i)
            sample(out, "plor_sps_alarm_raises_total", d,
                   std::string(",alarm=\"") + kAlarms[i].key + "\",signal_id=\"" +
                       kAlarms[i].signalId + "\",name=\"" + labelValue(kAlarms[i].name) + '"',
                   static_cast<double>(d.raises[i]));
    header(out, "plor_sps_last_round_timestamp_seconds", "gauge",
           "When the latest round completed (unix time).");
    for (const auto& d : site.devices)
        if (d.lastRound > 0)
            sample(out, "plor_sps_last_round_timestamp_seconds", d, std::string(), d.lastRound);
    header(out, "plor_sps_last_round_age_seconds", "gauge",
           "Seconds since the latest round completed.");
    for (const auto& d : site.devices)
        if (d.age >= 0) sample(out, "plor_sps_last_round_age_seconds", d, std::string(), d.age);
    header(out, "plor_sps_stale", "gauge", "1 while the device has completed no recent round.");
    for (const auto& d : site.devices)
        sample(out, "plor_sps_stale", d, std::string(), d.stale ? 1 : 0);
    header(out, "plor_sps_rounds_total", "counter", "Rounds completed in this run.");
    for (const auto& d : site.devices)
        sample(out, "plor_sps_rounds_total", d, std::string(), static_cast<double>(d.rounds));
    header(out, "plor_sps_rounds_abandoned_total", "counter",
           "Refreshes that ended without a round in this run.");
    for (const auto& d : site.devices)
        sample(out, "plor_sps_rounds_abandoned_total", d, std::string(),
               static_cast<double>(d.abandoned));
    header(out, "plor_sps_write_outcomes_total", "counter",
           "Register writes to the supply, by how they ended.");
    for (const auto& d : site.devices)
        for (const auto& w : d.writes)
            sample(out, "plor_sps_write_outcomes_total", d, ",outcome=\"" + w.first + '"',
                   static_cast<double>(w.second));
    return out;
}

}  // namespace smdhost
