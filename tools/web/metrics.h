// The site's state in Prometheus' text exposition format.
#pragma once

#include <array>
#include <string>

#include "site_state.h"

namespace smdhost {

std::string renderMetrics(const SiteView& site);

// A label value with \, " and newline escaped.
std::string labelValue(const std::string& text);

}  // namespace smdhost
