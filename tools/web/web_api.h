// The JSON behind the dashboard: devices and their latest values, a
// device's history for a range at a resolution fit for a plot, and its
// alarm transitions. Independent of the HTTP library.
#pragma once

#include <map>
#include <string>

#include "site_state.h"

namespace smdhost {

class HistoryStore;

struct Reply {
    int status = 200;
    std::string type = "application/json";
    std::string body;
};

using Params = std::map<std::string, std::string>;

Reply apiDevices(const SiteView& site);
// device=NAME and range=hour|day|month|year, or from=&to= (unix seconds);
// points=N (at most 2000). store: the host's history (its reads take a
// connection of their own); nullptr answers 503.
Reply apiHistory(const SiteView& site, HistoryStore* store, const Params& params);
// The same range's alarm transitions, oldest first, a page at a time:
// limit=N rows (1000 unless asked, at most 5000); "next" holds the query
// for the following page (from, to, after, limit), null after the last.
Reply apiTransitions(const SiteView& site, HistoryStore* store, const Params& params);

}  // namespace smdhost
