// Our web view loader against the stand-in runtime, installed in the test
// prefix each way a real runtime can be: found, version answered, and an
// environment created through the runtime's own entry.
#include <gtest/gtest.h>
#include <objbase.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/harness.h"
#include "tests/support/webview_stand_in.h"
#include "tests/webview/com_handlers.h"
#include "webview/environment_options.h"
#include "webview/loader.h"
#include "webview/runtime_location.h"

namespace {

using harness::RuntimeInstall;
using webview_test::ControllerCompletion;
using webview_test::EnvironmentCompletion;
using webview_test::PumpUntil;

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

struct Answer {
  HRESULT result;
  std::wstring version;
  bool null_version;
};

Answer AskVersion(const wchar_t* browser_folder) {
  LPWSTR version = nullptr;
  Answer answer{webview::GetAvailableBrowserVersionString(browser_folder, &version), L"", version == nullptr};
  if (version != nullptr) answer.version = version;
  CoTaskMemFree(version);
  return answer;
}

class WebViewLoaderTest : public ::testing::Test {
 protected:
  std::wstring root_ = harness::MakeTempDir(L"webview-loader");
  std::wstring log_ = root_ + L"\\calls.log";

  void SetUp() override {
    harness::UninstallRuntimes();
    SetEnvironmentVariableW(L"WEBVIEW2_USER_DATA_FOLDER", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", log_.c_str());
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", nullptr);
  }
  void TearDown() override {
    harness::UninstallRuntimes();
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", nullptr);
    harness::RemoveTree(root_);
  }
  std::string Log() { return harness::ReadFileBytes(log_); }
};

// What a person would see: the runtime is found however it was installed.
TEST_F(WebViewLoaderTest, FindsTheRuntimeEachWayItCanBeInstalled) {
  for (RuntimeInstall how : {RuntimeInstall::kFixedFolder, RuntimeInstall::kPerMachine, RuntimeInstall::kPerUser}) {
    SCOPED_TRACE(static_cast<int>(how));
    harness::StandInRuntime installed(how);
    Answer answer = AskVersion(nullptr);
    EXPECT_EQ(answer.result, S_OK);
    EXPECT_EQ(harness::Narrow(answer.version), harness::Narrow(harness::StandInRuntimeVersion()));
    EXPECT_TRUE(webview::IsRuntimeAvailable());
  }
}

// Installs that must not count: what uninstalls and broken installs leave.
TEST_F(WebViewLoaderTest, ReportsAbsentWithoutAUsableRuntime) {
  const std::wstring good = harness::StandInRuntimeFolder();
  const std::wstring version = harness::StandInRuntimeVersion();
  const std::wstring empty_folder = root_ + L"\\empty-runtime";
  ASSERT_TRUE(harness::MakeDirs(empty_folder + L"\\EBWebView\\" + webview::kClientArchitecture));
  const wchar_t* kClients = L"SOFTWARE\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
  const wchar_t* kState = L"SOFTWARE\\Microsoft\\EdgeUpdate\\ClientState\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
  struct Case {
    const char* what;
    std::function<void()> install;
  };
  const std::vector<Case> cases = {
      {"nothing installed", [] {}},
      {"per machine, pv 0.0.0.0", [&] { harness::RegisterRuntime(HKEY_LOCAL_MACHINE, L"0.0.0.0", good); }},
      {"per user, pv 0.0.0.0", [&] { harness::RegisterRuntime(HKEY_CURRENT_USER, L"0.0.0.0", good); }},
      {"per user, empty pv", [&] { harness::RegisterRuntime(HKEY_CURRENT_USER, L"", good); }},
      {"per machine, pv not a version", [&] { harness::RegisterRuntime(HKEY_LOCAL_MACHINE, L"latest", good); }},
      {"per machine, DLL missing", [&] { harness::RegisterRuntime(HKEY_LOCAL_MACHINE, version, empty_folder); }},
      {"per user, DLL missing", [&] { harness::RegisterRuntime(HKEY_CURRENT_USER, version, empty_folder); }},
      {"per machine, no runtime folder recorded",
       [&] { harness::SetRegValue(HKEY_LOCAL_MACHINE, kClients, L"pv", version, REG_SZ, KEY_WOW64_32KEY); }},
      {"per user, folder but no pv", [&] { harness::SetRegValue(HKEY_CURRENT_USER, kState, L"EBWebView", good); }},
      {"per machine, registered only in the 64-bit view",
       [&] {
         harness::SetRegValue(HKEY_LOCAL_MACHINE, kClients, L"pv", version, REG_SZ, KEY_WOW64_64KEY);
         harness::SetRegValue(HKEY_LOCAL_MACHINE, kState, L"EBWebView", good, REG_SZ, KEY_WOW64_64KEY);
       }},
      {"variable names a folder without a runtime, although one is installed",
       [&] {
         harness::RegisterRuntime(HKEY_LOCAL_MACHINE, version, good);
         SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", empty_folder.c_str());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    harness::UninstallRuntimes();
    harness::DeleteRegTree(HKEY_LOCAL_MACHINE, kClients, KEY_WOW64_64KEY);
    harness::DeleteRegTree(HKEY_LOCAL_MACHINE, kState, KEY_WOW64_64KEY);
    c.install();
    Answer answer = AskVersion(nullptr);
    EXPECT_EQ(answer.result, kNotFound);
    EXPECT_TRUE(answer.null_version);
    EXPECT_FALSE(webview::IsRuntimeAvailable());
  }
  harness::DeleteRegTree(HKEY_LOCAL_MACHINE, kClients, KEY_WOW64_64KEY);
  harness::DeleteRegTree(HKEY_LOCAL_MACHINE, kState, KEY_WOW64_64KEY);
}

TEST_F(WebViewLoaderTest, PerMachineRegistrationComesBeforePerUser) {
  const std::wstring folder = harness::StandInRuntimeFolder();
  harness::RegisterRuntime(HKEY_LOCAL_MACHINE, L"126.0.2592.56", folder);
  harness::RegisterRuntime(HKEY_CURRENT_USER, L"127.1.2.3", folder);
  EXPECT_EQ(harness::Narrow(AskVersion(nullptr).version), "126.0.2592.56");

  // A per-machine uninstall leaves pv at 0.0.0.0: the per-user one answers.
  harness::RegisterRuntime(HKEY_LOCAL_MACHINE, L"0.0.0.0", folder);
  EXPECT_EQ(harness::Narrow(AskVersion(nullptr).version), "127.1.2.3");
}

// A fixed-version folder is known by the client library's version resource.
TEST_F(WebViewLoaderTest, BrowserFolderAndItsOverridingVariable) {
  const std::string expected = harness::Narrow(harness::StandInRuntimeVersion());
  const std::wstring folder = harness::StandInRuntimeFolder();
  EXPECT_EQ(harness::Narrow(AskVersion(folder.c_str()).version), expected);
  EXPECT_EQ(harness::Narrow(AskVersion((folder + L"\\").c_str()).version), expected) << "trailing backslash";
  EXPECT_EQ(AskVersion((root_ + L"\\nowhere").c_str()).result, kNotFound);

  SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", folder.c_str());
  Answer answer = AskVersion((root_ + L"\\nowhere").c_str());
  EXPECT_EQ(answer.result, S_OK) << "the variable replaces the folder the app passes";
  EXPECT_EQ(harness::Narrow(answer.version), expected);
}

class ComApartment {
 public:
  ComApartment() { result_ = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }

 private:
  HRESULT result_;
};

// The environment arrives later, on this thread, from the runtime that was
// found, told how it was found and which user-data folder to use.
TEST_F(WebViewLoaderTest, EnvironmentCreationReachesTheRuntimeFound) {
  ComApartment com;
  struct Case {
    RuntimeInstall how;
    const char* runtime_type;
  };
  for (const Case& c :
       {Case{RuntimeInstall::kFixedFolder, "runtimeType=1"}, Case{RuntimeInstall::kPerMachine, "runtimeType=0"},
        Case{RuntimeInstall::kPerUser, "runtimeType=0"}}) {
    SCOPED_TRACE(c.runtime_type);
    harness::StandInRuntime installed(c.how);
    DeleteFileW(log_.c_str());
    const std::wstring user_data = root_ + L"\\user data";
    EnvironmentCompletion done;
    // The options reach the runtime through the loader, read by the runtime's own calls.
    ICoreWebView2EnvironmentOptions* options = webview::NewEnvironmentOptions(L"pt-BR");
    ASSERT_NE(options, nullptr);
    ASSERT_EQ(webview::CreateEnvironmentWithOptions(nullptr, user_data.c_str(), options, &done), S_OK);
    options->Release();
    EXPECT_EQ(done.calls, 0) << "the handler is called from the message loop, not from within the call";
    ASSERT_TRUE(PumpUntil([&] { return done.calls > 0; }));
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, S_OK);
    EXPECT_EQ(done.thread, GetCurrentThreadId());
    ASSERT_NE(done.object, nullptr);
    LPWSTR version = nullptr;
    ASSERT_EQ(done.object->get_BrowserVersionString(&version), S_OK);
    EXPECT_EQ(harness::Narrow(version), harness::Narrow(harness::StandInRuntimeVersion()));
    CoTaskMemFree(version);
    EXPECT_NE(
        Log().find(std::string("CreateWebViewEnvironmentWithOptionsInternal checkRunningInstance=1 ") + c.runtime_type +
                   " userDataFolder=" + harness::Narrow(user_data) + " options=set language=pt-BR target=86.0.616.0\n"),
        std::string::npos)
        << Log();
  }
}

TEST_F(WebViewLoaderTest, UserDataVariableReplacesTheFolderPassed) {
  ComApartment com;
  harness::StandInRuntime installed(RuntimeInstall::kPerUser);
  const std::wstring from_variable = root_ + L"\\from-variable";
  SetEnvironmentVariableW(L"WEBVIEW2_USER_DATA_FOLDER", from_variable.c_str());
  EnvironmentCompletion done;
  ASSERT_EQ(webview::CreateEnvironmentWithOptions(nullptr, L"C:\\passed", nullptr, &done), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return done.calls > 0; }));
  EXPECT_NE(Log().find("userDataFolder=" + harness::Narrow(from_variable) + " "), std::string::npos) << Log();

