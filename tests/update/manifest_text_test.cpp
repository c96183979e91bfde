// The byte-level rules of the release description. Plain C++: this program
// also runs natively, under the address and undefined-behaviour sanitizers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "update/trust/manifest_text.h"

namespace {

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

TEST(IsSafeRelativePath, AcceptsOnlyPathsInsideTheGameFolder) {
  const std::string letters240(240, 'a');
  const std::string nested240 = std::string(118, 'a') + "/" + std::string(121, 'b');
  for (const std::string& good :
       {std::string("a"), std::string("bin/sub/mod.dll"), std::string("..a/b.."), std::string("a/.../b"),
        std::string(".hidden"), std::string("carte-\xC3\xA9t\xC3\xA9.map"), std::string("\xF0\x9F\x8E\xAE/x"),
        std::string("bad-utf8-\xFF\xFE"), std::string("a b"), letters240, nested240,
        std::string("files/2.0/a%20b#c")}) {
    EXPECT_TRUE(update::IsSafeRelativePath(good)) << good;
  }
  for (const std::string& bad : {std::string(""),
                                 std::string(241, 'a'),
                                 std::string(120, 'a') + "/" + std::string(120, 'b'),
                                 std::string("../x"),
                                 std::string(".."),
                                 std::string("."),
                                 std::string("a/./b"),
                                 std::string("a/../b"),
                                 std::string("a/.."),
                                 std::string("a//b"),
                                 std::string("/a"),
                                 std::string("a/"),
                                 std::string("D:/a"),
                                 std::string("a:stream"),
                                 std::string("a\\b"),
                                 std::string("\\\\server\\share"),
                                 std::string("a?b"),
                                 std::string("a*b"),
                                 std::string("a\"b"),
                                 std::string("a<b"),
                                 std::string("a>b"),
                                 std::string("a|b"),
                                 std::string("a\tb"),
                                 std::string("a\x01") + "b",
                                 std::string("a\x1F"),
                                 std::string("a\0b", 3),
                                 std::string("https://example.com/x")}) {
    EXPECT_FALSE(update::IsSafeRelativePath(bad)) << Printable(bad);
  }
}

TEST(ManifestText, TrimAndTokens) {
  EXPECT_EQ(update::Trim(" \t\v\f\r\n a  b \r\n"), "a  b");
  EXPECT_EQ(update::Trim(" \t\r\n"), "");
  EXPECT_EQ(update::Trim(""), "");
  EXPECT_EQ(update::SplitLines("a\r\n\nb"), (std::vector<std::string>{"a\r", "", "b"}));
  EXPECT_EQ(update::SplitLines("a\n"), std::vector<std::string>{"a"});
  EXPECT_EQ(update::SplitLines(""), std::vector<std::string>{});
  EXPECT_EQ(update::SplitTokens("file\ta  b\v\fc\r"), (std::vector<std::string>{"file", "a", "b", "c"}));
  EXPECT_EQ(update::SplitTokens("   "), std::vector<std::string>{});
  EXPECT_EQ(update::SplitTokens(std::string("a\0b c", 5)), (std::vector<std::string>{std::string("a\0b", 3), "c"}));
}

TEST(ManifestText, WholeNumbersOnly) {
  struct Case {
    const char* token;
    bool int32_ok;
    int32_t int32;
    bool uint64_ok;
    uint64_t uint64;
  };
  const Case cases[] = {{"0", true, 0, true, 0},
                        {"+7", true, 7, true, 7},
                        {"-1", true, -1, false, 0},  // a negative size must not wrap round
                        {"2147483647", true, 2147483647, true, 2147483647},
                        {"2147483648", false, 0, true, 2147483648ull},
                        {"-2147483648", true, INT32_MIN, false, 0},
                        {"18446744073709551615", false, 0, true, UINT64_MAX},
                        {"18446744073709551616", false, 0, false, 0},
                        {"12abc", false, 0, false, 0},
                        {"0x10", false, 0, false, 0},
                        {"", false, 0, false, 0},
                        {"+", false, 0, false, 0},
                        {"--1", false, 0, false, 0},
                        {" 1", false, 0, false, 0}};
  for (const Case& c : cases) {
    int32_t i = 42;
    uint64_t u = 42;
    EXPECT_EQ(update::ParseInt32(c.token, i), c.int32_ok) << c.token;
    EXPECT_EQ(i, c.int32_ok ? c.int32 : 42) << c.token << ": untouched on failure";
    EXPECT_EQ(update::ParseUint64(c.token, u), c.uint64_ok) << c.token;
    EXPECT_EQ(u, c.uint64_ok ? c.uint64 : 42u) << c.token;
  }
}

TEST(ManifestText, DigestsAre64HexDigits) {
  EXPECT_TRUE(update::IsHexDigest(std::string(64, 'a')));
  EXPECT_TRUE(update::IsHexDigest(std::string(32, 'F') + std::string(32, '0')));
  EXPECT_FALSE(update::IsHexDigest(std::string(63, 'a')));
  EXPECT_FALSE(update::IsHexDigest(std::string(65, 'a')));
  EXPECT_FALSE(update::IsHexDigest(std::string(63, 'a') + "g"));
  EXPECT_FALSE(update::IsHexDigest(std::string(63, 'a') + std::string(1, '\0')));
}

TEST(ManifestText, UtcTimes) {
  struct Case {
    const char* text;
    bool ok;
    int64_t seconds;
  };
  const Case cases[] = {{"1970-01-01T00:00:00Z", true, 0},
                        {"2000-02-29T12:00:00Z", true, 951825600},
                        {"2038-01-19T03:14:08Z", true, 2147483648ll},  // past 32 bits
                        {"9999-12-31T23:59:59Z", true, 253402300799ll},
                        {"1900-02-29T00:00:00Z", false, 0},  // not a leap year
                        {"2023-02-29T00:00:00Z", false, 0},
                        {"2024-04-31T00:00:00Z", false, 0},
                        {"2024-00-10T00:00:00Z", false, 0},
                        {"2024-01-01T00:60:00Z", false, 0},
                        {"2024-01-01T00:00:60Z", false, 0},
                        {"1969-12-31T23:59:59Z", true, -1},
                        {"0000-02-29T00:00:00Z", true, -62162121600ll},
                        {"2024-01-01 00:00:00Z", false, 0},
                        {"2024-1-01T00:00:00Z", false, 0},
                        {"2024-01-01T00:00:00+00:00", false, 0},
                        {"", false, 0}};
  for (const Case& c : cases) {
    int64_t seconds = -1;
    EXPECT_EQ(update::ParseUtcTime(c.text, seconds), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(seconds, c.seconds) << c.text;
    }
  }
}

}  // namespace
