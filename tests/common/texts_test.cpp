// The player's language: which one a start chooses, plural forms by CLDR
// family, numbers and sizes as each language writes them, and catalogue
// lookup with arguments in a translation's own order.
#include "common/texts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/catalogue_data.h"

namespace {

// Each case leaves the language as it found it: English.
struct InLanguage {
  explicit InLanguage(const wchar_t* tag) { ok = common::SetLanguage(tag); }
  ~InLanguage() { (void)common::SetLanguage(L"en"); }
  bool ok = false;
};

TEST(TextsTest, LanguageChosenFromTheAskedAndThePreferred) {
  struct Case {
    const wchar_t* asked;
    std::vector<std::wstring> preferred;
    const wchar_t* want;
  };
  const Case cases[] = {
      {L"", {L"de-DE", L"en-US"}, L"de"},
      {L"", {L"pt-BR"}, L"pt-BR"},
      {L"", {L"pt-PT", L"fr-FR"}, L"pt-BR"},  // the Portuguese we ship before the next language
      {L"", {L"ja-JP", L"ru-RU"}, L"ru"},     // the first one we ship
      {L"", {L"zh-Hant-TW", L"es-MX"}, L"es"},
      {L"", {L"ja-JP"}, L"en"},
      {L"", {}, L"en"},
      {L"fr", {L"de-DE"}, L"fr"},     // the option wins
      {L"xx", {L"pl-PL"}, L"pl"},     // one we do not ship is passed over
      {L"en-GB", {L"de-DE"}, L"en"},  // English asked for is English
      {L"PT_br", {}, L"pt-BR"},
      {L"es-419", {}, L"es"},
      {L"qps-ploc", {L"de-DE"}, L"qps-ploc"},
      {L"", {L"qps-ploc"}, L"qps-ploc"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(common::ChooseLanguage(c.asked, c.preferred), c.want) << "asked " << c.asked;
  }
}

TEST(TextsTest, PluralFormsFollowEachFamily) {
  struct Case {
    const wchar_t* tag;
    std::vector<std::pair<uint64_t, unsigned>> counts;  // count, form
  };
  const Case cases[] = {
      {L"en", {{0, 1}, {1, 0}, {2, 1}, {11, 1}, {21, 1}}},
      {L"de", {{0, 1}, {1, 0}, {2, 1}}},
      {L"fr", {{0, 0}, {1, 0}, {2, 2}, {1000000, 1}, {2000000, 1}, {1000001, 2}}},
      {L"pt-BR", {{0, 0}, {1, 0}, {2, 2}, {1000000, 1}}},
      {L"es", {{0, 2}, {1, 0}, {2, 2}, {1000000, 1}}},
      {L"pl", {{0, 2}, {1, 0}, {2, 1}, {4, 1}, {5, 2}, {12, 2}, {14, 2}, {21, 2}, {22, 1}, {104, 1}, {112, 2}}},
      {L"ru", {{0, 2}, {1, 0}, {2, 1}, {5, 2}, {11, 2}, {14, 2}, {21, 0}, {22, 1}, {101, 0}, {111, 2}}},
  };
  for (const Case& c : cases) {
    for (const auto& [count, form] : c.counts) {
      EXPECT_EQ(common::PluralForm(c.tag, count), form) << c.tag << " " << count;
    }
  }
  // Every form a count picks is one the language's catalogue has.
  for (size_t i = 0; i < common::catalogue_data::kTableCount; ++i) {
    const auto& table = common::catalogue_data::kTables[i];
    for (uint64_t n = 0; n < 1200; ++n) ASSERT_LT(common::PluralForm(table.tag, n), table.plural_forms) << table.tag;
  }
}

TEST(TextsTest, NumbersAsEachLanguageWritesThem) {
  struct Case {
    const wchar_t* tag;
    double value;
    int decimals;
    std::wstring want;
  };
  const Case cases[] = {
      {L"en", 1234567.891, 2, L"1,234,567.89"},
      {L"en", 999.96, 1, L"1,000.0"},
      {L"en", -0.04, 1, L"0.0"},
      {L"de", 1234567.891, 2, L"1.234.567,89"},
      {L"fr", 1234.5, 1, L"1\u202f234,5"},
      {L"ru", 1234.5, 1, L"1\u00a0234,5"},
      {L"es", 1234, 0, L"1234"},  // a group sign from five digits on
      {L"es", 12345, 0, L"12.345"},
      {L"pl", 1234, 0, L"1234"},
      {L"pl", 12345.25, 2, L"12\u00a0345,25"},
      {L"pt-BR", 1.05, 1, L"1,1"},
  };
  for (const Case& c : cases) {
    InLanguage language(c.tag);
    ASSERT_TRUE(language.ok) << c.tag;
    EXPECT_EQ(common::FormatNumber(c.value, c.decimals), c.want) << c.tag << " " << c.value;
  }
}

TEST(TextsTest, SizesAndDurationsInEnglish) {
  const std::pair<uint64_t, std::wstring> sizes[] = {
      {0, L"0 bytes"},         {1, L"1 byte"},
      {5, L"5 bytes"},         {999, L"999 bytes"},
      {1000, L"1.0 kB"},       {1500, L"1.5 kB"},
      {999949, L"999.9 kB"},   {999950, L"1.0 MB"},
      {1500000000, L"1.5 GB"}, {1234500000000, L"1,234.5 GB"},
  };
  for (const auto& [bytes, want] : sizes) EXPECT_EQ(common::FormatSize(bytes), want) << bytes;
  const std::pair<uint64_t, std::wstring> durations[] = {
      {0, L"0 s"}, {59, L"59 s"}, {60, L"1 min"}, {3900, L"1 h 5 min"}, {183600, L"2 d 3 h"},
  };
  for (const auto& [seconds, want] : durations) EXPECT_EQ(common::FormatDuration(seconds), want) << seconds;
}

TEST(TextsTest, DatesAsEachLanguageWritesThem) {
  const std::pair<const wchar_t*, std::wstring> cases[] = {
      {L"en", L"2026-03-09 14:05:07 UTC"}, {L"de", L"09.03.2026, 14:05:07 UTC"},   {L"ru", L"09.03.2026, 14:05:07 UTC"},
      {L"fr", L"09/03/2026 14:05:07 UTC"}, {L"pt-BR", L"09/03/2026 14:05:07 UTC"}, {L"es", L"09/03/2026, 14:05:07 UTC"},
  };
  for (const auto& [tag, want] : cases) {
    InLanguage language(tag);
    EXPECT_EQ(common::FormatUtcTime(2026, 3, 9, 14, 5, 7), want) << tag;
  }
}

TEST(TextsTest, TranslationsMayReorderTheirArguments) {
  const common::format_detail::Arg args[] = {common::format_detail::MakeArg(L"a.txt"),
                                             common::format_detail::MakeArg(3), common::format_detail::Arg()};
  EXPECT_EQ(common::format_detail::FormatArgs(64, L"%2$d: %1$s", args, 2), L"3: a.txt");
  EXPECT_EQ(common::format_detail::FormatArgs(64, L"%s (%d)", args, 2), L"a.txt (3)");
}

TEST(TextsTest, ThePseudoLanguageMarksEveryText) {
  InLanguage language(L"qps-ploc");
  ASSERT_TRUE(language.ok);
  EXPECT_EQ(common::Language(), L"qps-ploc");
  // Accented, longer, bracketed, with the placeholders kept and filled.
  const std::wstring size = common::FormatSize(1500);
  ASSERT_GE(size.size(), 2u);
  EXPECT_EQ(size.front(), L'[');
  EXPECT_EQ(size.back(), L']');
  EXPECT_NE(size.find(L"1.5"), std::wstring::npos) << "pseudo numbers are written as in English";
  const std::wstring one = common::FormatSize(1);
  const std::wstring many = common::FormatSize(2);
  EXPECT_NE(one.find(L"1 ƀýţé"), std::wstring::npos);
  EXPECT_NE(many.find(L"2 ƀýţéš"), std::wstring::npos);
  // A text no catalogue has is English.
  EXPECT_STREQ(common::Tr(L"not a text of the launcher"), L"not a text of the launcher");
}

TEST(TextsTest, AShippedLanguageIsComplete) {
  // The build checks each catalogue against the sources; here, that each
  // table the launcher carries holds every text the pseudo-language does.
  size_t pseudo = 0;
  for (size_t i = 0; i < common::catalogue_data::kTableCount; ++i) {
    const auto& table = common::catalogue_data::kTables[i];
    if (std::wstring(table.tag) == L"qps-ploc") pseudo = table.size;
  }
  ASSERT_GT(pseudo, 100u);
  for (const std::wstring& tag : common::ShippedLanguages()) {
    if (tag == L"en") continue;
    for (size_t i = 0; i < common::catalogue_data::kTableCount; ++i) {
      const auto& table = common::catalogue_data::kTables[i];
      if (tag == table.tag) {
        EXPECT_EQ(table.size, pseudo) << table.tag;
      }
    }
  }
}

}  // namespace
