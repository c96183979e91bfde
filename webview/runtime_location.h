#pragma once
// Where a web view runtime is, found as the platform documents it: a
// fixed-version folder (named by WEBVIEW2_BROWSER_EXECUTABLE_FOLDER or by the
// caller), else the installed runtime registered per machine, then per user.
#include <string>

namespace webview {

// The runtime's folder for the client library of this process's
// architecture: <runtime folder>\EBWebView\<this>\EmbeddedBrowserWebView.dll.
#if defined(__aarch64__) || defined(_M_ARM64)
inline constexpr wchar_t kClientArchitecture[] = L"arm64";
#elif defined(__x86_64__) || defined(_M_X64)
inline constexpr wchar_t kClientArchitecture[] = L"x64";
#else
inline constexpr wchar_t kClientArchitecture[] = L"x86";
#endif

struct RuntimeLocation {
  std::wstring client_dll;  // <runtime folder>\EBWebView\<architecture>\EmbeddedBrowserWebView.dll
  std::wstring version;     // e.g. "120.0.2210.91"
  bool fixed = false;       // a fixed-version folder rather than an installed runtime
};

// False when no usable runtime is found (a normal answer, not an error). A
// fixed folder that is named but holds no runtime is not replaced by an
// installed one: the app asked for that folder.
[[nodiscard]] bool FindRuntime(const wchar_t* browser_folder, RuntimeLocation& location);

// Whether a registry "pv" text is a version above 0.0.0.0: one to four
// dot-separated decimal numbers, not all zero.
bool IsInstalledVersion(const std::wstring& pv);

}  // namespace webview
