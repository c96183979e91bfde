#include "common/texts.h"

#include <windows.h>

#include <cmath>
#include <cwchar>

#include "common/catalogue_data.h"

namespace common {
namespace {

using catalogue_data::Entry;
using catalogue_data::Table;

// Chosen once at start, before other threads run; read-only after.
const Table* g_table = nullptr;
std::wstring g_tag = L"en";

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameTag(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const wchar_t x = a[i] == L'_' ? L'-' : Lower(a[i]);
    const wchar_t y = b[i] == L'_' ? L'-' : Lower(b[i]);
    if (x != y) return false;
  }
  return true;
}

std::wstring_view PrimaryOf(std::wstring_view tag) { return tag.substr(0, tag.find_first_of(L"-_")); }

const Entry* Find(const wchar_t* english) {
  if (g_table == nullptr || english == nullptr) return nullptr;
  const Entry* low = g_table->entries;
  const Entry* high = g_table->entries + g_table->size;
  while (low < high) {
    const Entry* middle = low + (high - low) / 2;
    const int order = std::wcscmp(middle->english, english);
    if (order == 0) return middle;
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return nullptr;
}

struct NumberStyle {
  const wchar_t* tag;
  wchar_t decimal;
  const wchar_t* group;
  int min_grouping;  // digits before the first group sign: 4 or 5
};

// CLDR's symbols and minimum grouping for each language we ship.
constexpr NumberStyle kStyles[] = {
    {L"en", L'.', L",", 4},      {L"de", L',', L".", 4},    {L"es", L',', L".", 5},      {L"fr", L',', L"\u202f", 4},
    {L"pl", L',', L"\u00a0", 5}, {L"pt-BR", L',', L".", 4}, {L"ru", L',', L"\u00a0", 4},
};

const NumberStyle& Style() {
  for (const NumberStyle& style : kStyles) {
    if (g_tag == style.tag) return style;
  }
  return kStyles[0];
}

std::wstring Grouped(std::wstring digits, const NumberStyle& style) {
  if (static_cast<int>(digits.size()) < style.min_grouping) return digits;
  std::wstring out;
  const size_t first = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
  out.append(digits, 0, first);
  for (size_t at = first; at < digits.size(); at += 3) {
    out += style.group;
    out.append(digits, at, 3);
  }
  return out;
}

}  // namespace

bool SetLanguage(std::wstring_view tag) {
  if (SameTag(tag, L"en")) {
    g_table = nullptr;
    g_tag = L"en";
    return true;
  }
  for (size_t i = 0; i < catalogue_data::kTableCount; ++i) {
    if (SameTag(tag, catalogue_data::kTables[i].tag)) {
      g_table = &catalogue_data::kTables[i];
      g_tag = g_table->tag;
      return true;
    }
  }
  return false;
}

std::wstring Language() { return g_tag; }

std::vector<std::wstring> ShippedLanguages() {
  std::vector<std::wstring> out = {L"en"};
  for (size_t i = 0; i < catalogue_data::kTableCount; ++i) {
    if (!SameTag(catalogue_data::kTables[i].tag, L"qps-ploc")) out.emplace_back(catalogue_data::kTables[i].tag);
  }
  return out;
}

namespace {

// The shipped tag for one asked-for tag, or empty: the tag itself, then
// shorter by one subtag at a time, then any we ship with the same language.
std::wstring Match(std::wstring_view asked, const std::vector<std::wstring>& shipped) {
  if (SameTag(asked, L"qps-ploc")) return L"qps-ploc";
  for (std::wstring_view tag = asked; !tag.empty();) {
    for (const std::wstring& s : shipped) {
      if (SameTag(tag, s)) return s;
    }
    const size_t cut = tag.find_last_of(L"-_");
    tag = cut == std::wstring_view::npos ? std::wstring_view() : tag.substr(0, cut);
  }
  for (const std::wstring& s : shipped) {
    if (!PrimaryOf(asked).empty() && SameTag(PrimaryOf(asked), PrimaryOf(s))) return s;
  }
  return std::wstring();
}

}  // namespace

std::wstring ChooseLanguage(std::wstring_view asked, const std::vector<std::wstring>& preferred) {
  const std::vector<std::wstring> shipped = ShippedLanguages();
  if (!asked.empty()) {
    std::wstring found = Match(asked, shipped);
    if (!found.empty()) return found;
  }
  for (const std::wstring& tag : preferred) {
    std::wstring found = Match(tag, shipped);
    if (!found.empty()) return found;
  }
  return L"en";
}

std::vector<std::wstring> PreferredLanguages() {
  ULONG count = 0;
  ULONG size = 0;
  std::vector<std::wstring> out;
  if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &size) || size == 0) return out;
  std::wstring buffer(size, L'\0');
  if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, buffer.data(), &size)) return out;
  // A list of names, each ended by a null, the list by one more.
  for (size_t at = 0; at < buffer.size() && buffer[at] != L'\0';) {
    const size_t end = buffer.find(L'\0', at);
    out.push_back(buffer.substr(at, end - at));
    if (end == std::wstring::npos) break;
    at = end + 1;
  }
  return out;
}

