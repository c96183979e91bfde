#pragma once
// Text conversions shared by every reader of outside data. UTF-8 is decoded
// leniently: a malformed sequence becomes U+FFFD, so a conversion never fails.
#include <string>

namespace common {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace common
