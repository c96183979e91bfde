#include "common/registry.h"

#include <cwchar>

#include "common/unique_handle.h"

namespace common {

std::wstring ReadRegistryString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, REGSAM view,
                                size_t max_chars) {
  UniqueRegKey key;
  if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) return std::wstring();
  // The value may change between asking for its size and reading it: try
  // again a few times rather than read a cut value.
  // No expansion: a REG_EXPAND_SZ is another type, not a REG_SZ.
  const DWORD flags = RRF_RT_REG_SZ | RRF_NOEXPAND;
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD bytes = 0;
    DWORD type = 0;
    if (RegGetValueW(key.get(), nullptr, value_name, flags, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ || bytes < sizeof(wchar_t)) {
      return std::wstring();
    }
    // RegGetValueW terminates the text, also one stored without a
    // terminator, and counts that terminator in the size it reports.
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    const LONG status = RegGetValueW(key.get(), nullptr, value_name, flags, &type, &text[0], &bytes);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::wstring();
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text.size() <= max_chars ? text : std::wstring();
  }
  return std::wstring();
}

}  // namespace common
