#include "tests/support/webview_stand_in.h"

#include "tests/support/harness.h"
#include "webview/runtime_location.h"

namespace harness {
namespace {

const wchar_t kClients[] = L"SOFTWARE\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
const wchar_t kClientState[] = L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

REGSAM ViewOf(HKEY root) { return root == HKEY_LOCAL_MACHINE ? KEY_WOW64_32KEY : 0; }

}  // namespace

std::wstring StandInRuntimeVersion() { return VELMORA_WEBVIEW_STAND_IN_VERSION; }

std::wstring StandInRuntimeFolder() {
  return BuildDir() + L"\\tests\\support\\webview-runtime\\" + StandInRuntimeVersion();
}

std::wstring StandInRuntimeDll() {
  return StandInRuntimeFolder() + L"\\EBWebView\\" + webview::kClientArchitecture + L"\\EmbeddedBrowserWebView.dll";
}

std::wstring StandInLoaderDll() { return BuildDir() + L"\\tests\\support\\webview-loader\\WebView2Loader.dll"; }

void RegisterRuntime(HKEY root, const std::wstring& pv, const std::wstring& version_folder) {
  SetRegValue(root, kClients, L"pv", pv, REG_SZ, ViewOf(root));
  SetRegValue(root, kClientState, L"EBWebView", version_folder, REG_SZ, ViewOf(root));
}

void UninstallRuntimes() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    DeleteRegTree(root, kClients, ViewOf(root));
    DeleteRegTree(root, kClientState, ViewOf(root));
  }
  SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", nullptr);
}

StandInRuntime::StandInRuntime(RuntimeInstall how) {
  UninstallRuntimes();
  switch (how) {
    case RuntimeInstall::kFixedFolder:
      SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", StandInRuntimeFolder().c_str());
      break;
    case RuntimeInstall::kPerMachine:
      RegisterRuntime(HKEY_LOCAL_MACHINE, StandInRuntimeVersion(), StandInRuntimeFolder());
      break;
    case RuntimeInstall::kPerUser:
      RegisterRuntime(HKEY_CURRENT_USER, StandInRuntimeVersion(), StandInRuntimeFolder());
      break;
  }
}

StandInRuntime::~StandInRuntime() { UninstallRuntimes(); }

}  // namespace harness
