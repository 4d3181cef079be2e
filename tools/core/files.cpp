#include "files.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace smdhost {

bool readTextFile(const std::string& path, std::string& text, std::string& error,
                  std::size_t maxBytes) {
    // Non-blocking: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const std::string tooBig = "larger than " + std::to_string(maxBytes / 1024) + " KiB";
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > maxBytes) {
        error = S_ISDIR(st.st_mode)   ? std::strerror(EISDIR)
                : !S_ISREG(st.st_mode) ? "not a regular file"
                                       : tooBig;
        ::close(fd);
        return false;
    }
    text.clear();
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > maxBytes) {  // it grew while being read
            error = tooBig;
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

std::string programDir() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace smdhost
