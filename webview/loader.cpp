#include "webview/loader.h"

#include <objbase.h>

#include <cstring>
#include <string>

#include "common/env.h"
#include "common/path.h"
#include "common/unique_handle.h"
#include "webview/runtime_location.h"

namespace webview {
namespace {

// The vendor loader's exports (STDAPI: extern "C" HRESULT __stdcall).
using VendorCreateFn = HRESULT(STDAPICALLTYPE*)(PCWSTR, PCWSTR, ICoreWebView2EnvironmentOptions*,
                                                ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*);
using VendorVersionFn = HRESULT(STDAPICALLTYPE*)(PCWSTR, LPWSTR*);

// The runtime client library's entry, as loaders without the vendor library
// call it: (check for a running instance, runtime type 0 installed / 1 fixed
// folder, user-data folder, options, completion handler).
using CreateInternalFn = HRESULT(STDAPICALLTYPE*)(bool, int, PCWSTR, IUnknown*,
                                                  ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*);

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  // Through void* so that the cast between function types is not flagged.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A publisher may ship the vendor's WebView2Loader.dll beside the
// executable. Loaded by full path only: no other folder on the search path
// may supply it.
common::UniqueModule LoadVendorLoader() {
  const std::wstring path = common::ExeDirectory() + L"\\WebView2Loader.dll";
  if (!common::IsFile(path)) return common::UniqueModule();
  return common::UniqueModule(LoadLibraryExW(path.c_str(), nullptr, 0));
}

}  // namespace

HRESULT GetAvailableBrowserVersionString(PCWSTR browser_folder, LPWSTR* version) {
  if (version == nullptr) return E_POINTER;
  *version = nullptr;

  common::UniqueModule vendor = LoadVendorLoader();
  if (vendor) {
    if (auto get_version = Export<VendorVersionFn>(vendor.get(), "GetAvailableCoreWebView2BrowserVersionString")) {
      // The answer is CoTaskMem, so the library may go once it returns.
      return get_version(browser_folder, version);
    }
  }

  RuntimeLocation runtime;
  if (!FindRuntime(browser_folder, runtime)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  size_t bytes = (runtime.version.size() + 1) * sizeof(wchar_t);
  auto* text = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (text == nullptr) return E_OUTOFMEMORY;
  std::memcpy(text, runtime.version.c_str(), bytes);
  *version = text;
  return S_OK;
}

HRESULT CreateEnvironmentWithOptions(PCWSTR browser_folder, PCWSTR user_data_folder,
                                     ICoreWebView2EnvironmentOptions* options,
                                     ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  if (handler == nullptr) return E_POINTER;

  common::UniqueModule vendor = LoadVendorLoader();
  if (vendor) {
    if (auto create = Export<VendorCreateFn>(vendor.get(), "CreateCoreWebView2EnvironmentWithOptions")) {
      HRESULT result = create(browser_folder, user_data_folder, options, handler);
      // The environment it makes lives on after this call, and its code
      // with it: the library stays loaded for the life of the process.
      vendor.release();
      return result;
    }
  }

  RuntimeLocation runtime;
  if (!FindRuntime(browser_folder, runtime)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

  // The documented override of the app's user-data folder.
  std::wstring user_data = common::EnvironmentValue(L"WEBVIEW2_USER_DATA_FOLDER");
  if (user_data.empty() && user_data_folder != nullptr) user_data = user_data_folder;

  // The client library's own dependencies sit beside it.
  common::UniqueModule client(LoadLibraryExW(runtime.client_dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!client) return HRESULT_FROM_WIN32(GetLastError());
  auto create = Export<CreateInternalFn>(client.get(), "CreateWebViewEnvironmentWithOptionsInternal");
  if (create == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);

  // Every interface the runtime hands out is an IUnknown first.
  HRESULT result = create(true, runtime.fixed ? 1 : 0, user_data.empty() ? nullptr : user_data.c_str(),
                          reinterpret_cast<IUnknown*>(options), handler);
  // The runtime's objects and threads outlive this call: keep its code
  // loaded for the life of the process.
  client.release();
  return result;
}

bool IsRuntimeAvailable() {
  common::UniqueCoTaskString version;
  const HRESULT result = GetAvailableBrowserVersionString(nullptr, version.put());
  return SUCCEEDED(result) && version && version.get()[0] != L'\0';
}

}  // namespace webview
