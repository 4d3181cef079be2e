// The site's state in Prometheus' text exposition format.
#pragma once

#include <array>
#include <string>

#include "site_state.h"

namespace smdhost {

// Short names of the six alarms, in record order, for the `alarm` label.
extern const std::array<const char*, 6> kAlarmKeys;

std::string renderMetrics(const SiteView& site);

// A label value with \, " and newline escaped.
std::string labelValue(const std::string& text);

}  // namespace smdhost
