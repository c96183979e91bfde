// The window front-end end to end: the real launcher under Wine and Xvfb
// with the stand-in web view runtime, the test release server and the
// stand-in list service. The stand-in plays the page's part from a script
// and writes down every call the launcher makes on the web view.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/log.h"

#include "tests/support/harness.h"
#include "tests/support/list_service_client.h"
#include "tests/support/release_server_client.h"
#include "tests/support/webview_stand_in.h"
#include "ui/player_state.h"
#include "ui/window.h"
#include "velmora_version.h"

namespace {

struct WindowSeen {
  bool found = false;
  RECT rect = {};
  LONG style = 0;
  LONG ex_style = 0;
  std::wstring class_name;
};

class WindowTest : public ::testing::Test {
 protected:
  std::wstring release_, name_;
  std::wstring root_ = harness::MakeTempDir(L"window");
  std::wstring game_ = root_ + L"\\game";
  std::wstring log_ = root_ + L"\\webview.log";
  std::wstring script_ = root_ + L"\\page-script.txt";
  std::wstring data_ = root_ + L"\\data";

  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0);
    ASSERT_NE(harness::ListServicePort(), 0);
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\Velmora.exe", "the game"));  // a game folder, as Steam lays it out
    name_ = harness::MakeReleaseFolder(L"window", release_);
    ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\src\\mod.dll", "mod"));
    ASSERT_EQ(
        harness::PublishRelease(name_ + L"/src", name_ + L"/pub", L"channel=stable&build=3.0&protocol=9&server=h:1"),
        "");
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", log_.c_str());
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", script_.c_str());
    // The launcher keeps its state (and the web view its data) apart.
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", data_.c_str());
    harness::SteamHandler::Unregister();
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", nullptr);
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", nullptr);
    harness::RemoveTree(root_);
  }

  // The window's arguments, on the fixture's release or another base URL.
  std::vector<std::wstring> WindowArguments(const std::wstring& base = L"") const {
    return {L"--game",     game_,
            L"--base-url", base.empty() ? harness::ReleaseUrl(L"/" + name_ + L"/pub") : base,
            L"--list-url", harness::ListServiceUrl(L"/api/servers")};
  }
  harness::RunResult RunWindowOn(const std::wstring& base) const {
    return harness::RunProcess(harness::LauncherExe(), WindowArguments(base), root_, 90000);
  }
  // A console run without a launch, as a player's earlier start would leave the folder.
  harness::RunResult RunConsoleOn(const std::wstring& base) const {
    return harness::RunProcess(harness::LauncherExe(),
                               {L"--console", L"--no-launch", L"--game", game_, L"--base-url", base}, root_, 90000);
  }

  // Runs the launcher in window mode while this thread looks at its window.
  harness::RunResult RunWindow(WindowSeen& seen, const std::wstring& exe = harness::LauncherExe()) {
    harness::RunResult result;
    std::atomic<bool> done{false};
    std::thread runner([&] {
      result = harness::RunProcess(exe, WindowArguments(), root_, 90000);
      done = true;
    });
    while (!done) {
      HWND window = FindWindowW(L"velmoramp_launcher", L"Velmora Multiplayer");
      if (window != nullptr && !seen.found && IsWindowVisible(window)) {
        seen.found = GetWindowRect(window, &seen.rect) != 0;
        seen.style = GetWindowLongW(window, GWL_STYLE);
        seen.ex_style = GetWindowLongW(window, GWL_EXSTYLE);
      }
      Sleep(5);
    }
    runner.join();
    return result;
  }

  std::vector<std::string> LogLines(const std::string& prefix) const {
    std::vector<std::string> lines;
    const std::string log = harness::ReadFileBytes(log_);
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find('\n', start);
      if (end == std::string::npos) end = log.size();
      std::string line = log.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
      start = end + 1;
    }
    return lines;
  }
  size_t LogPosition(const std::string& text) const { return harness::ReadFileBytes(log_).find(text); }
};

