#include "common/env.h"

#include <windows.h>

namespace common {

std::wstring EnvironmentValue(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring value(size, L'\0');
  DWORD got = GetEnvironmentVariableW(name, &value[0], size);
  value.resize(got < size ? got : 0);
  return value;
}

}  // namespace common
