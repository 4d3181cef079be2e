#include "web_api.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <json/json.h>

#include "history_store.h"
#include "metrics.h"
#include "utf8_text.h"

namespace smdhost {

namespace {

// Transitions per reply unless asked otherwise, and at most.
constexpr long long kTransitionsPage = 1000;
constexpr long long kMaxTransitionsPage = 5000;

Json::StreamWriterBuilder writer() {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 15;
    return b;
}

// The library passes bytes through as they are; a device query or a
// plug-in's text may hold some that are not UTF-8.
std::string text(const Json::Value& v) { return validUtf8(Json::writeString(writer(), v)); }

Reply error(int status, const std::string& why) {
    Json::Value j;
    j["error"] = why;
    return Reply{status, "application/json", text(j)};
}

// A float reading as the console shows it: seven digits, so 53.2 stays 53.2.
Json::Value number(float v) {
    if (!std::isfinite(v)) return Json::Value();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(v));
    return Json::Value(std::strtod(buf, nullptr));
}

std::string param(const Params& p, const char* key) {
    auto it = p.find(key);
    return it == p.end() ? std::string() : it->second;
}

bool integer(const std::string& s, long long& out) {
    if (s.empty() || s.size() > 18) return false;
    char* end = nullptr;
    out = std::strtoll(s.c_str(), &end, 10);
    return *end == '\0';
}

// The device and [from, to] a request names; empty `why` when well formed.
struct Range {
    const DeviceView* device = nullptr;
    long long from = 0, to = 0;
    std::size_t points = 600;
    int status = 200;
    std::string why;
};

Range rangeOf(const SiteView& site, const Params& p) {
    Range r;
    const std::string name = param(p, "device");
    for (const auto& d : site.devices)
        if (d.name == name) r.device = &d;
    if (r.device == nullptr) {
        r.status = 404;
        r.why = "no device '" + name + "'";
        return r;
    }
    r.to = static_cast<long long>(site.now);
    const std::string range = param(p, "range");
    static const std::map<std::string, long long> spans{
        {"hour", 3600}, {"day", 86400}, {"month", 30 * 86400LL}, {"year", 365 * 86400LL}};
    auto span = spans.find(range.empty() ? "hour" : range);
    const bool explicitRange = p.count("from") != 0 || p.count("to") != 0;
    if (explicitRange) {
        if (!integer(param(p, "from"), r.from) || !integer(param(p, "to"), r.to) ||
            r.from > r.to) {
            r.status = 400;
            r.why = "from and to must be unix seconds, from <= to";
        }
    } else if (span == spans.end()) {
        r.status = 400;
        r.why = "range must be hour, day, month or year";
    } else {
        r.from = r.to - span->second;
    }
    long long points = 0;
    if (p.count("points") != 0) {
        if (!integer(param(p, "points"), points) || points < 1 || points > 2000) {
            r.status = 400;
            r.why = "points must be 1 to 2000";
        } else {
            r.points = static_cast<std::size_t>(points);
        }
    }
    return r;
}

}  // namespace

Reply apiDevices(const SiteView& site) {
    Json::Value j;
    j["now"] = site.now;
    Json::Value& readings = j["readings"] = Json::Value(Json::arrayValue);
    for (const Reading& k : kReadings) {
        Json::Value r;
        r["key"] = k.key;
        r["unit"] = k.unit;
        readings.append(r);
    }
    Json::Value& list = j["devices"] = Json::Value(Json::arrayValue);
    for (const auto& d : site.devices) {
        Json::Value v;
        v["name"] = d.name;
        v["dataId"] = d.dataId;
        v["pollIntervalMs"] = d.pollIntervalMs;
        v["stale"] = d.stale;
        v["restored"] = d.restored;
        v["rounds"] = static_cast<Json::Int64>(d.rounds);
        v["abandoned"] = static_cast<Json::Int64>(d.abandoned);
        v["lastRound"] = d.lastRound > 0 ? Json::Value(d.lastRound) : Json::Value();
        v["age"] = d.age >= 0 ? Json::Value(d.age) : Json::Value();
        if (d.hasValues) {
            const Record& r = d.record;
            v["time"] = r.timeText();
            for (const Reading& k : kReadings) v["values"][k.key] = number(k.of(r));
        } else {
            v["values"] = Json::Value();
        }
        Json::Value& alarms = v["alarms"] = Json::Value(Json::arrayValue);
        for (const auto& a : d.activeAlarms) {
            Json::Value x;
            x["signalId"] = a.signalId;
            const int i = alarmIndex(a.signalId);
            x["alarm"] = i >= 0 ? kAlarms[static_cast<std::size_t>(i)].key : "";
            x["name"] = a.name;
            x["raisedAt"] = a.raisedAt > 0 ? Json::Value(a.raisedAt) : Json::Value();
            alarms.append(x);
        }
        Json::Value& recent = v["recent"] = Json::Value(Json::arrayValue);
        for (const auto& t : d.recent) {
            Json::Value x;
            x["at"] = t.at;
            x["signalId"] = t.signalId;
            x["alarm"] = t.alarm >= 0 ? kAlarms[static_cast<std::size_t>(t.alarm)].key : "";
            x["name"] = t.name;
            x["raised"] = t.raised;
            recent.append(x);
        }
        for (const auto& w : d.writes) v["writes"][w.first] = static_cast<Json::Int64>(w.second);
        list.append(v);
    }
    return Reply{200, "application/json", text(j)};
}