TEST(WindowPlacementTest, CentredOnTheWorkArea) {
  struct Case {
    RECT work;
    POINT expected;
    UINT dpi;
  } cases[] = {
      {{0, 0, 1920, 1080}, {460, 200}, 96},     {{0, 0, 999, 700}, {0, 10}, 96},  // -1 / 2 truncates to 0
      {{1920, 0, 3840, 1040}, {2380, 180}, 96},                                   // a second monitor to the right
      {{0, 40, 800, 600}, {-100, -20}, 96},   // smaller than the window: it sticks out
      {{0, 0, 2880, 1620}, {690, 300}, 144},  // 150 %: 1500 x 1020
      {{0, 0, 3840, 2160}, {920, 400}, 192},  // 200 %: 2000 x 1360
  };
  for (const Case& c : cases) {
    POINT at = ui::WindowPosition(c.work, c.dpi);
    EXPECT_EQ(at.x, c.expected.x);
    EXPECT_EQ(at.y, c.expected.y);
  }
}

TEST_F(WindowTest, ReadyUpdateListAndPlay) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  harness::SteamHandler steam;
  ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\velmoramp.ini", "[net]\r\nname=Mara\r\n"));
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "wait-seen \"type\":\"release\"\n"
                                      "wait-seen \"type\":\"servers\"\n"
                                      "wait-seen \"type\":\"ping\"\n"  // its own worker: before Play, not after
                                      "{\"type\":\"favourite\",\"host\":\"lobby\",\"port\":27015,"
                                      "\"name\":\"Night Shift\",\"on\":true}\n"
                                      "wait-for \"type\":\"favourites\",\"list\":[{\n"
                                      "{\"type\":\"name\",\"value\":\"Ann\"}\n"
                                      "{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}\n"));
  // The window opens on the monitor under the pointer.
  SetCursorPos(300, 200);
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);

  WindowSeen seen;
  harness::RunResult r = RunWindow(seen);
  ASSERT_TRUE(r.started);
  EXPECT_FALSE(r.timed_out) << harness::ReadFileBytes(log_);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, "") << "the window front-end prints nothing";

  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.rect.right - seen.rect.left, 1000);
  EXPECT_EQ(seen.rect.bottom - seen.rect.top, 680);
  EXPECT_EQ(seen.rect.left, work.left + (work.right - work.left - 1000) / 2);
  EXPECT_EQ(seen.rect.top, work.top + (work.bottom - work.top - 680) / 2);
  EXPECT_EQ(seen.style & ~(WS_VISIBLE | WS_CLIPSIBLINGS), static_cast<LONG>(WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX));
  EXPECT_EQ(seen.ex_style & ~WS_EX_WINDOWEDGE, 0);

  // Set-up: settings off, the whole client area, the handler before the page.
  EXPECT_EQ(LogLines("Settings.put_"),
            (std::vector<std::string>{"AreDefaultContextMenusEnabled 0", "AreDevToolsEnabled 0", "IsStatusBarEnabled 0",
                                      "AreDefaultScriptDialogsEnabled 0"}));
  EXPECT_EQ(LogLines("Controller.put_Bounds "), std::vector<std::string>{"0 0 1000 680"});
  ASSERT_NE(LogPosition("WebView.add_WebMessageReceived"), std::string::npos);
  EXPECT_LT(LogPosition("WebView.add_WebMessageReceived"), LogPosition("WebView.NavigateToString"));
  EXPECT_EQ(harness::ReadFileBytes(log_ + L".page.html"),
            harness::ReadFileBytes(harness::BuildDir() + L"\\ui\\page\\launcher.html"))
      << "the page navigated to is the built page";

  // What the page was sent, in order for each worker.
  const std::vector<std::string> sent = LogLines("WebView.PostWebMessageAsJson ");
  ASSERT_GE(sent.size(), 6u);
  EXPECT_EQ(sent.front(), "{\"type\":\"name\",\"value\":\"Mara\"}");
  EXPECT_EQ(sent.back(), "{\"type\":\"status\",\"text\":\"Starting the game through Steam...\",\"percent\":-1}");
  auto at = [&](const std::string& message) { return std::find(sent.begin(), sent.end(), message) - sent.begin(); };
  const auto checking = at("{\"type\":\"status\",\"text\":\"Checking for updates\",\"percent\":-1,\"busy\":true}");
  const auto updated = at("{\"type\":\"status\",\"text\":\"Updated\",\"percent\":-1,\"good\":true,\"busy\":false}");
  const auto release = at("{\"type\":\"release\",\"build\":\"3.0\",\"protocol\":9}");
  EXPECT_LT(checking, updated);
  EXPECT_EQ(updated + 1, release) << "the release message follows the final status";
  EXPECT_LT(release, static_cast<long>(sent.size()));
  bool servers = false;
  for (const std::string& m : sent)
    servers |= m.rfind("{\"type\":\"servers\",\"list\":[{", 0) == 0 &&
               m.find("\"address\":\"lobby:27015\"") != std::string::npos;
  EXPECT_TRUE(servers);

  // Play: hand-off written, Steam asked, window closed, web view closed.
  EXPECT_EQ(steam.Requests(), "steam://rungameid/900100\n");
  wchar_t value[64] = {};
  GetPrivateProfileStringW(L"net", L"host", L"", value, 64, (game_ + L"\\velmoramp.ini").c_str());
  EXPECT_STREQ(value, L"lobby");
  GetPrivateProfileStringW(L"net", L"name", L"", value, 64, (game_ + L"\\velmoramp.ini").c_str());
  EXPECT_STREQ(value, L"Ann");
  EXPECT_NE(LogPosition("Controller.Close"), std::string::npos);

  // The favourite and the server played on outlive the run.
  const ui::PlayerState kept = ui::LoadPlayerState(data_ + L"\\player.json");
  ASSERT_EQ(kept.favourites.size(), 1u);
  EXPECT_EQ(kept.favourites[0].name, L"Night Shift");
  ASSERT_EQ(kept.recent.size(), 1u);
  EXPECT_EQ(kept.recent[0].host, L"lobby");
  EXPECT_EQ(kept.recent[0].name, L"Night Shift") << "named as the list names it";
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "{\"type\":\"favourites\",\"list\":[]}"), 1);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "{\"type\":\"recent\",\"list\":[]}"), 1);
}