  SetEnvironmentVariableW(L"WEBVIEW2_USER_DATA_FOLDER", nullptr);
  EnvironmentCompletion second;
  ASSERT_EQ(webview::CreateEnvironmentWithOptions(nullptr, nullptr, nullptr, &second), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return second.calls > 0; }));
  EXPECT_NE(Log().find("userDataFolder=(null) "), std::string::npos) << "none given: the runtime's default";
}

TEST_F(WebViewLoaderTest, EnvironmentCreationFailsAtOnceWithoutARuntime) {
  ComApartment com;
  EnvironmentCompletion done;
  EXPECT_EQ(webview::CreateEnvironmentWithOptions(nullptr, nullptr, nullptr, &done), kNotFound);
  EXPECT_EQ(webview::CreateEnvironmentWithOptions(nullptr, nullptr, nullptr, nullptr), E_POINTER);
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(done.calls, 0) << "a failed request never calls its handler";
  EXPECT_EQ(done.references, 1u) << "and keeps no reference to it";
  EXPECT_EQ(Log(), "") << "no runtime was reached";
}

TEST_F(WebViewLoaderTest, RuntimeRefusalIsPassedOn) {
  ComApartment com;
  harness::StandInRuntime installed(RuntimeInstall::kPerMachine);
  SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", L"create");
  EnvironmentCompletion done;
  EXPECT_EQ(webview::CreateEnvironmentWithOptions(nullptr, nullptr, nullptr, &done), E_FAIL);
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(done.calls, 0);
}

}  // namespace
