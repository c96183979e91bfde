// The host's handling of page messages, with a window of the test's own
// standing in for the launcher window: it records every host message that
// reaches it and every close request. The workers run for real against the
// test release server and the stand-in list service.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/text.h"
#include "json/parse.h"
#include "tests/support/harness.h"
#include "tests/support/list_service_client.h"
#include "tests/support/release_server_client.h"
#include "ui/frontend.h"
#include "ui/page_requests.h"

namespace {

std::vector<std::wstring> g_received;  // host messages, in arrival order
std::vector<UINT> g_signals;           // WM_CLOSE and WM_GAME_STARTED

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case ui::WM_PAGE_JSON: {
      std::wstring* text = reinterpret_cast<std::wstring*>(wparam);
      g_received.push_back(*text);
      delete text;
      return 0;
    }
    case WM_CLOSE:
    case ui::WM_GAME_STARTED: g_signals.push_back(message); return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

json::Value Parsed(const std::wstring& text) {
  json::Value v;
  EXPECT_TRUE(json::Parse(common::WideToUtf8(text), v)) << common::WideToUtf8(text);
  return v;
}
std::string TypeOf(const std::wstring& text) { return Parsed(text).Get("type").AsString(""); }

class PageRequestsTest : public ::testing::Test {
 protected:
  std::wstring release_, name_;
  std::wstring game_ = harness::MakeTempDir(L"page-game");
  update::Options options_;
  ui::Frontend frontend_;

  // One page message, handled with the options as the test set them.
  void Send(const std::wstring& message) {
    frontend_.options = std::make_shared<const update::Options>(options_);
    ui::HandleWebMessage(frontend_, message);
  }

  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0);
    ASSERT_NE(harness::ListServicePort(), 0);
    WNDCLASSW sink = {};
    sink.lpfnWndProc = SinkProc;
    sink.hInstance = GetModuleHandleW(nullptr);
    sink.lpszClassName = L"page_requests_sink";
    RegisterClassW(&sink);
    frontend_.window = CreateWindowExW(0, sink.lpszClassName, L"sink", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                       nullptr, sink.hInstance, nullptr);
    ASSERT_NE(frontend_.window, nullptr);
    g_received.clear();
    g_signals.clear();

    name_ = harness::MakeReleaseFolder(L"page", release_);
    ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\src\\mod.dll", "mod"));
    ASSERT_EQ(
        harness::PublishRelease(name_ + L"/src", name_ + L"/pub", L"channel=stable&build=3.0&protocol=9&server=h:1"),
        "");
    options_ = update::Options();
    options_.base_url = harness::ReleaseUrl(L"/" + name_ + L"/pub");
    options_.channel = L"stable";
    options_.game_dir = game_;
    options_.list_url = harness::ListServiceUrl(L"/api/servers");
    frontend_.player_name.clear();
    harness::SteamHandler::Unregister();
  }
  void TearDown() override {
    DestroyWindow(frontend_.window);
    frontend_.window = nullptr;
    harness::RemoveTree(game_);
  }

  // Runs the test window's messages until done() or the time is up.
  template <typename Done>
  bool PumpUntil(Done done, DWORD timeout_ms = 30000) {
    DWORD start = GetTickCount();
    while (!done()) {
      if (GetTickCount() - start > timeout_ms) return false;
      MSG m;
      while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
      Sleep(5);
    }
    return true;
  }
  size_t Count(const std::string& type) const {
    return std::count_if(g_received.begin(), g_received.end(),
                         [&](const std::wstring& m) { return TypeOf(m) == type; });
  }
  // Messages of the update run: statuses and the release, in order.
  std::vector<std::wstring> UpdateMessages() const {
    std::vector<std::wstring> out;
    for (const std::wstring& m : g_received) {
      if (TypeOf(m) == "release" || (TypeOf(m) == "status" && m.find(L"server list") == std::wstring::npos)) {
        out.push_back(m);
      }
    }
    return out;
  }
  std::wstring HandoffValue(const wchar_t* key) const {
    wchar_t value[128] = {};
    GetPrivateProfileStringW(L"net", key, L"(none)", value, 128, (game_ + L"\\velmoramp.ini").c_str());
    return value;
  }
};