TEST_F(WindowTest, MessagesFromAnotherDocumentAreIgnored) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  harness::SteamHandler steam;
  ASSERT_TRUE(harness::WriteFileBytes(
      script_,
      "from https://elsewhere.example/ {\"type\":\"play\",\"host\":\"evil\",\"port\":1,\"name\":\"x\"}\n"
      "from https://elsewhere.example/ {\"type\":\"ready\"}\n"
      "{\"type\":\"close\"}\n"));  // handled in turn, after the two above
  WindowSeen seen;
  harness::RunResult r = RunWindow(seen);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u) << "our own page's close still works";
  EXPECT_NE(LogPosition("Page.message source=https://elsewhere.example/"), std::string::npos);
  EXPECT_TRUE(LogLines("WebView.PostWebMessageAsJson ").empty()) << "nothing was started for another document";
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\mod.dll"));
  EXPECT_EQ(steam.Requests(0), "");
}

TEST_F(WindowTest, ReplacedLauncherClosesTheWindowWithoutAWord) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  // The running launcher is a copy, so that the release can replace it.
  const std::wstring app = root_ + L"\\app";
  const std::wstring exe = harness::CopyLauncherTo(app);
  ASSERT_FALSE(exe.empty());
  const std::string new_launcher = harness::ReadFileBytes(harness::SupportBin() + L"\\record-start.exe");
  ASSERT_FALSE(new_launcher.empty());
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\VelmoraMultiplayer.exe", new_launcher));
  ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub",
                                    L"channel=stable&build=3.1&protocol=9&server=h:1&launcher=" + name_ +
                                        L"/VelmoraMultiplayer.exe&launcher-version=" +
                                        std::to_wstring(VELMORA_LAUNCHER_RELEASE + 1)),
            "");
  ASSERT_TRUE(harness::WriteFileBytes(script_, "{\"type\":\"ready\"}\n"));

  WindowSeen seen;
  harness::RunResult r = RunWindow(seen, exe);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(seen.found);
  for (const std::string& m : LogLines("WebView.PostWebMessageAsJson ")) {
    EXPECT_EQ(m.find("\"good\":true"), std::string::npos) << m;
    EXPECT_EQ(m.find("\"type\":\"release\""), std::string::npos) << m;
    EXPECT_EQ(m.find("\"busy\":false"), std::string::npos) << m;
  }
  // The new launcher was started by the old one, with the same arguments.
  EXPECT_EQ(harness::WaitForFileBytes(app + L"\\started.txt", 10000),
            harness::RestartCommandLine(exe, WindowArguments()));
  EXPECT_TRUE(harness::ReadFileBytes(exe) == new_launcher);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\mod.dll")) << "no game file after a replacement";
}

