// The real launcher's runtime check under Wine and Xvfb: with the stand-in
// runtime installed (each way a real one can be, or the vendor's loader
// beside the executable) the window front-end is chosen and no information
// box appears; with none, the box appears, is read and closed with a click
// as a person would, and the console front-end runs.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/texts.h"
#include "tests/support/harness.h"
#include "tests/support/webview_stand_in.h"

namespace {

using harness::RuntimeInstall;

const char kMissingRuntimeText[] =
    "Microsoft Edge WebView2 is not installed, so the launcher window cannot open.\n\n"
    "The update will run in a console window instead. Installing the WebView2 runtime from "
    "Microsoft brings the normal launcher back.";
const char kConsoleStart[] = "\n  Velmora MP launcher\n\n  game: C:\\Games\\Velmora\n";

struct Watched {
  harness::RunResult run;
  int boxes = 0;
  std::string box_text;
  bool box_closed = false;
  bool window_beside_box = false;  // the launcher window still there when the box showed
};

HWND FindInformationBox(const std::wstring& title) { return FindWindowW(L"#32770", title.c_str()); }

BOOL CALLBACK TakeStaticText(HWND child, LPARAM found) {
  wchar_t class_name[16] = {};
  GetClassNameW(child, class_name, 16);
  wchar_t buffer[1024] = {};
  if (_wcsicmp(class_name, L"Static") == 0 && GetWindowTextW(child, buffer, 1024) > 0) {
    *reinterpret_cast<std::string*>(found) = harness::Narrow(buffer);
    return FALSE;
  }
  return TRUE;
}

std::string StaticTextOf(HWND box) {
  std::string text;
  EnumChildWindows(box, TakeStaticText, reinterpret_cast<LPARAM>(&text));
  return text;
}

// A real pointer click through the X server (xdotool), on the box's OK
// button; Wine's screen coordinates are the X screen's. Wine starts the
// Unix program but cannot wait for it, so the caller watches the box.
bool ClickOk(HWND box) {
  HWND ok = FindWindowExW(box, nullptr, L"Button", L"OK");
  RECT r;
  if (ok == nullptr || !GetWindowRect(ok, &r)) return false;
  std::wstring command = L"xdotool mousemove " + std::to_wstring((r.left + r.right) / 2) + L" " +
                         std::to_wstring((r.top + r.bottom) / 2) + L" click 1";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(L"Z:\\usr\\bin\\xdotool", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

// Runs the launcher on another thread while this one watches for the
// information box (bounded: the run itself is ended after 60 s).
Watched RunWatchingForTheBox(const std::wstring& exe, const std::vector<std::wstring>& args, const std::wstring& cwd,
                             const std::wstring& title = L"Velmora Multiplayer") {
  Watched watched;
  std::atomic<bool> finished{false};
  std::thread runner([&] {
    watched.run = harness::RunProcess(exe, args, cwd, 60000);
    finished = true;
  });
  HWND handled = nullptr;
  while (!finished) {
    HWND box = FindInformationBox(title);
    if (box != nullptr && box != handled && IsWindowVisible(box)) {
      handled = box;
      ++watched.boxes;
      HWND window = FindWindowW(L"velmoramp_launcher", nullptr);
      watched.window_beside_box |= window != nullptr && IsWindowVisible(window);
      watched.box_text = StaticTextOf(box);
      // Dismissed with a click; if that cannot be done, closed anyway so
      // that nothing waits for a person.
      // A box that has only just appeared may not take a click yet.
      for (int attempt = 0; attempt < 3 && IsWindow(box); ++attempt) {
        Sleep(300);
        if (!ClickOk(box)) break;
        for (int i = 0; i < 40 && IsWindow(box); ++i) Sleep(50);
      }
      watched.box_closed = !IsWindow(box);
      if (IsWindow(box)) PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    Sleep(50);
  }
  runner.join();
  return watched;
}

class WebViewEntryTest : public ::testing::Test {
 protected:
  std::wstring root_ = harness::MakeTempDir(L"webview-entry");
  std::wstring app_ = root_ + L"\\app";
  std::wstring log_ = root_ + L"\\calls.log";
  std::wstring script_ = root_ + L"\\page.txt";
  std::wstring exe_;
  const std::vector<std::wstring> args_ = {L"--game", L"C:\\Games\\Velmora", L"--base-url", L"https://localhost:9",
                                           L"--no-launch"};

  void SetUp() override {
    harness::StandInGameFolder();
    harness::UninstallRuntimes();
    exe_ = harness::CopyLauncherTo(app_);
    ASSERT_FALSE(exe_.empty());
    // The stand-in page closes the window as soon as it is up.
    ASSERT_TRUE(harness::WriteFileBytes(script_, "{\"type\":\"close\"}\n"));
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", log_.c_str());
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", script_.c_str());
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", (root_ + L"\\data").c_str());
  }
  void TearDown() override {
    harness::UninstallRuntimes();
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_STAND_IN_RUNTIME", nullptr);
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", nullptr);
    harness::RemoveTree(root_);
  }
};

TEST_F(WebViewEntryTest, InstalledRuntimeOpensTheWindowFrontEndWithoutTheBox) {
  struct Case {
    const char* what;
    RuntimeInstall how;
  };
  for (const Case& c : {Case{"fixed folder", RuntimeInstall::kFixedFolder},
                        Case{"per machine", RuntimeInstall::kPerMachine}, Case{"per user", RuntimeInstall::kPerUser}}) {
    SCOPED_TRACE(c.what);
    harness::StandInRuntime installed(c.how);
    Watched watched = RunWatchingForTheBox(exe_, args_, root_);
    ASSERT_TRUE(watched.run.started);
    EXPECT_FALSE(watched.run.timed_out);
    EXPECT_EQ(watched.boxes, 0) << watched.box_text;
    EXPECT_EQ(watched.run.output.find("Velmora MP launcher"), std::string::npos) << "the console front-end ran:\n"
                                                                                 << watched.run.output;
    EXPECT_EQ(watched.run.exit_code, 0u);
  }
}

TEST_F(WebViewEntryTest, VendorLoaderBesideTheExecutableIsAskedFirst) {
  // Nothing installed: only the loader beside the launcher can answer; the
  // stand-in is told where its runtime is.
  ASSERT_TRUE(CopyFileW(harness::StandInLoaderDll().c_str(), (app_ + L"\\WebView2Loader.dll").c_str(), FALSE));
  SetEnvironmentVariableW(L"VELMORA_WEBVIEW_STAND_IN_RUNTIME", harness::StandInRuntimeDll().c_str());
  Watched watched = RunWatchingForTheBox(exe_, args_, root_);
  EXPECT_FALSE(watched.run.timed_out);
  EXPECT_EQ(watched.run.exit_code, 0u) << "the page closed the window";
  EXPECT_EQ(watched.boxes, 0) << watched.box_text;
  EXPECT_EQ(watched.run.output.find("Velmora MP launcher"), std::string::npos) << watched.run.output;
  EXPECT_NE(harness::ReadFileBytes(log_).find(
                "WebView2Loader.GetAvailableCoreWebView2BrowserVersionString browserFolder=(null)\n"),
            std::string::npos)
      << harness::ReadFileBytes(log_);
}

TEST_F(WebViewEntryTest, CheckRunsTheConsoleEvenWithTheRuntimeInstalled) {
  harness::StandInRuntime installed(RuntimeInstall::kPerMachine);
  std::vector<std::wstring> args = args_;
  args.push_back(L"--check");
  Watched watched = RunWatchingForTheBox(exe_, args, root_);
  EXPECT_FALSE(watched.run.timed_out);
  EXPECT_EQ(watched.boxes, 0) << watched.box_text;
  EXPECT_EQ(watched.run.output.rfind(kConsoleStart, 0), 0u) << watched.run.output;
}

TEST_F(WebViewEntryTest, MissingRuntimeShowsTheBoxThenRunsTheConsole) {
  Watched watched = RunWatchingForTheBox(exe_, args_, root_);
  ASSERT_TRUE(watched.run.started);
  EXPECT_FALSE(watched.run.timed_out);
  ASSERT_EQ(watched.boxes, 1);
  EXPECT_EQ(watched.box_text, kMissingRuntimeText);
  EXPECT_TRUE(watched.box_closed) << "the click on OK closed the box";
  EXPECT_EQ(watched.run.output.rfind(kConsoleStart, 0), 0u) << watched.run.output;

  // The exit code is the console front-end's own.
  std::vector<std::wstring> console = args_;
  console.push_back(L"--console");
  harness::RunResult direct = harness::RunProcess(exe_, console, root_);
  EXPECT_EQ(watched.run.exit_code, direct.exit_code);
  EXPECT_EQ(harness::ReadFileBytes(log_), "") << "no runtime was reached";
}

// A runtime that is installed but fails, at once or later, or a page that
// does not load, or a runtime that dies twice while the page is up: the
// window closes, the box says so with the code, and the console front-end
// runs; its exit code is the launcher's.
TEST_F(WebViewEntryTest, AFailingWebViewClosesTheWindowThenTheConsoleRuns) {
  harness::StandInRuntime installed(RuntimeInstall::kPerUser);
  std::vector<std::wstring> console = args_;
  console.push_back(L"--console");
  const harness::RunResult direct = harness::RunProcess(exe_, console, root_);
  ASSERT_TRUE(direct.started);
  struct Case {
    const wchar_t* fail;
    const char* script;
    const char* code;
  } cases[] = {
      {L"create", "", "0x80004005"},
      {L"environment", "", "0x80004005"},
      {L"navigation", "", "0x80004005"},
      // The browser process exits; the web view made again fails the same way.
      {L"", "{\"type\":\"ready\"}\nprocess-failed 0\n", "0x8007042b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(harness::Narrow(c.fail) + " / " + c.script);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", c.fail);
    ASSERT_TRUE(harness::WriteFileBytes(script_, c.script));
    Watched watched = RunWatchingForTheBox(exe_, args_, root_);
    ASSERT_TRUE(watched.run.started);
    EXPECT_FALSE(watched.run.timed_out);
    ASSERT_EQ(watched.boxes, 1);
    EXPECT_EQ(watched.box_text, std::string(kMissingRuntimeText) + "\n\n(web view error " + c.code + ")");
    EXPECT_TRUE(watched.box_closed) << "the click on OK closed the box";
    EXPECT_FALSE(watched.window_beside_box) << "the window closed first";
    EXPECT_EQ(watched.run.output.rfind(kConsoleStart, 0), 0u) << watched.run.output;
    EXPECT_EQ(watched.run.exit_code, direct.exit_code);
  }
}

}  // namespace

namespace {

TEST_F(WebViewEntryTest, GameNotFoundInWindowModeIsAnErrorBoxAndNothingElse) {
  harness::CleanSteam no_steam;
  harness::StandInRuntime installed(RuntimeInstall::kPerMachine);
  Watched watched = RunWatchingForTheBox(exe_, {L"--base-url", L"https://localhost:9"}, root_);
  ASSERT_TRUE(watched.run.started);
  EXPECT_FALSE(watched.run.timed_out);
  ASSERT_EQ(watched.boxes, 1);
  EXPECT_EQ(watched.box_text,
            "Could not find Velmora. Is it installed through Steam?\n\n"
            "If it is installed elsewhere, start the launcher with:\n"
            "VelmoraMultiplayer.exe --game \"D:\\SteamLibrary\\steamapps\\common\\Velmora\"");
  EXPECT_TRUE(watched.box_closed);
  EXPECT_EQ(watched.run.exit_code, 1u);
  EXPECT_EQ(watched.run.output, "") << "no front-end ran";
  EXPECT_EQ(harness::ReadFileBytes(log_), "") << "the runtime is not even asked";
}

// The box in the pseudo-language: its title and every line of its text
// from the catalogue (a line left in plain English would show here).
TEST_F(WebViewEntryTest, TheBoxSpeaksThePlayersLanguage) {
  ASSERT_TRUE(common::SetLanguage(L"qps-ploc"));
  const std::wstring title = common::Tr(L"Velmora Multiplayer");
  (void)common::SetLanguage(L"en");
  std::vector<std::wstring> args = args_;
  args.insert(args.end(), {L"--language", L"qps-ploc"});
  Watched watched = RunWatchingForTheBox(exe_, args, root_, title);
  EXPECT_FALSE(watched.run.timed_out);
  ASSERT_EQ(watched.boxes, 1) << "no box titled in the pseudo-language";
  std::string rest = watched.box_text;
  for (size_t open; (open = rest.find('[')) != std::string::npos;) {
    const size_t close = rest.find(']', open);
    ASSERT_NE(close, std::string::npos) << watched.box_text;
    rest.erase(open, close + 1 - open);
  }
  EXPECT_EQ(rest.find_first_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos)
      << "not from the catalogue: " << rest;
}

}  // namespace
