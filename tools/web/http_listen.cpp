#include "http_listen.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace smdhost {

int listenOn(const std::string& host, int port) {
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    const std::string where = "cannot listen on " + shown + ":" + std::to_string(port) + ": ";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int gai = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (gai != 0) throw std::runtime_error(where + ::gai_strerror(gai));
    const addrinfo a = *found;
    sockaddr_storage addr{};
    std::memcpy(&addr, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);

    const int fd = ::socket(a.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(where + std::strerror(errno));
    // SO_REUSEADDR only lets a restart bind past connections in TIME_WAIT;
    // on Linux it never lets two sockets listen on one port.
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), a.ai_addrlen) != 0 ||
        ::listen(fd, kListenBacklog) != 0) {
        const int e = errno;
        ::close(fd);
        throw std::runtime_error(where + (e == EADDRINUSE ? "in use" : std::strerror(e)));
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

}  // namespace smdhost