TEST_F(WindowTest, TheRuntimeFailingOnceReloadsThePage) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  // The page's renderer dies once while an update may run; the reloaded
  // page says "ready" again and carries on.
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "wait-seen \"type\":\"servers\"\n"
                                      "process-failed 1\n"
                                      "{\"type\":\"ready\"}\n"
                                      "wait-for \"type\":\"favourites\"\n"
                                      "wait-seen \"type\":\"release\"\n"
                                      "{\"type\":\"close\"}\n"));
  WindowSeen seen;
  harness::RunResult r = RunWindow(seen);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, "") << "no console front-end";
  EXPECT_EQ(LogLines("WebView.NavigateToString ").size(), 2u) << "the page was loaded again";
  EXPECT_EQ(LogLines("CreateWebViewEnvironmentWithOptionsInternal ").size(), 1u);
  EXPECT_EQ(LogLines("Page.script gave up").size(), 0u) << harness::ReadFileBytes(log_);
  // However the reload fell, one update ran to its end.
  const std::vector<std::string> sent = LogLines("WebView.PostWebMessageAsJson ");
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                          [](const std::string& m) { return m.find("\"type\":\"release\"") != std::string::npos; }),
            1);
  EXPECT_EQ(harness::ReadFileBytes(game_ + L"\\mod.dll"), "mod");
}

TEST_F(WindowTest, ClosingDuringAnUpdateStopsItCleanly) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  for (const wchar_t* file : {L"a.pak", L"b.pak", L"c.pak"}) {
    ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\slow\\" + file, std::string(40 * 1024, 'v')));
  }
  ASSERT_EQ(
      harness::PublishRelease(name_ + L"/slow", name_ + L"/slowpub", L"channel=stable&build=4.0&protocol=9&server=h:1"),
      "");
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "wait-seen Downloading 3 files\n"
                                      "{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}\n"
                                      "wait-for Please wait for the update to finish\n"
                                      "{\"type\":\"close\"}\n"));
  harness::RunResult r =
      harness::RunProcess(harness::LauncherExe(),
                          {L"--game", game_, L"--base-url", harness::ReleaseUrl(L"/_chunk-2048/" + name_ + L"/slowpub"),
                           L"--list-url", harness::ListServiceUrl(L"/api/servers")},
                          root_, 90000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(LogLines("Page.script gave up").size(), 0u) << harness::ReadFileBytes(log_);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini")) << "Play was refused";
  // The update stopped before it installed anything; what it staged is
  // the next run's to use.
  for (const wchar_t* file : {L"a.pak", L"b.pak", L"c.pak"}) {
    EXPECT_FALSE(harness::FileExists(game_ + L"\\" + file));
  }
}