TEST_F(PageRequestsTest, ReadySendsTheNameThenUpdatesAndLists) {
  frontend_.player_name = L"\x0141ucja";
  Send(L"{\"type\":\"ready\"}");
  ASSERT_TRUE(PumpUntil([&] { return Count("release") == 1 && Count("servers") == 1; }));
  EXPECT_EQ(g_received.front(), L"{\"type\":\"name\",\"value\":\"\x0141ucja\"}");

  // How often the transfer line comes depends on how the bytes arrive; the
  // last one says it is all here, with the amounts.
  const std::vector<std::wstring> update = UpdateMessages();
  ASSERT_GE(update.size(), 4u);
  EXPECT_EQ(update[0], L"{\"type\":\"status\",\"text\":\"Checking for updates\",\"percent\":-1,\"busy\":true}");
  for (size_t i = 1; i + 3 < update.size(); ++i) {
    EXPECT_EQ(update[i].rfind(L"{\"type\":\"status\",\"text\":\"Downloading mod.dll  ", 0), 0u);
  }
  EXPECT_EQ(update[update.size() - 3],
            L"{\"type\":\"status\",\"text\":\"Downloading mod.dll  3 of 3 bytes\",\"percent\":100,\"busy\":true}");
  EXPECT_EQ(update[update.size() - 2],
            L"{\"type\":\"status\",\"text\":\"Updated\",\"percent\":-1,\"good\":true,\"busy\":false}");
  EXPECT_EQ(update.back(), L"{\"type\":\"release\",\"build\":\"3.0\",\"protocol\":9}");
  EXPECT_EQ(harness::ReadFileBytes(game_ + L"\\mod.dll"), "mod");

  for (const std::wstring& m : g_received) {
    if (TypeOf(m) != "servers") continue;
    const json::Value list = Parsed(m).Get("list");
    ASSERT_GE(list.AsArray().size(), 1u);
    EXPECT_EQ(list.AsArray()[0].Get("address").AsString(""), "lobby:27015") << common::WideToUtf8(m);
  }

  // A reload sends "ready" again: one more run of each, now up to date.
  g_received.clear();
  Send(L"{\"type\":\"ready\"}");
  Send(L"{\"type\":\"ready\"}");
  ASSERT_TRUE(PumpUntil([&] { return Count("release") == 2 && Count("servers") == 2; }));
  EXPECT_EQ(Count("name"), 2u);
  size_t up_to_date = std::count(g_received.begin(), g_received.end(),
                                 L"{\"type\":\"status\",\"text\":\"Up to date\",\"percent\":-1,\"good\":true,"
                                 L"\"busy\":false}");
  EXPECT_EQ(up_to_date, 2u);
}

TEST_F(PageRequestsTest, FailuresReachThePageMarkedBad) {
  options_.base_url = harness::ReleaseUrl(L"/_404/" + name_ + L"/pub");
  options_.list_url = harness::ListEchoUrl("nothing here", 404);
  Send(L"{\"type\":\"ready\"}");
  ASSERT_TRUE(PumpUntil([&] { return Count("status") >= 3 && Count("servers") == 1; }));
  Sleep(200);
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(Count("name"), 0u) << "no name is held";
  EXPECT_EQ(Count("release"), 0u);

  std::vector<std::wstring> list_part;
  for (const std::wstring& m : g_received) {
    if (TypeOf(m) == "servers" || m.find(L"server list") != std::wstring::npos) list_part.push_back(m);
  }
  ASSERT_EQ(list_part.size(), 2u);
  EXPECT_EQ(list_part[0], L"{\"type\":\"servers\",\"list\":[]}");
  EXPECT_EQ(list_part[1],
            L"{\"type\":\"status\",\"text\":\"Could not reach the server list: server answered 404\","
            L"\"percent\":-1,\"bad\":true,\"busy\":false}");
  const std::vector<std::wstring> update = UpdateMessages();
  ASSERT_EQ(update.size(), 2u);
  EXPECT_EQ(update[1],
            L"{\"type\":\"status\",\"text\":\"Could not reach the update server: server answered 404\","
            L"\"percent\":-1,\"bad\":true,\"busy\":false}");
}

TEST_F(PageRequestsTest, OnlyKnownTypesInTheirExactCaseDoAnything) {
  for (const wchar_t* message : {L"{\"type\":\"Ready\"}", L"{\"type\":\"REFRESH\"}", L"{\"type\":\"Close\"}",
                                 L"{\"type\":\"\"}", L"{\"type\":7}", L"{}", L"[\"ready\"]", L"\"ready\"",
                                 L"{\"type\":\"ready\"", L"not json", L"{\"type\":\"launch\"}"}) {
    Send(message);
  }
  PumpUntil([] { return false; }, 1500);
  EXPECT_TRUE(g_received.empty()) << common::WideToUtf8(g_received.empty() ? L"" : g_received.front());
  EXPECT_TRUE(g_signals.empty());
  EXPECT_FALSE(IsIconic(frontend_.window));
}

