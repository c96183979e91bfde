#pragma once
// Our loader for the web view runtime: finds a runtime the way the platform
// documents it and reaches it without the vendor's loader library (which is
// used instead when a WebView2Loader.dll sits beside the executable).
//
// Where the runtime is looked for, in order:
// - the folder named by the environment variable
//   WEBVIEW2_BROWSER_EXECUTABLE_FOLDER (it overrides browser_folder);
// - browser_folder, when not null or empty: a fixed-version runtime;
// - the installed runtime registered per machine, then per user.
//
// Both functions behave as the vendor loader's exports of the same meaning:
// HRESULT results, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when no runtime
// is found.
#include <windows.h>

#include "webview/interfaces.h"

namespace webview {

// Version of the runtime that would be used, e.g. "120.0.2210.91". On
// success *version is a CoTaskMemAlloc'd string the caller frees with
// CoTaskMemFree; on failure it is null.
HRESULT GetAvailableBrowserVersionString(PCWSTR browser_folder, LPWSTR* version);

// Starts creating a web view environment. A success means the handler will
// be called later on this thread (which must run a message loop and have
// COM initialised single-threaded) with the result and the environment; a
// failure means it will not be called. user_data_folder may be null (the
// runtime's default); WEBVIEW2_USER_DATA_FOLDER overrides it. options may
// be null.
HRESULT CreateEnvironmentWithOptions(PCWSTR browser_folder, PCWSTR user_data_folder,
                                     ICoreWebView2EnvironmentOptions* options,
                                     ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);

// Whether a web view runtime is installed: the version query with no browser
// folder succeeds with a non-empty version text.
bool IsRuntimeAvailable();

}  // namespace webview