// The window inside this program, so that its results and its log lines can
// be read: every way the web view fails ends the window with the code of
// what failed; processes the runtime restarts by itself do not.
TEST_F(WindowTest, WebViewFailuresEndTheWindowWithTheirCode) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  const std::wstring launcher_log = root_ + L"\\launcher.log";
  common::OpenLog(launcher_log);
  const HRESULT kAborted = HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED);
  struct Case {
    const wchar_t* fail;
    const char* script;
    ui::WindowEnd end;
    HRESULT failure;
    const char* logged;
    size_t environments;  // requested
  } cases[] = {
      {L"", "{\"type\":\"close\"}\n", ui::WindowEnd::kClosed, S_OK, "web view runtime 126.0.2592.56", 1},
      {L"settings", "{\"type\":\"close\"}\n", ui::WindowEnd::kClosed, S_OK,
       "web view: get_Settings failed (0x80004005)", 1},
      {L"create", "", ui::WindowEnd::kUseConsole, E_FAIL, "web view: requesting the environment failed (0x80004005)",
       1},
      {L"environment", "", ui::WindowEnd::kUseConsole, E_FAIL, "web view: creating the environment failed (0x80004005)",
       1},
      {L"controller", "", ui::WindowEnd::kUseConsole, E_FAIL, "web view: creating the controller failed (0x80004005)",
       1},
      {L"navigate", "", ui::WindowEnd::kUseConsole, E_FAIL, "web view: NavigateToString failed (0x80004005)", 1},
      {L"navigation", "", ui::WindowEnd::kUseConsole, E_FAIL, "web view: the page did not load (web error status 16)",
       1},
      {L"", "process-failed 1\nprocess-failed 2\n", ui::WindowEnd::kUseConsole, kAborted,
       "window: loading the page again", 1},
      // The browser process: the web view is made again, and the new page
      // plays the script from its start, so it fails a second time.
      {L"", "process-failed 0\n", ui::WindowEnd::kUseConsole, kAborted, "window: making the web view again", 2},
      {L"", "process-failed 6\nprocess-failed 3\nprocess-failed 6\n{\"type\":\"close\"}\n", ui::WindowEnd::kClosed,
       S_OK, "web view: a runtime process failed (kind 6)", 1},
  };
  update::Options options;
  options.game_dir = game_;
  options.base_url = L"https://localhost:9";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(harness::Narrow(c.fail)) + " / " + c.script);
    ASSERT_TRUE(harness::WriteFileBytes(script_, c.script));
    ASSERT_TRUE(harness::WriteFileBytes(log_, ""));
    const size_t logged_before = harness::ReadFileBytes(launcher_log).size();
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", c.fail);
    const ui::WindowRun run = ui::Run(options);
    EXPECT_EQ(run.end, c.end);
    EXPECT_EQ(static_cast<unsigned long>(run.failure), static_cast<unsigned long>(c.failure));
    EXPECT_EQ(FindWindowW(L"velmoramp_launcher", nullptr), nullptr) << "the window is gone";
    const std::string logged = harness::ReadFileBytes(launcher_log).substr(logged_before);
    EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    if (c.end == ui::WindowEnd::kUseConsole) {
      EXPECT_NE(logged.find("closing the window for the console front-end"), std::string::npos) << logged;
    }
    EXPECT_EQ(LogLines("CreateWebViewEnvironmentWithOptionsInternal ").size(), c.environments);
  }
  SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", nullptr);
  common::OpenLog(harness::MakeTempDir(L"window-log") + L"\\after.log");
}

