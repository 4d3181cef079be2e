#include "utf8_text.h"

namespace smdhost {

namespace {

// The length of the valid sequence at s[i], 0 when none starts there
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t sequenceAt(const std::string& s, std::size_t i) {
    const auto byte = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size() || byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    return n;
}

}  // namespace

std::string validUtf8(const std::string& text) {
    std::string out;
    std::size_t done = 0;  // text[0, done) is already in out
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = sequenceAt(text, i);
        if (n > 0) {
            i += n;
            continue;
        }
        out.append(text, done, i - done);
        out += "\xEF\xBF\xBD";
        done = ++i;
    }
    if (done == 0) return text;
    out.append(text, done, std::string::npos);
    return out;
}

}  // namespace smdhost
