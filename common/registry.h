#pragma once
// Reading the registry. A missing key or value is a normal answer: empty.
#include <windows.h>

#include <cstddef>
#include <string>

namespace common {

// One REG_SZ value of root\subkey, read in the view given (0,
// KEY_WOW64_32KEY or KEY_WOW64_64KEY). Empty when the key or value is
// missing, of another type (REG_EXPAND_SZ included), or longer than
// max_chars characters.
std::wstring ReadRegistryString(HKEY root, const wchar_t* subkey, const wchar_t* value_name, REGSAM view,
                                size_t max_chars = static_cast<size_t>(-1));

}  // namespace common
