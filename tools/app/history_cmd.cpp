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

}  // namespace

int runHistory(const std::vector<std::string>& args) {
    std::string db = "smd-host.db", device;
    long long limit = 0;
    bool csv = false, transitions = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--db" && value(v)) {
            db = v;
        } else if (a == "--device" && value(v)) {
            device = v;
        } else if (a == "--limit" && value(v)) {
            char* end = nullptr;
            limit = std::strtoll(v.c_str(), &end, 10);
            if (*end != '\0' || limit < 0) {
                std::cerr << "smd-host history: --limit takes a whole number, not '" << v << "'\n";
                return 2;
            }
        } else if (a == "--csv") {
            csv = true;
        } else if (a == "--transitions") {
            transitions = true;
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage << std::endl;
            return 0;
        } else {
            std::cerr << "smd-host history: unknown option '" << a << "'\n" << kUsage << std::endl;
            return 2;
        }
    }
    if (::access(db.c_str(), F_OK) != 0) {
        std::cerr << "smd-host history: no history database '" << db
                  << "' (smd-host writes it in its working directory; see --db)" << std::endl;
        return 1;
    }
    try {
        HistoryStore store(db, true);
        std::ostringstream out;
        if (transitions) {
            const auto rows = store.transitions(device, limit);
            if (csv) {
                out << "id,device,data_id,at,state,signal_id,name,value\n";
                for (const auto& r : rows)
                    out << r.id << ',' << csvField(r.device) << ',' << r.dataId << ',' << r.at
                        << ',' << (r.raised ? "raised" : "cleared") << ',' << r.signalId << ','
                        << csvField(r.name) << ',' << csvField(r.valueText) << '\n';
            } else {
                for (const auto& r : rows)
                    out << r.at << "  " << r.device << "  " << (r.raised ? "RAISED " : "CLEARED")
                        << "  " << r.signalId << "  " << r.name << "  value " << r.valueText
                        << '\n';
                if (rows.empty()) out << "no alarm transitions stored in " << db << '\n';
            }
        } else {
            const auto rows = store.rounds(device, limit);
            if (csv)
                out << "id,device,data_id,stored_at,source,record_time,temperature,load_current,"
                       "dc_voltage,ac_voltage,ac_current,dc_low,dc_high,ac_high,ac_low,"
                       "mains_fail,module_fail,record_hex\n";
            else if (!rows.empty())
                out << "stored at                device   source   record time           temp    "
                       "load      dc      ac   ac-in  alarms\n";
            for (const auto& row : rows) {
                Record r;
                if (!decodeRecord(row.image.data(), row.image.size(), r)) continue;
                if (csv) {
                    out << row.id << ',' << csvField(row.device) << ',' << row.dataId << ','
                        << row.storedAt << ',' << row.source << ',' << r.timeText() << ','
                        << numberText(r.temperature) << ',' << numberText(r.loadCurrent) << ','
                        << numberText(r.dcVoltage) << ',' << numberText(r.acVoltage) << ','
                        << numberText(r.acCurrent);
                    for (auto a : r.alarms) out << ',' << int(a);
                    out << ',' << hexOf(row.image.data(), row.image.size()) << '\n';
                    continue;
                }
                char line[256];
                std::snprintf(line, sizeof line, "%-23s  %-7s  %-7s  %s %6s %7s %7s %7s %7s  ",
                              row.storedAt.c_str(), row.device.c_str(), row.source.c_str(),
                              r.timeText().c_str(), numberText(r.temperature).c_str(),
                              numberText(r.loadCurrent).c_str(), numberText(r.dcVoltage).c_str(),
                              numberText(r.acVoltage).c_str(), numberText(r.acCurrent).c_str());
                std::string alarms;
                for (const auto& n : r.activeAlarmNames()) alarms += (alarms.empty() ? "" : ", ") + n;
                out << line << (alarms.empty() ? "-" : alarms) << '\n';
            }
            if (!csv && rows.empty()) out << "no rounds stored in " << db << '\n';
        }
        std::cout << out.str() << std::flush;
    } catch (const std::exception& e) {
        std::cerr << "smd-host history: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace smdhost
