// Asked of the kernel directly: since C library 2.33 fstat is a versioned
// symbol of its own, and the module must still load on boards whose library
// is older. Kept apart because the kernel's stat header clashes with the C
// library's.
#include "file_type.h"

// Older kernel headers (5.10, as on Debian 11) name the C library's ino_t,
// mode_t, uid_t and gid_t in MIPS's stat structures without declaring them.
#include <sys/types.h>

#include <asm/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

bool plor::isRegularFile(int fd) {
    constexpr unsigned kTypeMask = 0170000, kRegular = 0100000;
#if defined(SYS_fstat64)
    struct stat64 st {};
    if (::syscall(SYS_fstat64, fd, &st) != 0) return false;
#else
    struct stat st {};
    if (::syscall(SYS_fstat, fd, &st) != 0) return false;
#endif
    return (static_cast<unsigned>(st.st_mode) & kTypeMask) == kRegular;
}
