#include "webview/runtime_location.h"

#include <windows.h>

#include <vector>

#include "common/unique_handle.h"

namespace webview {
namespace {

// The stable runtime's client id in the platform's updater registrations.
const wchar_t kClientsKey[] = L"SOFTWARE\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
const wchar_t kClientStateKey[] =
    L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
// A process loads the client library built for its own architecture.
std::wstring ClientDll(const std::wstring& runtime_folder) {
  return runtime_folder + L"\\EBWebView\\" + kClientArchitecture + L"\\EmbeddedBrowserWebView.dll";
}

// A REG_SZ value, empty when the key or value is missing or of another type.
std::wstring RegistryText(HKEY root, const wchar_t* subkey, const wchar_t* name) {
  common::UniqueRegKey key;
  // The per-machine registration of a 32-bit runtime lives in the 32-bit
  // view (WOW6432Node on 64-bit Windows); HKCU\Software is not redirected,
  // so the flag changes nothing there.
  if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS) {
    return std::wstring();
  }
  DWORD bytes = 0;
  if (RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
      bytes < sizeof(wchar_t)) {
    return std::wstring();
  }
  // RegGetValueW terminates the text, so the buffer holds bytes / 2 - 1 characters.
  std::wstring text(bytes / sizeof(wchar_t), L'\0');
  if (RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, &text[0], &bytes) != ERROR_SUCCESS) {
    return std::wstring();
  }
  text.resize(wcsnlen(text.c_str(), text.size()));
  return text;
}

bool IsFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring WithoutTrailingBackslashes(std::wstring path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

// "a.b.c.d" from the file's version resource; empty when it has none.
std::wstring FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::wstring();
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::wstring();
  VS_FIXEDFILEINFO* info = nullptr;
  UINT info_size = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &info_size) || info == nullptr ||
      info_size < sizeof(VS_FIXEDFILEINFO)) {
    return std::wstring();
  }
  return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
         L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionLS));
}

bool FindFixed(const std::wstring& folder, RuntimeLocation& location) {
  // The library is loaded by full path: a relative one would be looked for
  // wherever the current folder happens to be.
  wchar_t full[MAX_PATH] = {};
  DWORD length = GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring dll = ClientDll(WithoutTrailingBackslashes(full));
  if (!IsFile(dll)) return false;
  // A fixed-version folder carries no registration: the client library's
  // own version resource is the runtime's version.
  std::wstring version = FileVersion(dll);
  if (!IsInstalledVersion(version)) return false;
  location.client_dll = dll;
  location.version = version;
  location.fixed = true;
  return true;
}

bool FindInstalled(HKEY root, RuntimeLocation& location) {
  // Installed means "pv" above 0.0.0.0 under Clients (the documented test);
  // an uninstall leaves the key behind with 0.0.0.0 or no value.
  std::wstring pv = RegistryText(root, kClientsKey, L"pv");
  if (!IsInstalledVersion(pv)) return false;
  // The runtime's version folder is recorded under ClientState.
  std::wstring folder = WithoutTrailingBackslashes(RegistryText(root, kClientStateKey, L"EBWebView"));
  if (folder.empty()) return false;
  std::wstring dll = ClientDll(folder);
  if (!IsFile(dll)) return false;
  location.client_dll = dll;
  location.version = pv;
  location.fixed = false;
  return true;
}

}  // namespace

std::wstring EnvironmentValue(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring value(size, L'\0');
  DWORD got = GetEnvironmentVariableW(name, &value[0], size);
  value.resize(got < size ? got : 0);
  return value;
}

bool IsInstalledVersion(const std::wstring& pv) {
  int parts = 0;
  bool any_digit_in_part = false;
  bool nonzero = false;
  for (wchar_t c : pv) {
    if (c >= L'0' && c <= L'9') {
      any_digit_in_part = true;
      if (c != L'0') nonzero = true;
    } else if (c == L'.' && any_digit_in_part && parts < 3) {
      ++parts;
      any_digit_in_part = false;
    } else {
      return false;
    }
  }
  return any_digit_in_part && nonzero;
}

bool FindRuntime(const wchar_t* browser_folder, RuntimeLocation& location) {
  location = RuntimeLocation();
  // The documented override: it replaces whatever folder the app passes.
  std::wstring folder = EnvironmentValue(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER");
  if (folder.empty() && browser_folder != nullptr) folder = browser_folder;
  if (!folder.empty()) return FindFixed(folder, location);
  // Per machine first, then per user, as the platform's own loader looks.
  return FindInstalled(HKEY_LOCAL_MACHINE, location) || FindInstalled(HKEY_CURRENT_USER, location);
}

}  // namespace webview
