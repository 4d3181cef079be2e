// The web front's listening socket, made here rather than by the HTTP
// library: an exclusive bind (no SO_REUSEPORT, so a second smd-host on the
// port fails instead of sharing its requests) and a backlog of our choosing.
#pragma once

#include <string>

namespace smdhost {

// Connections the kernel holds complete but not yet accepted.
constexpr int kListenBacklog = 32;

// A non-blocking listening socket on host:port (0: any free port); throws
// std::runtime_error "cannot listen on HOST:PORT: why" ("in use" when taken).
int listenOn(const std::string& host, int port);

// The port a listening socket is bound to.
int boundPort(int fd);

}  // namespace smdhost
