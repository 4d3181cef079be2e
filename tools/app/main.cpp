// smd-host: runs a device plug-in the way a site's host does.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "host_app.h"

namespace {

const char* const kUsage =
    "usage: smd-host [--config SITE.json] [--simulate SCENARIO] [options]\n"
    "       smd-host history [--db PATH] [--device NAME] [--limit N] [--csv] [--transitions]\n"
    "\n"
    "  --config FILE      site configuration: the devices and their settings\n"
    "  --simulate NAME    simulated board and supply; NAME is a shipped scenario\n"
    "                     (normal, mains-failure, dc-low, unstable) or a file.\n"
    "                     Without --config, one default device is simulated.\n"
    "  --plugin PATH      the plug-in (default: plor_sps.so next to smd-host)\n"
    "  --db PATH          history database (default: smd-host.db here)\n"
    "  --keep-raw DAYS    keep every round this long, then only per-minute and\n"
    "                     per-hour summaries (default 30; 0 keeps them all)\n"
    "  --commit-every SEC store the history at most this often (default 10; 0 at\n"
    "                     once); a power cut loses at most the last SEC of rounds\n"
    "  --max-db MB        the history's size budget (at least 8): the oldest\n"
    "                     rounds go first\n"
    "                     (default: \"maxDatabaseMB\" of the site file, else none)\n"
    "  --rounds N         stop after N rounds of every device\n"
    "  --json             JSON lines instead of text\n"
    "  --verbose          show the plug-in's own output lines\n"
    "  --plugin-log FILE  keep the plug-in's own output lines in FILE\n"
    "  --log FILE         append standard output and error to FILE; SIGHUP\n"
    "                     reopens it and the plug-in log (for logrotate)\n"
    "  --no-restore       do not hand the last stored records back to the devices\n"
    "  --stop-wait SEC    how long a stop waits for rounds in progress (default 15)\n"
    "  --http [ADDR:]PORT serve the dashboard, /api and /metrics (read-only);\n"
    "                     ADDR defaults to 127.0.0.1, PORT 0 picks a free one\n"
    "  --stale-after SEC  a device with no round for this long is STALE (default:\n"
    "                     three poll intervals, each plus the round's 0.8 s)\n"
    "\n"
    "While running, type 'help' for the commands (write, writes, result, snapshot, quit).";

bool parseCount(const char* text, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < 0 || v > 1000000000) return false;
    out = static_cast<int>(v);
    return true;
}

// Seconds within [lo, hi], as whole milliseconds.
bool parseSeconds(const std::string& text, double lo, double hi, int& ms) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(seconds >= lo && seconds <= hi)) return false;
    ms = static_cast<int>(seconds * 1000);
    return true;
}

bool takesValue(const std::string& a) {
    for (const char* o : {"--config", "--simulate", "--plugin", "--db", "--plugin-log", "--log", "--rounds",
                          "--keep-raw", "--stop-wait", "--http", "--stale-after", "--commit-every",
                          "--max-db"})
        if (a == o) return true;
    return false;
}

// An option's value into opt; false, with the line said, when it is refused.
bool setOption(const std::string& a, const std::string& v, smdhost::RunOptions& opt) {
    int days = 0;
    std::string why;
    if (a == "--config") opt.configPath = v;
    else if (a == "--simulate") opt.scenario = v;
    else if (a == "--plugin") opt.pluginPath = v;
    else if (a == "--db") opt.dbPath = v;
    else if (a == "--plugin-log") opt.pluginLog = v;
    else if (a == "--log") opt.logPath = v;
    else if (a == "--rounds" && !parseCount(v.c_str(), opt.rounds))
        why = "--rounds takes a whole number, not '" + v + "'";
    else if (a == "--keep-raw" && (!parseCount(v.c_str(), days) || days > 100000))
        why = "--keep-raw takes whole days, not '" + v + "'";
    else if (a == "--commit-every" && !parseSeconds(v, 0, 10, opt.commitEveryMs))
        why = "--commit-every takes seconds from 0 to 10, not '" + v + "'";
    else if (a == "--max-db" && (!parseCount(v.c_str(), opt.maxDbMB) || opt.maxDbMB > 1000000 ||
                                 (opt.maxDbMB > 0 && opt.maxDbMB < 8)))
        why = "--max-db takes whole megabytes, 0 (none) or from 8, not '" + v + "'";
    else if (a == "--stop-wait" && !parseSeconds(v, 0, 3600, opt.stopGraceMs))
        why = "--stop-wait takes seconds, not '" + v + "'";
    else if (a == "--stale-after" && !parseSeconds(v, 0.001, 86400, opt.staleAfterMs))
        why = "--stale-after takes seconds, not '" + v + "'";
    else if (a == "--http" && !smdhost::parseHttpAddress(v, opt.httpOptions, why))
        why = "--http " + v + ": " + why;
    if (!why.empty()) {
        std::cerr << "smd-host: " << why << std::endl;
        return false;
    }
    if (a == "--keep-raw") opt.keepRawDays = days;
    if (a == "--http") opt.http = true;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "history")
        return smdhost::runHistory(std::vector<std::string>(args.begin() + 1, args.end()));

    smdhost::RunOptions opt;
    // Beside the program, in the build tree as where it is installed.
    opt.scenarioDirs = {smdhost::programDir() + "/scenarios"};
    // A board has no charting package; its bundle carries the library along.
    const std::string chartJs = smdhost::programDir() + "/chart.min.js";
    if (::access(chartJs.c_str(), R_OK) == 0) opt.httpOptions.chartJs = chartJs;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takesValue(a)) {
            if (i + 1 >= args.size()) {
                std::cerr << "smd-host: " << a << " needs a value\n" << kUsage << std::endl;
                return 2;
            }
            if (!setOption(a, args[++i], opt)) return 2;
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "--verbose") {
            opt.verbose = true;
        } else if (a == "--no-restore") {
            opt.restore = false;
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage << std::endl;
            return 0;
        } else {
            std::cerr << "smd-host: unknown option '" << a << "'\n" << kUsage << std::endl;
            return 2;
        }
    }
    return smdhost::runHost(opt);
}
