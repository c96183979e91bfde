#pragma once
// The process environment.
#include <string>

namespace common {

// An environment variable's value; empty when it is not set.
std::wstring EnvironmentValue(const wchar_t* name);

}  // namespace common
