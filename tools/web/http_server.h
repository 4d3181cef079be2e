// smd-host's read-only web front: the dashboard, its JSON and /metrics.
// A few threads of its own, each serving many connections from one event
// loop, with bounds on memory, connections and time per request, so no
// client can hold up polling, storing or the other clients.
#pragma once

#include <memory>
#include <string>

#include "site_state.h"

namespace smdhost {

class HistoryStore;

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 0;            // 0: any free port
    int threads = 4;          // event loops, each serving many connections
    int connections = 256;    // open at once; further ones wait in the backlog
    int perAddress = 64;      // open at once from one client address
    int timeoutSeconds = 5;   // with nothing read or written; an idle keep-alive
    int requestSeconds = 10;  // for a whole request, from the connection's opening or the last answer
    std::string chartJs;     // the charting library's file; empty: the packaged one
};

// "PORT" (loopback), "ADDR:PORT" or "[ADDR]:PORT"; false with why.
bool parseHttpAddress(const std::string& text, HttpOptions& out, std::string& why);

class WebServer {
public:
    virtual ~WebServer() = default;
    // The port it listens on.
    virtual int port() const = 0;
    // Stops accepting and closes every connection.
    virtual void stop() = 0;
};

// Listening when it returns; throws std::runtime_error when it cannot bind,
// or when smd-host was built without HTTP. History is read from store
// through a connection of its own.
std::unique_ptr<WebServer> startWebServer(const SiteState& state, HistoryStore* store,
                                          const HttpOptions& options);

}  // namespace smdhost
