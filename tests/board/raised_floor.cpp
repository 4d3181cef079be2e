// A module that needs more than the board offers, on purpose: getentropy
// (GLIBC_2.25) and, where the C++ library has it, a float to_chars
// (GLIBCXX_3.4.29); an older one gets a thread start (GLIBCXX_3.4.22).
// scripts/board-check.sh must refuse it and name both.
#include <unistd.h>

#include <charconv>
#include <thread>

extern "C" int raised_floor(char* out, int size, float value) {
    if (getentropy(out, 1) != 0) return -1;
#if defined(__cpp_lib_to_chars)
    return static_cast<int>(std::to_chars(out, out + size, value).ptr - out);
#else
    std::thread([out, size, value] { out[0] = static_cast<char>(size + static_cast<int>(value)); }).join();
    return 1;
#endif
}
