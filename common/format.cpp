#include "common/format.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace common {
namespace {

// The toolchain's own printf (C99 rules, and the same on every Windows
// version) reads a bare "%s" in a wide format as narrow text. Our formats
// mean wide text, so a bare "s" conversion becomes "ls".
std::wstring WidenStringConversions(const wchar_t* format) {
  std::wstring out;
  for (const wchar_t* p = format; *p; ++p) {
    out += *p;
    if (*p != L'%') continue;
    if (p[1] == L'%') {
      out += *++p;
      continue;
    }
    bool has_length = false;
    while (p[1] && wcschr(L"-+ #0123456789.*hlLjzt", p[1])) {
      if (wcschr(L"hlLjzt", p[1])) has_length = true;
      out += *++p;
    }
    if (p[1] == L's' && !has_length) out += L'l';
  }
  return out;
}

}  // namespace

std::wstring VFormatWide(size_t buffer_chars, const wchar_t* format, va_list args) {
  if (buffer_chars == 0) return std::wstring();
  std::vector<wchar_t> buffer(buffer_chars, L'\0');
  const std::wstring fixed = WidenStringConversions(format);
  __mingw_vsnwprintf(buffer.data(), buffer_chars, fixed.c_str(), args);
  buffer[buffer_chars - 1] = L'\0';
  return std::wstring(buffer.data());
}

std::wstring FormatWide(size_t buffer_chars, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = VFormatWide(buffer_chars, format, args);
  va_end(args);
  return text;
}

std::wstring FormatWin32Error(const std::wstring& message) {
  // Read first: formatting may itself change the thread's last error.
  const unsigned long code = GetLastError();
  return FormatWide(256, L"%s (win32 %lu)", message.c_str(), code);
}

}  // namespace common
