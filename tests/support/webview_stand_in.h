#pragma once
// The stand-in web view runtime that the test suite builds, and the ways a
// test makes it "installed" exactly as a real runtime would be: a fixed
// folder named by WEBVIEW2_BROWSER_EXECUTABLE_FOLDER, or a per-machine or
// per-user registration in the test prefix. Tests that install it take the
// CTest lock "webview_runtime".
//
// What the stand-in reads from the environment (set it in the test process;
// the launcher inherits it): VELMORA_WEBVIEW_LOG (the call log; the last
// navigated page is saved beside it as <log>.page.html),
// VELMORA_WEBVIEW_SCRIPT (the page's script), VELMORA_WEBVIEW_FAIL, and
// for the loader stand-in copied elsewhere VELMORA_WEBVIEW_STAND_IN_RUNTIME
// (the runtime's client library: StandInRuntimeDll()); see
// tests/support/webview_runtime/stand_in.h and page_script.h.
#include <windows.h>

#include <string>

namespace harness {

std::wstring StandInRuntimeVersion();  // e.g. "126.0.2592.56"
// <build>\tests\support\webview-runtime\<version>: holds EBWebView\<architecture>\EmbeddedBrowserWebView.dll
std::wstring StandInRuntimeFolder();
// <StandInRuntimeFolder()>\EBWebView\<architecture>\EmbeddedBrowserWebView.dll, the client library
std::wstring StandInRuntimeDll();
// <build>\tests\support\webview-loader\WebView2Loader.dll, a stand-in for the vendor's loader
std::wstring StandInLoaderDll();

enum class RuntimeInstall { kFixedFolder, kPerMachine, kPerUser };

// Writes one registration as the runtime's installer does: "pv" under
// EdgeUpdate\Clients\{id} and the version folder as "EBWebView" under
// EdgeUpdate\ClientState\{id}; per machine in the 32-bit view.
void RegisterRuntime(HKEY root, const std::wstring& pv, const std::wstring& version_folder);

// Removes every trace of a runtime: both registrations and the variable.
void UninstallRuntimes();

// Installs the stand-in one way for the owner's lifetime; nothing else is
// installed meanwhile.
class StandInRuntime {
 public:
  explicit StandInRuntime(RuntimeInstall how);
  ~StandInRuntime();
  StandInRuntime(const StandInRuntime&) = delete;
  StandInRuntime& operator=(const StandInRuntime&) = delete;
};

}  // namespace harness