unsigned PluralForm(std::wstring_view tag, uint64_t n) {
  const uint64_t tens = n % 10;
  const uint64_t hundreds = n % 100;
  const bool few = tens >= 2 && tens <= 4 && (hundreds < 12 || hundreds > 14);
  if (SameTag(tag, L"ru")) return tens == 1 && hundreds != 11 ? 0 : few ? 1 : 2;
  if (SameTag(tag, L"pl")) return n == 1 ? 0 : few ? 1 : 2;
  // The "many" of the Romance languages is for whole millions ("1 million de fichiers").
  if (SameTag(tag, L"fr") || SameTag(tag, L"pt-BR")) return n <= 1 ? 0 : n % 1000000 == 0 ? 1 : 2;
  if (SameTag(tag, L"es")) return n == 1 ? 0 : n != 0 && n % 1000000 == 0 ? 1 : 2;
  return n == 1 ? 0 : 1;
}

const wchar_t* Tr(const wchar_t* english) {
  const Entry* entry = Find(english);
  return entry != nullptr ? entry->forms[0] : english;
}

namespace texts_detail {

const wchar_t* Plural(uint64_t count, const wchar_t* one, const wchar_t* other) {
  const Entry* entry = Find(one);
  if (entry == nullptr || entry->count < 2) return count == 1 ? one : other;
  const unsigned form = PluralForm(g_tag, count);
  return entry->forms[form < entry->count ? form : entry->count - 1];
}

}  // namespace texts_detail

std::wstring FormatNumber(double value, int decimals) {
  const NumberStyle& style = Style();
  const bool negative = value < 0;
  const double scale = std::pow(10.0, decimals);
  const uint64_t scaled = static_cast<uint64_t>(std::llround(std::fabs(value) * scale));
  const uint64_t whole = scaled / static_cast<uint64_t>(scale);
  std::wstring out = negative && scaled != 0 ? L"-" : L"";
  out += Grouped(std::to_wstring(whole), style);
  if (decimals > 0) {
    std::wstring fraction = std::to_wstring(scaled % static_cast<uint64_t>(scale));
    out += style.decimal;
    out.append(static_cast<size_t>(decimals) - fraction.size(), L'0');
    out += fraction;
  }
  return out;
}

std::wstring FormatCount(uint64_t value) { return Grouped(std::to_wstring(value), Style()); }

std::wstring FormatSize(uint64_t bytes) {
  if (bytes < 1000) return TrN(bytes, L"%s byte", L"%s bytes", FormatCount(bytes));
  const double value = static_cast<double>(bytes);
  if (bytes < 999950) return TrF(L"%s kB", FormatNumber(value / 1e3, 1));
  if (bytes < 999950000) return TrF(L"%s MB", FormatNumber(value / 1e6, 1));
  return TrF(L"%s GB", FormatNumber(value / 1e9, 1));
}

std::wstring FormatUtcTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                           unsigned second) {
  // Day first with dots or slashes, as CLDR's numeric dates of each; ISO in English.
  struct DateStyle {
    const wchar_t* tag;
    wchar_t separator;
    const wchar_t* between;  // the date and the time
  };
  static constexpr DateStyle kDates[] = {{L"de", L'.', L", "}, {L"pl", L'.', L", "}, {L"ru", L'.', L", "},
                                         {L"fr", L'/', L" "},  {L"es", L'/', L", "}, {L"pt-BR", L'/', L" "}};
  const std::wstring time = FormatWide(32, L"%02u:%02u:%02u UTC", hour, minute, second);
  for (const DateStyle& style : kDates) {
    if (g_tag == style.tag) {
      const std::wstring sep(1, style.separator);
      return FormatWide(64, L"%02u%s%02u%s%04u%s%s", day, sep, month, sep, year, style.between, time);
    }
  }
  return FormatWide(64, L"%04u-%02u-%02u %s", year, month, day, time);
}

std::wstring FormatDuration(uint64_t seconds) {
  const uint64_t days = seconds / 86400;
  const uint64_t hours = seconds % 86400 / 3600;
  const uint64_t minutes = seconds % 3600 / 60;
  if (days > 0) return TrF(L"%u d %u h", days, hours);
  if (hours > 0) return TrF(L"%u h %u min", hours, minutes);
  if (minutes > 0) return TrF(L"%u min", minutes);
  return TrF(L"%u s", seconds);
}

}  // namespace common
