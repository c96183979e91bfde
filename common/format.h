#pragma once
// printf-style formatting of wide text with the conventions our messages are
// written in: "%s" is wide text, plus "%d", "%lu", "%zu", "%llu".
// The result is cut to buffer_chars - 1 characters, as a fixed buffer would.
#include <cstdarg>
#include <string>

namespace common {

std::wstring VFormatWide(size_t buffer_chars, const wchar_t* format, va_list args);
std::wstring FormatWide(size_t buffer_chars, const wchar_t* format, ...);

// "<message> (win32 <last error>)", cut at 255 characters. Call it right
// after the failing platform call.
std::wstring FormatWin32Error(const std::wstring& message);

}  // namespace common
