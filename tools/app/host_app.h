// smd-host: loads a device plug-in and runs its devices as the site's host
// would, optionally against a simulated board and supply.
#pragma once

#include <string>
#include <vector>

#include "files.h"  // programDir
#include "http_server.h"

namespace smdhost {

struct RunOptions {
    std::string configPath;   // empty: the default site (needs a scenario)
    std::string pluginPath;   // empty: from the configuration, else next to the program
    std::string dbPath;       // empty: from the configuration, else smd-host.db here
    std::string scenario;     // empty: no simulation
    std::vector<std::string> scenarioDirs;
    int rounds = 0;           // 0: until quit or a signal
    bool json = false;
    bool verbose = false;     // show the plug-in's own lines
    std::string pluginLog;    // keep them in a file instead
    std::string logPath;      // standard output and error into this file (reopened on SIGHUP)
    bool restore = true;
    int stopGraceMs = 15000;  // how long a stop waits for a round in progress
    int keepRawDays = 30;     // raw rounds kept; 0: for ever (the tiers stay longer)
    int commitEveryMs = 10000; // the history's least time between commits; 0: a commit per batch
    int maxDbMB = -1;         // the history's size budget; -1: the site's, 0: none
    bool http = false;        // the web front: dashboard, /api, /metrics
    HttpOptions httpOptions;
    int staleAfterMs = 0;     // 0: each device's own (configured, or from its poll interval)
};

int runHost(const RunOptions& options);

// `smd-host history ...`; args exclude the program name and "history".
int runHistory(const std::vector<std::string>& args);

}  // namespace smdhost
