// Built without HTTP (no libmicrohttpd for the target).
#include <stdexcept>

#include "http_server.h"

namespace smdhost {

std::unique_ptr<WebServer> startWebServer(const SiteState&, HistoryStore*,
                                          const HttpOptions&) {
    throw std::runtime_error("this smd-host was built without HTTP (PLOR_BUILD_HTTP=OFF)");
}

}  // namespace smdhost
