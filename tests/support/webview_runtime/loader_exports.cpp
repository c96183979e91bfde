// A stand-in for the vendor's WebView2Loader.dll, which a publisher may ship
// beside the executable: it records each call and reaches the stand-in
// runtime by its build folder's layout.
#include <objbase.h>

#include "stand_in_version.h"
#include "tests/support/webview_runtime/stand_in.h"
#include "webview/runtime_location.h"

namespace {

using CreateInternalFn = HRESULT(STDAPICALLTYPE*)(bool, int, PCWSTR, IUnknown*,
                                                  ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*);

// <build>\tests\support\webview-loader\WebView2Loader.dll ->
// <build>\tests\support\webview-runtime\<version>\EBWebView\<architecture>\EmbeddedBrowserWebView.dll;
// a copy elsewhere (beside a launcher) is told by VELMORA_WEBVIEW_STAND_IN_RUNTIME.
std::wstring RuntimeDll() {
  const std::wstring named = stand_in::EnvironmentValue(L"VELMORA_WEBVIEW_STAND_IN_RUNTIME");
  if (!named.empty()) return named;
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&RuntimeDll), &self);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(self, path, MAX_PATH);
  std::wstring folder(path);
  folder = folder.substr(0, folder.find_last_of(L'\\'));
  folder = folder.substr(0, folder.find_last_of(L'\\'));
  return folder + L"\\webview-runtime\\" + stand_in::Wide(STAND_IN_VERSION_TEXT) + L"\\EBWebView\\" +
         webview::kClientArchitecture + L"\\EmbeddedBrowserWebView.dll";
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    GetAvailableCoreWebView2BrowserVersionString(PCWSTR browser_folder, LPWSTR* version) {
  stand_in::Log("WebView2Loader.GetAvailableCoreWebView2BrowserVersionString browserFolder=" +
                (browser_folder != nullptr ? stand_in::Utf8(browser_folder) : std::string("(null)")));
  if (version == nullptr) return E_POINTER;
  *version = stand_in::CopyForCaller(stand_in::Wide(STAND_IN_VERSION_TEXT));
  return *version != nullptr ? S_OK : E_OUTOFMEMORY;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    CreateCoreWebView2EnvironmentWithOptions(PCWSTR browser_folder, PCWSTR user_data_folder,
                                             ICoreWebView2EnvironmentOptions* options,
                                             ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  stand_in::Log("WebView2Loader.CreateCoreWebView2EnvironmentWithOptions browserFolder=" +
                (browser_folder != nullptr ? stand_in::Utf8(browser_folder) : std::string("(null)")));
  HMODULE runtime = LoadLibraryExW(RuntimeDll().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (runtime == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  auto create = reinterpret_cast<CreateInternalFn>(
      reinterpret_cast<void*>(GetProcAddress(runtime, "CreateWebViewEnvironmentWithOptionsInternal")));
  if (create == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  return create(true, 0, user_data_folder, reinterpret_cast<IUnknown*>(options), handler);
}
