// smd-host's read-only web front: the dashboard, its JSON and /metrics.
// Its own threads, a bounded number of them, with timeouts and size
// limits, so no client can hold up polling or storing.
#pragma once

#include <memory>
#include <string>

#include "site_state.h"

namespace smdhost {

class HistoryStore;

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 0;            // 0: any free port
    int threads = 4;         // requests served at once
    int queued = 16;         // accepted connections waiting for a thread
    int timeoutSeconds = 5;  // each read and write, and an idle keep-alive
    std::string chartJs;     // the charting library's file; empty: the packaged one
};

// "PORT" (loopback), "ADDR:PORT" or "[ADDR]:PORT"; false with why.
bool parseHttpAddress(const std::string& text, HttpOptions& out, std::string& why);

class WebServer {
public:
    virtual ~WebServer() = default;
    // The port it listens on.
    virtual int port() const = 0;
    // Stops accepting and waits for the requests in progress.
    virtual void stop() = 0;
};

// Listening when it returns; throws std::runtime_error when it cannot bind,
// or when smd-host was built without HTTP. History is read from store
// through a connection of its own.
std::unique_ptr<WebServer> startWebServer(const SiteState& state, HistoryStore* store,
                                          const HttpOptions& options);

}  // namespace smdhost
