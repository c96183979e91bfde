#include "webview/runtime_location.h"

#include <windows.h>

#include <vector>

#include "common/env.h"
#include "common/path.h"
#include "common/registry.h"

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

// The per-machine registration of the runtime lives in the 32-bit view
// (WOW6432Node on 64-bit Windows) for 32-bit and 64-bit processes alike;
// HKCU\Software is not redirected, so the flag changes nothing there.
std::wstring RegistryText(HKEY root, const wchar_t* subkey, const wchar_t* name) {
  return common::ReadRegistryString(root, subkey, name, KEY_WOW64_32KEY);
}

// Either separator may come from outside; Windows takes both.
std::wstring WithoutTrailingSeparators(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  common::StripTrailingBackslashes(path);
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
  return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionLS));
}

bool FindFixed(const std::wstring& folder, RuntimeLocation& location) {
  // The library is loaded by full path: a relative one would be looked for
  // wherever the current folder happens to be.
  wchar_t full[MAX_PATH] = {};
  DWORD length = GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring dll = ClientDll(WithoutTrailingSeparators(full));
  if (!common::IsFile(dll)) return false;
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
  std::wstring folder = WithoutTrailingSeparators(RegistryText(root, kClientStateKey, L"EBWebView"));
  if (folder.empty()) return false;
  std::wstring dll = ClientDll(folder);
  if (!common::IsFile(dll)) return false;
  location.client_dll = dll;
  location.version = pv;
  location.fixed = false;
  return true;
}

}  // namespace

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
  std::wstring folder = common::EnvironmentValue(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER");
  if (folder.empty() && browser_folder != nullptr) folder = browser_folder;
  if (!folder.empty()) return FindFixed(folder, location);
  // Per machine first, then per user, as the platform's own loader looks.
  return FindInstalled(HKEY_LOCAL_MACHINE, location) || FindInstalled(HKEY_CURRENT_USER, location);
}

}  // namespace webview
