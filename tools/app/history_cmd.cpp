// `smd-host history`: the stored rounds, decoded from their record images,
// or the alarm transitions; as a table or as CSV.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "history_store.h"
#include "host_app.h"
#include "readings.h"
#include "record.h"

namespace smdhost {

namespace {

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

const char* const kUsage =
    "usage: smd-host history [--db PATH] [--device NAME] [--limit N] [--csv] [--transitions]\n"
    "  rounds stored by smd-host, decoded from their 37-byte records (oldest first);\n"
    "  --limit N keeps the latest N, --transitions lists the alarm transitions instead";

struct Query {
    std::string db = "smd-host.db", device;
    long long limit = 0;
    bool csv = false, transitions = false;
};

// The options; -1 to go on, else the exit status.
int parse(const std::vector<std::string>& args, Query& q) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--db" && value(v)) {
            q.db = v;
        } else if (a == "--device" && value(v)) {
            q.device = v;
        } else if (a == "--limit" && value(v)) {
            char* end = nullptr;
            q.limit = std::strtoll(v.c_str(), &end, 10);
            if (*end != '\0' || q.limit < 0) {
                std::cerr << "smd-host history: --limit takes a whole number, not '" << v << "'\n";
                return 2;
            }
        } else if (a == "--csv") {
            q.csv = true;
        } else if (a == "--transitions") {
            q.transitions = true;
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage << std::endl;
            return 0;
        } else {
            std::cerr << "smd-host history: unknown option '" << a << "'\n" << kUsage << std::endl;
            return 2;
        }
    }
    return -1;
}

void printTransitions(HistoryStore& store, const Query& q, std::ostream& out) {
    const auto rows = store.transitions(q.device, q.limit);
    if (q.csv) {
        out << "id,device,data_id,at,state,signal_id,name,value\n";
        for (const auto& r : rows)
            out << r.id << ',' << csvField(r.device) << ',' << r.dataId << ',' << r.at << ','
                << (r.raised ? "raised" : "cleared") << ',' << r.signalId << ','
                << csvField(r.name) << ',' << csvField(r.valueText) << '\n';
        return;
    }
    for (const auto& r : rows)
        out << r.at << "  " << r.device << "  " << (r.raised ? "RAISED " : "CLEARED") << "  "
            << r.signalId << "  " << r.name << "  value " << r.valueText << '\n';
    if (rows.empty()) out << "no alarm transitions stored in " << q.db << '\n';
}

void csvRound(const RoundRow& row, const Record& r, std::ostream& out) {
    out << row.id << ',' << csvField(row.device) << ',' << row.dataId << ',' << row.storedAt
        << ',' << row.source << ',' << r.timeText();
    for (const Reading& k : kReadings) out << ',' << numberText(k.of(r));
    for (auto a : r.alarms) out << ',' << int(a);
    out << ',' << hexOf(row.image.data(), row.image.size()) << '\n';
}

void tableRound(const RoundRow& row, const Record& r, std::ostream& out) {
    char line[256];
    int n = std::snprintf(line, sizeof line, "%-23s  %-7s  %-7s  %s", row.storedAt.c_str(),
                          row.device.c_str(), row.source.c_str(), r.timeText().c_str());
    for (std::size_t i = 0; i < kReadings.size() && n > 0 && n < int(sizeof line); ++i)
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " %*s",
                           i == 0 ? 6 : 7, numberText(kReadings[i].of(r)).c_str());
    std::string alarms;
    for (const auto& a : r.activeAlarmNames()) alarms += (alarms.empty() ? "" : ", ") + a;
    out << line << "  " << (alarms.empty() ? "-" : alarms) << '\n';
}

void printRounds(HistoryStore& store, const Query& q, std::ostream& out) {
    const auto rows = store.rounds(q.device, q.limit);
    if (q.csv) {
        out << "id,device,data_id,stored_at,source,record_time";
        for (const Reading& k : kReadings) out << ',' << k.column;
        for (const Alarm& a : kAlarms) out << ',' << a.key;
        out << ",record_hex\n";
    } else if (!rows.empty()) {
        out << "stored at                device   source   record time           temp    "
               "load      dc      ac   ac-in  alarms\n";
    }
    for (const auto& row : rows) {
        Record r;
        if (!decodeRecord(row.image.data(), row.image.size(), r)) continue;
        if (q.csv) csvRound(row, r, out);
        else tableRound(row, r, out);
    }
    if (!q.csv && rows.empty()) out << "no rounds stored in " << q.db << '\n';
}

}  // namespace

int runHistory(const std::vector<std::string>& args) {
    Query q;
    const int status = parse(args, q);
    if (status >= 0) return status;
    if (::access(q.db.c_str(), F_OK) != 0) {
        std::cerr << "smd-host history: no history database '" << q.db
                  << "' (smd-host writes it in its working directory; see --db)" << std::endl;
        return 1;
    }
    try {
        HistoryStore store(q.db, true);
        std::ostringstream out;
        if (q.transitions) printTransitions(store, q, out);
        else printRounds(store, q, out);
        std::cout << out.str() << std::flush;
    } catch (const std::exception& e) {
        std::cerr << "smd-host history: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace smdhost
