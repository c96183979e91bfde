#pragma once
// The rule for every text field that comes from the server list.
#include <cstddef>
#include <string>

namespace servers {

// Decodes UTF-8 leniently (a malformed sequence becomes U+FFFD), turns every
// control character (below 0x20, and 0x7F) into a blank without trimming,
// and keeps at most max_units UTF-16 units. A cut that would leave the
// first half of a surrogate pair at the end drops that half too.
std::wstring CleanText(const std::string& utf8, size_t max_units);

}  // namespace servers