// Pause stops the download with its part kept and Play refused; Resume asks
// only for the rest. The page's limit wins over launcher.ini's and is kept.
TEST_F(WindowTest, PauseResumeAndTheLimit) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  const std::string big(3 * 1024 * 1024, 'p');
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\slow\\big.pak", big));
  ASSERT_EQ(
      harness::PublishRelease(name_ + L"/slow", name_ + L"/slowpub", L"channel=stable&build=7.0&protocol=9&server=h:1"),
      "");
  ASSERT_TRUE(harness::WriteFileBytes(data_ + L"\\player.json",
                                      "{\"format\":\"velmoramp-player\",\"version\":1,\"favourites\":[],"
                                      "\"recent\":[],\"maxSpeedKib\":9000}"));
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "wait-seen \"type\":\"speed\",\"value\":9000\n"
                                      "wait-for limit 9,000 KiB/s\n"
                                      // Past 1 MiB of 3: what a pause keeps is worth resuming.
                                      "wait-percent 40\n"
                                      "{\"type\":\"pause\"}\n"
                                      "wait-seen \"state\":\"paused\"\n"
                                      "{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}\n"
                                      "wait-for The update is paused: Resume it before you play.\n"
                                      "{\"type\":\"speed\",\"value\":0}\n"
                                      "{\"type\":\"resume\"}\n"
                                      "wait-for Updated\n"
                                      "{\"type\":\"close\"}\n"));
  const std::wstring base = harness::ReleaseUrl(L"/_chunk-65536/" + name_ + L"/slowpub");
  const harness::RunResult r = RunWindowOn(base);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(LogLines("Page.script gave up").size(), 0u) << harness::ReadFileBytes(log_);
  EXPECT_TRUE(harness::ReadFileBytes(game_ + L"\\big.pak") == big);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini")) << "Play was refused while paused";
  bool resumed = false;
  long long total = 0;
  for (const harness::ServedRequest& r : harness::RequestsServed(name_)) {
    if (!r.Names("big.pak")) continue;
    resumed |= !r.range.empty() && r.status == 206;
    total += static_cast<long long>(r.bytes);
  }
  EXPECT_TRUE(resumed) << "Resume asked for the rest";
  EXPECT_LT(total, static_cast<long long>(big.size()) + 2 * 1024 * 1024)
      << "no byte fetched twice beyond what was in flight";
  EXPECT_NE(harness::ReadFileBytes(data_ + L"\\player.json").find("\"maxSpeedKib\":0"), std::string::npos)
      << "the page's limit is kept";
}

// A run that failed is tried again with Retry; Repair reads every file
// again though the table vouches for them.
TEST_F(WindowTest, RetryAfterAFailureAndRepair) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  const std::wstring back = root_ + L"\\description-back";
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "wait-seen \"state\":\"failed\"\n"
                                      "wait-file " +
                                          harness::Narrow(back) +
                                          "\n"
                                          "{\"type\":\"retry\"}\n"
                                          "wait-for \"state\":\"done\"\n"
                                          "{\"type\":\"repair\"}\n"
                                          "wait-for \"state\":\"running\"\n"
                                          "wait-for \"state\":\"done\"\n"
                                          "{\"type\":\"close\"}\n"));
  // The description is missing until the first run has failed.
  const std::wstring description = release_ + L"\\pub\\stable\\manifest.txt";
  ASSERT_TRUE(MoveFileW(description.c_str(), (description + L".away").c_str()));
  harness::RunResult r;
  std::thread runner([&] { r = RunWindowOn(L""); });
  EXPECT_TRUE(harness::WaitForFileText(data_ + L"\\launcher.log", "update failed", 60000));
  EXPECT_TRUE(MoveFileW((description + L".away").c_str(), description.c_str()));
  EXPECT_TRUE(harness::WriteFileBytes(back, ""));
  runner.join();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(LogLines("Page.script gave up").size(), 0u) << harness::ReadFileBytes(log_);
  EXPECT_EQ(harness::ReadFileBytes(game_ + L"\\mod.dll"), "mod");
  const std::string launcher_log = harness::ReadFileBytes(data_ + L"\\launcher.log");
  EXPECT_NE(launcher_log.find("update: a repair, reading every file"), std::string::npos) << launcher_log;
  EXPECT_NE(launcher_log.find("(verify)"), std::string::npos) << "the repair ran as --verify does";
  EXPECT_NE(launcher_log.find("checked 1 files: 0 missing, 1 read, 0 vouched for by the table"), std::string::npos)
      << launcher_log;
}

// Moved to a monitor of another scale: the window takes the size Windows
// suggests, and the web view follows.
TEST_F(WindowTest, ADpiChangeResizesTheWindowAndTheWebView) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "wait-seen \"state\":\"done\"\n"
                                      "dpi-changed 144 100 50 1600 1070\n"  // 150 %: 1500 x 1020, at once
                                      "{\"type\":\"close\"}\n"));
  const harness::RunResult r = RunWindowOn(L"");
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(LogLines("Page.script sent dpi-changed").size(), 1u) << harness::ReadFileBytes(log_);
  const std::vector<std::string> bounds = LogLines("Controller.put_Bounds ");
  ASSERT_FALSE(bounds.empty());
  EXPECT_EQ(bounds.front(), "0 0 1000 680");
  EXPECT_EQ(bounds.back(), "0 0 1500 1020");
}