Reply apiHistory(const SiteView& site, HistoryStore* store, const Params& params) {
    const Range r = rangeOf(site, params);
    if (!r.why.empty()) return error(r.status, r.why);
    PlotSeries series;
    try {
        if (store == nullptr) throw StoreError("no database");
        series = store->plot(r.device->name, r.from, r.to, r.points);
    } catch (const std::exception& e) {
        return error(503, std::string("history not available: ") + e.what());
    }
    Json::Value j;
    j["device"] = r.device->name;
    j["from"] = static_cast<Json::Int64>(r.from);
    j["to"] = static_cast<Json::Int64>(r.to);
    j["tier"] = series.tier;
    j["step"] = static_cast<Json::Int64>(series.step);
    Json::Value& t = j["t"] = Json::Value(Json::arrayValue);
    Json::Value& alarms = j["alarms"] = Json::Value(Json::arrayValue);
    for (const auto& p : series.points) {
        t.append(static_cast<Json::Int64>(p.t));
        alarms.append(p.alarms);
    }
    for (std::size_t i = 0; i < kReadings.size(); ++i) {
        Json::Value& out = j["readings"][kReadings[i].key];
        for (const char* k : {"min", "mean", "max"}) out[k] = Json::Value(Json::arrayValue);
        for (const auto& p : series.points) {
            out["min"].append(number(p.min[i]));
            out["mean"].append(number(p.mean[i]));
            out["max"].append(number(p.max[i]));
        }
    }
    return Reply{200, "application/json", text(j)};
}

Reply apiTransitions(const SiteView& site, HistoryStore* store, const Params& params) {
    const Range r = rangeOf(site, params);
    if (!r.why.empty()) return error(r.status, r.why);
    long long limit = kTransitionsPage, after = 0;
    if (params.count("limit") != 0 &&
        (!integer(param(params, "limit"), limit) || limit < 1 || limit > kMaxTransitionsPage))
        return error(400, "limit must be 1 to " + std::to_string(kMaxTransitionsPage));
    if (params.count("after") != 0 && (!integer(param(params, "after"), after) || after < 0))
        return error(400, "after must be a transition's id");
    // Written row by row: a page is never held twice, as rows and as a tree.
    Json::StreamWriterBuilder b = writer();
    std::string body = "{\"device\":" + Json::writeString(b, r.device->name) + ",\"transitions\":[";
    TransitionRow last;
    bool more = false;
    try {
        if (store == nullptr) throw StoreError("no database");
        more = store->eachTransitionBetween(
            r.device->name, r.from, r.to, after, static_cast<std::size_t>(limit),
            [&](const TransitionRow& row) {
                Json::Value x;
                x["at"] = row.at;
                x["t"] = row.t > 0 ? Json::Value(static_cast<Json::Int64>(row.t)) : Json::Value();
                x["signalId"] = row.signalId;
                x["name"] = row.name;
                x["value"] = row.valueText;
                x["raised"] = row.raised;
                if (last.id != 0) body += ',';
                body += Json::writeString(b, x);
                last = row;
            });
    } catch (const std::exception& e) {
        return error(503, std::string("history not available: ") + e.what());
    }
    // The query for the page after this one.
    Json::Value next;
    if (more) {
        next["from"] = static_cast<Json::Int64>(last.t);
        next["to"] = static_cast<Json::Int64>(r.to);
        next["after"] = static_cast<Json::Int64>(last.id);
        next["limit"] = static_cast<Json::Int64>(limit);
    }
    body += "],\"next\":" + Json::writeString(b, next) + "}";
    return Reply{200, "application/json", validUtf8(body)};
}

}  // namespace smdhost
