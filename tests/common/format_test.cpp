// Formatting with typed arguments: what printf would have written for the
// conversions our messages use, whatever the argument's own type.
#include "common/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using common::FormatWide;

TEST(FormatTest, ConversionsAsPrintfWritesThem) {
  struct Case {
    std::wstring got, want;
  };
  const std::wstring wide = L"\x0141\xD83D\xDE00";
  const Case cases[] = {
      // Text of either width; narrow text is UTF-8.
      {FormatWide(64, L"[%s]", wide), L"[" + wide + L"]"},
      {FormatWide(64, L"[%s|%s]", std::string("\xC5\x81"), "plain"), L"[\x0141|plain]"},
      {FormatWide(64, L"[%hs]", "narrow"), L"[narrow]"},
      {FormatWide(64, L"[%s]", static_cast<const wchar_t*>(nullptr)), L"[(null)]"},
      // Integers at their own width, read as the conversion says.
      {FormatWide(64, L"%d %d", -5, int64_t{-9000000000}), L"-5 -9000000000"},
      {FormatWide(64, L"%lu", static_cast<unsigned long>(4294967295u)), L"4294967295"},
      {FormatWide(64, L"%lu", -1), L"4294967295"},
      {FormatWide(64, L"%d", 4294967295u), L"-1"},
      {FormatWide(64, L"%llu %zu", uint64_t{18446744073709551615u}, size_t{7}), L"18446744073709551615 7"},
      {FormatWide(64, L"0x%08lx", static_cast<unsigned long>(0x80004005)), L"0x80004005"},
      {FormatWide(64, L"0x%08lx|%X", 0x5u, 0xabcu), L"0x00000005|ABC"},
      {FormatWide(64, L"%04u-%02u-%02u", 2026u, 3u, 9u), L"2026-03-09"},
      {FormatWide(64, L"[%5d|%-5d|%05d]", 42, 42, -42), L"[   42|42   |-0042]"},
      // Floating point.
      {FormatWide(64, L"%.1f %.0f %.2f", 12.345, 99.5, 0.004), L"12.3 100 0.00"},
      {FormatWide(64, L"%f", 1.5), L"1.500000"},
      // A percent sign, and a text cut to its buffer.
      {FormatWide(64, L"%d%%", 45), L"45%"},
      {FormatWide(8, L"%s", std::wstring(20, L'x')), std::wstring(7, L'x')},
      {FormatWide(1, L"abc"), L""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
}

}  // namespace
