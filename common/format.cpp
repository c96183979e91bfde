#include "common/format.h"

#include <windows.h>

#include <charconv>
#include <cwchar>

#include "common/text.h"

namespace common {
namespace format_detail {
namespace {

struct Directive {
  bool left = false;  // "-": pad on the right
  bool zero = false;  // "0": pad numbers with zeros
  size_t width = 0;
  int precision = -1;
  wchar_t conversion = 0;
};

// Reads one conversion after its "%"; p ends on the conversion letter.
Directive ReadDirective(const wchar_t*& p) {
  Directive directive;
  for (;; ++p) {
    if (*p == L'-') {
      directive.left = true;
    } else if (*p == L'0') {
      directive.zero = true;
    } else if (*p != L'+' && *p != L' ' && *p != L'#') {
      break;
    }
  }
  while (*p >= L'0' && *p <= L'9') directive.width = directive.width * 10 + static_cast<size_t>(*p++ - L'0');
  if (*p == L'.') {
    ++p;
    directive.precision = 0;
    while (*p >= L'0' && *p <= L'9') directive.precision = directive.precision * 10 + (*p++ - L'0');
  }
  while (*p == L'h' || *p == L'l' || *p == L'L' || *p == L'z' || *p == L'j' || *p == L't') ++p;
  directive.conversion = *p;
  return directive;
}

std::wstring Widen(const char* begin, const char* end) { return std::wstring(begin, end); }  // ASCII digits

std::wstring Integer(const Arg& arg, wchar_t conversion) {
  const unsigned bits = arg.width * 8;
  const uint64_t mask = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
  const uint64_t value = arg.bits & mask;
  char buffer[32];
  std::to_chars_result done;
  if (conversion == L'd' || conversion == L'i') {
    // Read at the argument's width, as printf reads what it is given.
    const bool negative = bits < 64 ? (value >> (bits - 1)) & 1 : (value >> 63) & 1;
    const int64_t signed_value = negative ? static_cast<int64_t>(value | ~mask) : static_cast<int64_t>(value);
    done = std::to_chars(buffer, buffer + sizeof buffer, signed_value);
  } else {
    done = std::to_chars(buffer, buffer + sizeof buffer, value, conversion == L'u' ? 10 : 16);
    if (conversion == L'X') {
      for (char* c = buffer; c < done.ptr; ++c) {
        if (*c >= 'a' && *c <= 'f') *c = static_cast<char>(*c - 'a' + 'A');
      }
    }
  }
  return Widen(buffer, done.ptr);
}

std::wstring Real(double value, const Directive& directive) {
  char buffer[512];
  const int precision = directive.precision < 0 ? 6 : directive.precision;
  const std::chars_format format = directive.conversion == L'f'   ? std::chars_format::fixed
                                   : directive.conversion == L'e' ? std::chars_format::scientific
                                                                  : std::chars_format::general;
  const std::to_chars_result done = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
  if (done.ec != std::errc()) return L"?";
  return Widen(buffer, done.ptr);
}

void AppendPadded(std::wstring& out, const std::wstring& text, const Directive& directive, bool number) {
  if (text.size() >= directive.width) {
    out += text;
    return;
  }
  const size_t fill = directive.width - text.size();
  if (directive.left) {
    out += text;
    out.append(fill, L' ');
  } else if (directive.zero && number) {
    // Zeros go after a sign.
    const size_t sign = !text.empty() && text[0] == L'-' ? 1 : 0;
    out.append(text, 0, sign);
    out.append(fill, L'0');
    out.append(text, sign, std::wstring::npos);
  } else {
    out.append(fill, L' ');
    out += text;
  }
}

}  // namespace

std::wstring FormatArgs(size_t buffer_chars, const wchar_t* format, const Arg* args, size_t count) {
  if (buffer_chars == 0) return std::wstring();
  std::wstring out;
  size_t next = 0;
  for (const wchar_t* p = format; *p; ++p) {
    if (*p != L'%') {
      out += *p;
      continue;
    }
    ++p;
    if (*p == L'%') {
      out += L'%';
      continue;
    }
    // "%2$s": a translation may put the arguments in another order.
    size_t position = 0;
    const wchar_t* digits = p;
    while (*digits >= L'0' && *digits <= L'9') position = position * 10 + static_cast<size_t>(*digits++ - L'0');
    if (*digits == L'$' && position > 0) {
      p = digits + 1;
      next = position - 1;
    }
    const Directive directive = ReadDirective(p);
    if (*p == 0 || next >= count) break;  // the compiler has checked every format
    const Arg& arg = args[next++];
    switch (arg.kind) {
      case Kind::kText:
        AppendPadded(out, arg.is_narrow ? Utf8ToWide(std::string(arg.narrow)) : std::wstring(arg.wide), directive,
                     false);
        break;
      case Kind::kInteger: AppendPadded(out, Integer(arg, directive.conversion), directive, true); break;
      case Kind::kFloat: AppendPadded(out, Real(arg.real, directive), directive, true); break;
    }
  }
  if (out.size() > buffer_chars - 1) out.resize(buffer_chars - 1);
  return out;
}

}  // namespace format_detail

std::wstring FormatWin32Error(const std::wstring& message) {
  // Read first: formatting may itself change the thread's last error.
  const unsigned long code = GetLastError();
  return FormatWide(256, L"%s (win32 %lu)", message, code);
}

}  // namespace common
