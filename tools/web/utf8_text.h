// Text that clients parse as UTF-8 (JSON, Prometheus labels) must be valid
// UTF-8: one bad byte from a plug-in or a query makes the whole reply unreadable.
#pragma once

#include <string>

namespace smdhost {

// The text with every byte that starts no valid UTF-8 sequence replaced by
// U+FFFD; valid text comes back unchanged.
std::string validUtf8(const std::string& text);

}  // namespace smdhost
