// The window front-end end to end: the real launcher under Wine and Xvfb
// with the stand-in web view runtime, the test release server and the
// stand-in list service. The stand-in plays the page's part from a script
// and writes down every call the launcher makes on the web view.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/harness.h"
#include "tests/support/list_service_client.h"
#include "tests/support/release_server_client.h"
#include "tests/support/webview_stand_in.h"
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

  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0);
    ASSERT_NE(harness::ListServicePort(), 0);
    ASSERT_TRUE(harness::MakeDirs(game_));
    name_ = harness::MakeReleaseFolder(L"window", release_);
    ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\src\\mod.dll", "mod"));
    ASSERT_EQ(
        harness::PublishRelease(name_ + L"/src", name_ + L"/pub", L"channel=stable&build=3.0&protocol=9&server=h:1"),
        "");
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", log_.c_str());
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", script_.c_str());
    harness::SteamHandler::Unregister();
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", nullptr);
    harness::RemoveTree(root_);
  }

  std::vector<std::wstring> WindowArguments() const {
    return {L"--game",     game_,
            L"--base-url", harness::ReleaseUrl(L"/" + name_ + L"/pub"),
            L"--list-url", harness::ListServiceUrl(L"/api/servers")};
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
  } cases[] = {
      {{0, 0, 1920, 1080}, {460, 200}},
      {{0, 0, 999, 700}, {0, 10}},           // -1 / 2 truncates to 0
      {{1920, 0, 3840, 1040}, {2380, 180}},  // a second monitor to the right
      {{0, 40, 800, 600}, {-100, -20}},      // smaller than the window: it sticks out
  };
  for (const Case& c : cases) {
    POINT at = ui::WindowPosition(c.work);
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
}

TEST_F(WindowTest, MessagesFromAnotherDocumentAreIgnored) {
  harness::StandInRuntime runtime(harness::RuntimeInstall::kFixedFolder);
  harness::SteamHandler steam;
  ASSERT_TRUE(harness::WriteFileBytes(
      script_,
      "from https://elsewhere.example/ {\"type\":\"play\",\"host\":\"evil\",\"port\":1,\"name\":\"x\"}\n"
      "from https://elsewhere.example/ {\"type\":\"ready\"}\n"
      "sleep 1000\n"
      "{\"type\":\"close\"}\n"));
  WindowSeen seen;
  harness::RunResult r = RunWindow(seen);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u) << "our own page's close still works";
  EXPECT_NE(LogPosition("Page.message source=https://elsewhere.example/"), std::string::npos);
  EXPECT_TRUE(LogLines("WebView.PostWebMessageAsJson ").empty()) << "nothing was started for another document";
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\mod.dll"));
  EXPECT_EQ(steam.Requests(300), "");
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
  const std::wstring started = app + L"\\started.txt";
  for (int i = 0; i < 200 && !harness::FileExists(started); ++i) Sleep(50);
  std::wstring command = L"\"" + exe + L"\"";
  for (const std::wstring& arg : WindowArguments()) command += L" " + harness::QuoteArgument(arg);
  EXPECT_EQ(harness::ReadFileBytes(started), harness::Narrow(command));
  EXPECT_TRUE(harness::ReadFileBytes(exe) == new_launcher);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\mod.dll")) << "no game file after a replacement";
}

}  // namespace
