#include "servers/clean_text.h"

#include "common/text.h"

namespace servers {

std::wstring CleanText(const std::string& utf8, size_t max_units) {
  std::wstring text = common::Utf8ToWide(utf8);
  for (wchar_t& c : text) {
    if (c < 0x20 || c == 0x7F) c = L' ';
  }
  if (text.size() > max_units) {
    text.resize(max_units);
    // Half a character would reach the page as garbage.
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
  }
  return text;
}

}  // namespace servers