// No server answers, and the folder holds the release installed last: the
// window says so and Play starts the game.
TEST_F(WindowTest, WithNoServerTheInstalledReleaseIsPlayed) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  harness::SteamHandler steam;  // in place before any launcher starts, as in the other Play tests
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\offline\\mod.dll", "installed"));
  ASSERT_EQ(harness::PublishRelease(name_ + L"/offline", name_ + L"/offpub",
                                    L"channel=stable&build=6.0&protocol=9&server=h:1"),
            "");
  const std::wstring base = harness::ReleaseUrl(L"/" + name_ + L"/offpub");
  harness::RunResult r = RunConsoleOn(base);
  ASSERT_EQ(r.exit_code, 0u) << r.output;
  ASSERT_NE(DeleteFileW((release_ + L"\\offpub\\stable\\manifest.txt").c_str()), 0);
  ASSERT_TRUE(
      harness::WriteFileBytes(script_,
                              "{\"type\":\"ready\"}\n"
                              "wait-for Playing the installed release 6.0: There is no release for channel stable at\n"
                              "{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}\n"));
  r = RunWindowOn(base);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(LogLines("Page.script gave up").size(), 0u) << harness::ReadFileBytes(log_);
  EXPECT_TRUE(harness::FileExists(game_ + L"\\velmoramp.ini")) << "Play wrote the hand-off";
  EXPECT_EQ(steam.Requests(), "steam://rungameid/900100\n");
}

// The player's language reaches the browser, the page and every status line.
TEST_F(WindowTest, TheWindowSpeaksThePlayersLanguage) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "wait-seen \"type\":\"release\"\n"
                                      "{\"type\":\"close\"}\n"));
  std::vector<std::wstring> args = WindowArguments();
  args.insert(args.end(), {L"--language", L"de"});
  const harness::RunResult r = harness::RunProcess(harness::LauncherExe(), args, root_, 90000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_NE(LogPosition(" options=set language=de target="), std::string::npos) << harness::ReadFileBytes(log_);
  EXPECT_EQ(harness::ReadFileBytes(log_ + L".page.html").find("<html lang=\"en\">"), std::string::npos);
  EXPECT_NE(harness::ReadFileBytes(log_ + L".page.html").find("<html lang=\"de\">"), std::string::npos);
  const std::vector<std::string> sent = LogLines("WebView.PostWebMessageAsJson ");
  EXPECT_NE(std::find(sent.begin(), sent.end(),
                      "{\"type\":\"status\",\"text\":\"Suche nach Updates\",\"percent\":-1,\"busy\":true}"),
            sent.end());
  EXPECT_NE(std::find(sent.begin(), sent.end(),
                      "{\"type\":\"status\",\"text\":\"Aktualisiert\",\"percent\":-1,\"good\":true,\"busy\":false}"),
            sent.end());
}

// The game folder holds files of two releases after a move pass that was
// cut off: Play is refused with what happened, until a run completes it.
TEST_F(WindowTest, PlayIsRefusedWhileTheFolderHoldsTwoReleases) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  for (int i = 0; i < 120; ++i) {
    wchar_t file[16];
    swprintf(file, 16, L"f%03d.dll", i);
    ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\many\\" + file, std::string(500, 'a' + i % 20)));
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\" + file, "old"));
  }
  ASSERT_EQ(
      harness::PublishRelease(name_ + L"/many", name_ + L"/manypub", L"channel=stable&build=5.0&protocol=9&server=h:1"),
      "");
  const std::wstring base = harness::ReleaseUrl(L"/" + name_ + L"/manypub");
  harness::HeldFile game(game_ + L"\\f119.dll", L"lock", game_ + L"\\f000.dll.part");
  ASSERT_TRUE(game.held());
  harness::RunResult r = RunConsoleOn(base);
  ASSERT_EQ(r.exit_code, 1u) << r.output;
  const std::string mixed = "Updated 119 of 120 files; could not replace " + harness::Narrow(game_) + "\\f119.dll";
  ASSERT_NE(r.output.find(mixed), std::string::npos) << r.output;

  // The window's own update finds the file still in use; Play is refused.
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "wait-for it is in use (is Velmora running?)\n"
                                      "{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}\n"
                                      // (the page is sent the path with its backslashes escaped)
                                      "wait-for Updated 119 of 120 files; could not replace\n"
                                      "{\"type\":\"close\"}\n"));
  r = RunWindowOn(base);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(LogLines("Page.script gave up").size(), 0u) << harness::ReadFileBytes(log_);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini")) << "Play was refused";
}

