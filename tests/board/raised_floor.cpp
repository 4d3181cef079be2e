// A module that needs more than the board offers, on purpose: a float
// to_chars (GLIBCXX_3.4.29) and getentropy (GLIBC_2.25).
// scripts/board-check.sh must refuse it and name both.
#include <unistd.h>

#include <charconv>

extern "C" int raised_floor(char* out, int size, float value) {
    if (getentropy(out, 1) != 0) return -1;
    return static_cast<int>(std::to_chars(out, out + size, value).ptr - out);
}
