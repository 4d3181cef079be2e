// The dashboard's files, compiled in from tools/web/dashboard/.
#pragma once

namespace smdhost {

extern const char* const kDashboardHtml;
extern const char* const kDashboardJs;
extern const char* const kDashboardCss;

}  // namespace smdhost