// Closing the window while a transfer waits out a server's Retry-After:
// the launcher ends at once, and what it staged so far is whole.
TEST_F(WindowTest, ClosingDuringARetryWaitEndsAtOnce) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  const std::string big(2 * 1024 * 1024, 'p');
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\wait\\big.pak", big));
  ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\wait\\small.dll", "small"));
  ASSERT_EQ(
      harness::PublishRelease(name_ + L"/wait", name_ + L"/waitpub", L"channel=stable&build=6.0&protocol=9&server=h:1"),
      "");
  // The big file trickles in; the small one is refused with a long wait.
  const std::wstring text = release_ + L"\\waitpub\\stable\\manifest.txt";
  std::string description = harness::ReadFileBytes(text);
  for (const auto& [file, switches] :
       {std::pair<std::string, std::string>{"big.pak", "_chunk-16384"},
        std::pair<std::string, std::string>{"small.dll", "_retryafter-25/_status-503"}}) {
    const size_t at = description.find(" files/6.0/" + file + "\n");
    ASSERT_NE(at, std::string::npos);
    description.replace(at, 1, " " + switches + "/");
  }
  ASSERT_TRUE(harness::WriteFileBytes(text, description));
  ASSERT_TRUE(harness::SignRelease(name_ + L"/waitpub/stable/manifest.txt"));
  harness::ProductTiming long_waits(L"retry_after=1000");  // the 25 s the server asks for
  // The player closes the window; or Windows ends the session, which ends
  // the process once the window has answered (here the test closes it then).
  const struct {
    const char* what;
    bool session_ends;
  } cases[] = {{"closed", false}, {"the session ends", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(log_.c_str());
    ASSERT_TRUE(harness::WriteFileBytes(script_, std::string("{\"type\":\"ready\"}\n"
                                                             "wait-for Retrying small.dll in 25 s\n") +
                                                     (c.session_ends ? "wait-for The update was stopped.\n" : "") +
                                                     "{\"type\":\"close\"}\n"));
    std::thread session([&] {
      if (!c.session_ends) return;
      const DWORD waited = GetTickCount();
      while (LogPosition("Retrying small.dll in 25 s") == std::string::npos && GetTickCount() - waited < 30000) {
        Sleep(20);
      }
      const HWND window = FindWindowW(L"velmoramp_launcher", L"Velmora Multiplayer");
      DWORD_PTR answer = 0;
      SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_BLOCK, 10000, &answer);
      EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE)) << "the session may end";
      SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, 0, SMTO_BLOCK, 10000, &answer);
    });
    const DWORD start = GetTickCount();
    const harness::RunResult r =
        harness::RunProcess(harness::LauncherExe(),
                            {L"--game", game_, L"--base-url", harness::ReleaseUrl(L"/" + name_ + L"/waitpub"),
                             L"--list-url", harness::ListServiceUrl(L"/api/servers")},
                            root_, 90000);
    const DWORD took = GetTickCount() - start;
    session.join();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(LogLines("Page.script gave up").size(), 0u) << harness::ReadFileBytes(log_);
    EXPECT_LT(took, 15000u) << "the 25 s wait was cut short";
    const std::string part = harness::ReadFileBytes(game_ + L"\\big.pak.part");
    EXPECT_TRUE(part == big.substr(0, part.size())) << "the staged part holds what arrived, whole";
    EXPECT_FALSE(harness::FileExists(game_ + L"\\big.pak"));
  }
}

}  // namespace
