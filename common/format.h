#pragma once
// printf-style formatting of wide text with typed arguments: every argument
// keeps its C++ type, and the compiler checks the format against them, so a
// "%s" given a number, a "%d" given a string, or a missing or extra argument
// does not compile.
//
// Conversions: %s (wide text, or narrow text read as UTF-8), %d %i (an
// integer shown signed), %u %x %X (shown unsigned, at the argument's own
// width, as printf would), %f %e %g (floating point), %%. Flags "-" and "0",
// a width and a precision work as in printf; length letters (h l ll z j t)
// are accepted and changed nothing, since the argument's type decides.
// The result is cut to buffer_chars - 1 characters, as a fixed buffer would.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace common {
namespace format_detail {

enum class Kind : unsigned char { kText, kInteger, kFloat };

template <typename T>
constexpr bool kAlwaysFalse = false;

template <typename T>
constexpr Kind KindOf() {
  using U = std::remove_cvref_t<T>;
  using D = std::decay_t<U>;
  if constexpr (std::is_same_v<U, std::wstring> || std::is_same_v<U, std::wstring_view> ||
                std::is_same_v<D, const wchar_t*> || std::is_same_v<D, wchar_t*> || std::is_same_v<U, std::string> ||
                std::is_same_v<U, std::string_view> || std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
    return Kind::kText;
  } else if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
    return Kind::kInteger;
  } else if constexpr (std::is_floating_point_v<U>) {
    return Kind::kFloat;
  } else {
    static_assert(kAlwaysFalse<T>, "this type cannot be formatted");
    return Kind::kText;
  }
}

// Not a constant expression: a format that reaches it does not compile.
void FormatDoesNotMatchItsArguments();

// Walks a format the way Format() does and checks each conversion against
// the kind of its argument, and the number of arguments.
consteval void Check(const wchar_t* format, const Kind* kinds, size_t count) {
  size_t used = 0;
  for (const wchar_t* p = format; *p; ++p) {
    if (*p != L'%') continue;
    ++p;
    if (*p == L'%') continue;
    while (*p == L'-' || *p == L'0' || *p == L'+' || *p == L' ' || *p == L'#') ++p;
    while (*p >= L'0' && *p <= L'9') ++p;
    if (*p == L'.') {
      ++p;
      while (*p >= L'0' && *p <= L'9') ++p;
    }
    while (*p == L'h' || *p == L'l' || *p == L'L' || *p == L'z' || *p == L'j' || *p == L't') ++p;
    Kind wanted;
    switch (*p) {
      case L's': wanted = Kind::kText; break;
      case L'd':
      case L'i':
      case L'u':
      case L'x':
      case L'X': wanted = Kind::kInteger; break;
      case L'f':
      case L'e':
      case L'g': wanted = Kind::kFloat; break;
      default: FormatDoesNotMatchItsArguments(); return;
    }
    if (used >= count || kinds[used] != wanted) FormatDoesNotMatchItsArguments();
    ++used;
  }
  if (used != count) FormatDoesNotMatchItsArguments();
}

// A format text checked against the argument types Args.
template <typename... Args>
class Format {
 public:
  template <size_t N>
  consteval Format(const wchar_t (&text)[N]) : text_(text) {    // NOLINT: implicit on purpose
    constexpr Kind kinds[] = {KindOf<Args>()..., Kind::kText};  // one more, so it is never empty
    Check(text, kinds, sizeof...(Args));
  }
  const wchar_t* text() const { return text_; }

 private:
  const wchar_t* text_;
};
template <typename... Args>
using FormatFor = Format<std::type_identity_t<Args>...>;

// One argument, as the formatter reads it.
struct Arg {
  Kind kind = Kind::kText;
  uint64_t bits = 0;   // an integer's value at its own width
  unsigned width = 0;  // an integer's size in bytes
  bool is_signed = false;
  double real = 0;
  std::wstring_view wide;
  std::string_view narrow;  // UTF-8 text
  bool is_narrow = false;
};

inline Arg MakeArg(std::wstring_view text) {
  Arg a;
  a.wide = text;
  return a;
}
inline Arg MakeArg(const wchar_t* text) { return MakeArg(std::wstring_view(text != nullptr ? text : L"(null)")); }
inline Arg MakeArg(const std::wstring& text) { return MakeArg(std::wstring_view(text)); }
inline Arg MakeArg(std::string_view text) {
  Arg a;
  a.narrow = text;
  a.is_narrow = true;
  return a;
}
inline Arg MakeArg(const char* text) { return MakeArg(std::string_view(text != nullptr ? text : "(null)")); }
inline Arg MakeArg(const std::string& text) { return MakeArg(std::string_view(text)); }
template <typename T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
Arg MakeArg(T value) {
  using I = typename std::conditional_t<std::is_enum_v<T>, std::underlying_type<T>, std::type_identity<T>>::type;
  Arg a;
  a.kind = Kind::kInteger;
  a.bits = static_cast<uint64_t>(static_cast<std::make_unsigned_t<I>>(static_cast<I>(value)));
  a.width = sizeof(I);
  a.is_signed = std::is_signed_v<I>;
  return a;
}
template <typename T, std::enable_if_t<std::is_floating_point_v<T>, int> = 0>
Arg MakeArg(T value) {
  Arg a;
  a.kind = Kind::kFloat;
  a.real = static_cast<double>(value);
  return a;
}

std::wstring FormatArgs(size_t buffer_chars, const wchar_t* format, const Arg* args, size_t count);

}  // namespace format_detail

template <typename... Args>
std::wstring FormatWide(size_t buffer_chars, format_detail::FormatFor<Args...> format, const Args&... args) {
  const format_detail::Arg list[] = {format_detail::MakeArg(args)..., format_detail::Arg()};
  return format_detail::FormatArgs(buffer_chars, format.text(), list, sizeof...(Args));
}

// "<message> (win32 <last error>)", cut at 255 characters. Call it right
// after the failing platform call.
std::wstring FormatWin32Error(const std::wstring& message);

}  // namespace common
