#pragma once
// The texts a player reads, in the player's language. Each is asked for by
// its English text, which is also the key of every catalogue, so the code
// reads as it did in English and the build finds what translators need:
//
//   Tr(L"Play")                                      a plain text
//   TrF(L"Could not open %s: %s", path, reason)      a format, checked against its arguments
//   TrN(n, L"%d file updated", L"%d files updated", n)
//
// Only literal texts: the build collects them. Log lines stay English.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/format.h"

namespace common {

// The language every text is given in from now on: a tag we ship
// ("en", "de", "pt-BR", ...; "qps-ploc" for the pseudo-language). Set once
// at start, before any other thread reads a text. Returns false for a tag
// we do not ship, which leaves English.
[[nodiscard]] bool SetLanguage(std::wstring_view tag);
std::wstring Language();

// The languages we ship, English first (the pseudo-language is not listed).
std::vector<std::wstring> ShippedLanguages();

// The language for a player: the one asked for (an option, when not empty)
// if we ship it, else the first of the preferred list we ship, each tag
// tried along its chain ("pt-BR", then "pt", then any we ship with that
// language); English when none is.
std::wstring ChooseLanguage(std::wstring_view asked, const std::vector<std::wstring>& preferred);

// The user's preferred UI languages, most preferred first.
std::vector<std::wstring> PreferredLanguages();

// The index of the plural form for a count in a language, in the order its
// catalogue gives the forms (CLDR categories).
unsigned PluralForm(std::wstring_view tag, uint64_t count);

const wchar_t* Tr(const wchar_t* english);

namespace texts_detail {
const wchar_t* Plural(uint64_t count, const wchar_t* one, const wchar_t* other);
}

template <typename... Args>
std::wstring TrF(format_detail::FormatFor<Args...> format, const Args&... args) {
  const format_detail::Arg list[] = {format_detail::MakeArg(args)..., format_detail::Arg()};
  return format_detail::FormatArgs(4096, Tr(format.text()), list, sizeof...(Args));
}

template <typename... Args>
std::wstring TrN(uint64_t count, format_detail::FormatFor<Args...> one, format_detail::FormatFor<Args...> other,
                 const Args&... args) {
  const format_detail::Arg list[] = {format_detail::MakeArg(args)..., format_detail::Arg()};
  return format_detail::FormatArgs(4096, texts_detail::Plural(count, one.text(), other.text()), list, sizeof...(Args));
}

// Numbers as the language writes them: "1,234.5", "1.234,5", "1 234,5".
std::wstring FormatNumber(double value, int decimals);
std::wstring FormatCount(uint64_t value);
// "5 bytes", "12.0 kB", "1.5 GB" (decimal units, one decimal).
std::wstring FormatSize(uint64_t bytes);
// A time of day in UTC as the language writes a date and time:
// "2026-12-09 14:05:00 UTC", "09.12.2026, 14:05:00 UTC", "09/12/2026 ...".
std::wstring FormatUtcTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                           unsigned second);
// "2 d 3 h", "3 h 5 min", "4 min", "12 s".
std::wstring FormatDuration(uint64_t seconds);

}  // namespace common
