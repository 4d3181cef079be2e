#include <cstdlib>

#include "http_server.h"

namespace smdhost {

bool parseHttpAddress(const std::string& text, HttpOptions& out, std::string& why) {
    std::string host = "127.0.0.1";
    std::string port = text;
    const auto colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        else if (host.find(':') != std::string::npos)
            return why = "an IPv6 address goes in brackets: [ADDR]:PORT", false;
        if (host.empty()) host = "127.0.0.1";
    }
    char* end = nullptr;
    const long p = port.empty() ? -1 : std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || p < 0 || p > 65535)
        return why = "'" + port + "' is not a port (0 to 65535)", false;
    out.host = host;
    out.port = static_cast<int>(p);
    return true;
}

}  // namespace smdhost