TEST_F(PageRequestsTest, WindowRequestsAndTheHeldName) {
  ShowWindow(frontend_.window, SW_SHOW);
  Send(L"{\"type\":\"minimise\"}");
  EXPECT_TRUE(IsIconic(frontend_.window));
  Send(L"{\"type\":\"close\"}");
  ASSERT_TRUE(PumpUntil([] { return !g_signals.empty(); }, 5000));
  EXPECT_EQ(g_signals, std::vector<UINT>{WM_CLOSE});

  Send(L"{\"type\":\"name\",\"value\":\"\\u0141ucja \\ud83d\"}");
  EXPECT_EQ(frontend_.player_name, L"\x0141ucja \xFFFD");
  Send(L"{\"type\":\"name\",\"value\":5}");
  EXPECT_EQ(frontend_.player_name, L"");
  Send(L"{\"type\":\"name\",\"value\":\"Ann\"}");
  Send(L"{\"type\":\"name\"}");
  EXPECT_EQ(frontend_.player_name, L"") << "a name message without a value clears the name";
  EXPECT_TRUE(g_received.empty()) << "names are not answered";
}

TEST_F(PageRequestsTest, PlayPortsAndTheRefusedLaunch) {
  struct Case {
    const wchar_t* message;
    const wchar_t* host;
    const wchar_t* port;
  } cases[] = {
      {L"{\"type\":\"play\",\"host\":\"a.example\",\"port\":27016.9,\"name\":\"Ann\"}", L"a.example", L"27016"},
      {L"{\"type\":\"play\",\"host\":\"b.example\",\"port\":\"27016\",\"name\":\"Ann\"}", L"b.example", L"27015"},
      {L"{\"type\":\"play\",\"host\":\"c.example\",\"name\":\"Ann\"}", L"c.example", L"27015"},
      {L"{\"type\":\"play\",\"host\":\"d.example\",\"port\":null,\"name\":\"Ann\"}", L"d.example", L"27015"},
      // No host: the earlier server stays.
      {L"{\"type\":\"play\",\"port\":1,\"name\":\"Ann\"}", L"d.example", L"27015"}};
  for (const Case& c : cases) {
    g_received.clear();
    Send(c.message);
    PumpUntil([] { return g_received.size() >= 2; }, 5000);
    EXPECT_EQ(HandoffValue(L"host"), c.host) << common::WideToUtf8(c.message);
    EXPECT_EQ(HandoffValue(L"port"), c.port) << common::WideToUtf8(c.message);
    ASSERT_EQ(g_received.size(), 2u);
    EXPECT_EQ(g_received[0], L"{\"type\":\"status\",\"text\":\"Starting the game through Steam...\",\"percent\":-1}");
    EXPECT_EQ(g_received[1],
              L"{\"type\":\"status\",\"text\":\"Steam did not accept the launch request. Start the "
              L"game from Steam yourself.\",\"percent\":-1,\"bad\":true}");
  }
  EXPECT_TRUE(g_signals.empty()) << "a refused launch leaves the window open";
}

TEST_F(PageRequestsTest, PlayAcceptedClosesTheWindow) {
  harness::SteamHandler steam;
  Send(L"{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}");
  ASSERT_TRUE(PumpUntil([] { return !g_signals.empty(); }, 5000));
  EXPECT_EQ(g_signals, std::vector<UINT>{ui::WM_GAME_STARTED});
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0], L"{\"type\":\"status\",\"text\":\"Starting the game through Steam...\",\"percent\":-1}");
  EXPECT_EQ(steam.Requests(), "steam://rungameid/900100\n");
  EXPECT_EQ(HandoffValue(L"name"), L"Ann");
}

TEST_F(PageRequestsTest, PlayRefusedWhileTheGameRuns) {
  harness::SteamHandler steam;
  harness::ChildProcess game;
  ASSERT_TRUE(game.Start(harness::SupportBin() + L"\\Velmora.exe"));
  Sleep(300);
  Send(L"{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}");
  PumpUntil([] { return !g_received.empty(); }, 5000);
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0],
            L"{\"type\":\"status\",\"text\":\"Velmora is already running. Close it first.\","
            L"\"percent\":-1,\"bad\":true}");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
  EXPECT_EQ(steam.Requests(300), "");
  EXPECT_TRUE(g_signals.empty());
}

}  // namespace
