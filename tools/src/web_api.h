// The JSON behind the dashboard: devices and their latest values, a
// device's history for a range at a resolution fit for a plot, and its
// alarm transitions. Independent of the HTTP library.
#pragma once

#include <map>
#include <string>

#include "site_state.h"

namespace smdhost {

struct Reply {
    int status = 200;
    std::string type = "application/json";
    std::string body;
};

using Params = std::map<std::string, std::string>;

Reply apiDevices(const SiteView& site);
// device=NAME and range=hour|day|month|year, or from=&to= (unix seconds);
// points=N (at most 2000). The history is read from the database at dbPath.
Reply apiHistory(const SiteView& site, const std::string& dbPath, const Params& params);
Reply apiTransitions(const SiteView& site, const std::string& dbPath, const Params& params);

}  // namespace smdhost
