// The host's handling of page messages, with a window of the test's own
// standing in for the launcher window: it records every host message that
// reaches it and every close request. The workers run for real against the
// test release server and the stand-in list service.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "common/log.h"
#include "common/text.h"
#include "game/locator.h"
#include "json/parse.h"
#include "net/https_get.h"
#include "servers/ping.h"
#include "tests/support/harness.h"
#include "tests/support/list_service_client.h"
#include "tests/support/release_server_client.h"
#include "ui/frontend.h"
#include "ui/page_messages.h"
#include "ui/page_requests.h"
#include "ui/player_state.h"
#include "update/disk/file_table.h"
#include "update/disk/install_record.h"
#include "update/engine.h"

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
// The array member of a message, as a value of its own (a range-for over
// Parsed(...).Get(...) would outlive the parsed message).
std::vector<json::Value> ArrayOf(const std::wstring& text, const char* member) {
  return Parsed(text).Get(member).AsArray();
}

class PageRequestsTest : public ::testing::Test {
 protected:
  std::wstring release_, name_;
  std::wstring game_ = harness::MakeTempDir(L"page-game");
  std::wstring data_ = harness::MakeTempDir(L"page-data");
  std::wstring log_ = data_ + L"\\launcher.log";
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
    // Favourites, recent servers and the log in a folder of this test's own.
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", data_.c_str());
    common::OpenLog(log_);
  }
  void TearDown() override {
    DestroyWindow(frontend_.window);
    frontend_.window = nullptr;
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", nullptr);
    common::OpenLog(harness::MakeTempDir(L"page-log") + L"\\after.log");
    harness::RemoveTree(game_);
    harness::RemoveTree(data_);
  }

  // Delivers what is queued for the test window now: every answer the
  // window thread posts while handling a message.
  void Drain() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
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
  std::vector<std::wstring> OfType(const std::string& type) const {
    std::vector<std::wstring> out;
    for (const std::wstring& m : g_received) {
      if (TypeOf(m) == type) out.push_back(m);
    }
    return out;
  }
  // A release whose files arrive slowly: three of 40 KB in writes of 2 KB
  // with a pause after each (about a second a file).
  void UseSlowRelease() {
    for (const wchar_t* file : {L"a.pak", L"b.pak", L"c.pak"}) {
      ASSERT_TRUE(harness::WriteFileBytes(release_ + L"\\slow\\" + file, std::string(40 * 1024, 'v')));
    }
    ASSERT_EQ(harness::PublishRelease(name_ + L"/slow", name_ + L"/slowpub",
                                      L"channel=stable&build=4.0&protocol=9&server=h:1"),
              "");
    options_.base_url = harness::ReleaseUrl(L"/_chunk-2048/" + name_ + L"/slowpub");
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
  // The answers to "ready" come first, in this order, before any worker's.
  ASSERT_GE(g_received.size(), 4u);
  EXPECT_EQ(g_received[0], L"{\"type\":\"name\",\"value\":\"\x0141ucja\"}");
  EXPECT_EQ(g_received[1], L"{\"type\":\"favourites\",\"list\":[]}");
  EXPECT_EQ(g_received[2], L"{\"type\":\"recent\",\"list\":[]}");
  EXPECT_EQ(g_received[3], L"{\"type\":\"log\",\"path\":\"" + ui::EscapeJson(log_) + L"\"}");

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

  // A reload once the update is over sends "ready" again: one more run of
  // each, now up to date.
  ASSERT_TRUE(PumpUntil([&] { return !ui::UpdateRunning(frontend_); }));
  g_received.clear();
  Send(L"{\"type\":\"ready\"}");
  ASSERT_TRUE(PumpUntil([&] { return Count("release") == 1 && Count("servers") == 1; }));
  EXPECT_EQ(Count("name"), 1u);
  EXPECT_EQ(std::count(g_received.begin(), g_received.end(),
                       L"{\"type\":\"status\",\"text\":\"Up to date\",\"percent\":-1,\"good\":true,"
                       L"\"busy\":false}"),
            1);
}

TEST_F(PageRequestsTest, DuringAnUpdateNoPlayAndNoSecondUpdate) {
  UseSlowRelease();
  Send(L"{\"type\":\"ready\"}");
  ASSERT_TRUE(PumpUntil([&] {
    return std::any_of(g_received.begin(), g_received.end(),
                       [](const std::wstring& m) { return m.find(L"Downloading") != std::wstring::npos; });
  }));
  g_received.clear();
  Send(L"{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}");
  Drain();
  EXPECT_EQ(std::count(g_received.begin(), g_received.end(),
                       L"{\"type\":\"status\",\"text\":\"Please wait for the update to finish\",\"percent\":-1,"
                       L"\"bad\":true}"),
            1);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
  EXPECT_EQ(Count("recent"), 0u);

  // The page loads again: the update's latest status (the page shows it
  // busy) and a new list, but no second update.
  g_received.clear();
  Send(L"{\"type\":\"ready\"}");
  Drain();
  ASSERT_GE(OfType("status").size(), 1u);
  EXPECT_EQ(OfType("status")[0].rfind(L"{\"type\":\"status\",\"text\":\"Downloading ", 0), 0u);
  EXPECT_NE(OfType("status")[0].find(L"\"busy\":true"), std::wstring::npos);
  ASSERT_TRUE(PumpUntil([&] { return Count("release") == 1 && !ui::UpdateRunning(frontend_); }));
  EXPECT_EQ(std::count(g_received.begin(), g_received.end(),
                       L"{\"type\":\"status\",\"text\":\"Checking for updates\",\"percent\":-1,\"busy\":true}"),
            0)
      << "no second run began";
  EXPECT_EQ(harness::ReadFileBytes(game_ + L"\\c.pak").size(), 40u * 1024);

  // Once it is over, Play goes ahead.
  Send(L"{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}");
  EXPECT_EQ(HandoffValue(L"host"), L"lobby");
}

// A run's last words come once it is over: what the page sends the moment
// "done" or "failed" arrives (Play, Retry) is taken, never refused as too
// early. Many times over, as the order of two threads is at stake.
TEST_F(PageRequestsTest, WhatThePageSendsInAnswerToTheLastWordIsTaken) {
  const std::wstring please_wait =
      L"{\"type\":\"status\",\"text\":\"Please wait for the update to finish\",\"percent\":-1,\"bad\":true}";
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    // Every other run fails (its base URL answers 404), and is retried.
    options_.base_url = harness::ReleaseUrl((i % 2 ? L"/_404/" : L"/") + name_ + L"/pub");
    g_received.clear();
    Send(L"{\"type\":\"retry\"}");
    const std::wstring last = i % 2 ? ui::BuildRunMessage(L"failed") : ui::BuildRunMessage(L"done");
    ASSERT_TRUE(PumpUntil([&] { return std::find(g_received.begin(), g_received.end(), last) != g_received.end(); }));
    Send(i % 2 ? L"{\"type\":\"retry\"}" : L"{\"type\":\"play\",\"host\":\"lobby\",\"port\":1,\"name\":\"Ann\"}");
    Drain();
    EXPECT_EQ(std::count(g_received.begin(), g_received.end(), please_wait), 0);
    ASSERT_TRUE(PumpUntil([&] { return !ui::UpdateRunning(frontend_); }));
  }
  EXPECT_EQ(HandoffValue(L"port"), L"1") << "Play was taken";
}

TEST_F(PageRequestsTest, AClosingWindowStopsTheUpdateAndWaitsForIt) {
  UseSlowRelease();
  Send(L"{\"type\":\"ready\"}");
  ASSERT_TRUE(PumpUntil([&] {
    return std::any_of(g_received.begin(), g_received.end(),
                       [](const std::wstring& m) { return m.find(L"Downloading 3 files") != std::wstring::npos; });
  }));
  ui::StopWorkers(frontend_);
  EXPECT_TRUE(ui::WaitForUpdate(frontend_, ui::kUpdateStopWaitMs)) << "the update ended within the bound";
  EXPECT_FALSE(ui::UpdateRunning(frontend_));
  Drain();
  EXPECT_EQ(OfType("status").back(), L"{\"type\":\"status\",\"text\":\"" + std::wstring(update::StoppedText()) +
                                         L"\",\"percent\":-1,\"bad\":true,\"busy\":false}");
  // A stopped update installs nothing at all; what it staged is the next
  // run's to use.
  for (const wchar_t* file : {L"a.pak", L"b.pak", L"c.pak"}) {
    EXPECT_FALSE(harness::FileExists(game_ + L"\\" + file));
  }
  // Nothing starts any more.
  g_received.clear();
  Send(L"{\"type\":\"ready\"}");
  EXPECT_FALSE(ui::UpdateRunning(frontend_));
  Drain();
  EXPECT_EQ(Count("servers"), 0u);
  EXPECT_EQ(Count("release"), 0u);
}

TEST_F(PageRequestsTest, FailuresReachThePageMarkedBad) {
  options_.base_url = harness::ReleaseUrl(L"/_404/" + name_ + L"/pub");
  options_.list_url = harness::ListEchoUrl("nothing here", 404);
  Send(L"{\"type\":\"ready\"}");
  ASSERT_TRUE(PumpUntil([&] { return Count("status") >= 3 && Count("servers") == 1; }));
  // All the run posted is in the queue once it has ended.
  ASSERT_TRUE(ui::WaitForUpdate(frontend_, 20000));
  Drain();
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
            L"\"percent\":-1,\"bad\":true}");
  const std::vector<std::wstring> update = UpdateMessages();
  ASSERT_EQ(update.size(), 2u);
  EXPECT_EQ(update[1], L"{\"type\":\"status\",\"text\":\"There is no release for channel stable at " +
                           options_.base_url + L".\",\"percent\":-1,\"bad\":true,\"busy\":false}");
}

TEST_F(PageRequestsTest, OnlyKnownTypesInTheirExactCaseDoAnything) {
  for (const wchar_t* message : {L"{\"type\":\"Ready\"}", L"{\"type\":\"REFRESH\"}", L"{\"type\":\"Close\"}",
                                 L"{\"type\":\"\"}", L"{\"type\":7}", L"{}", L"[\"ready\"]", L"\"ready\"",
                                 L"{\"type\":\"ready\"", L"not json", L"{\"type\":\"launch\"}"}) {
    Send(message);
  }
  Drain();
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
    PumpUntil([&] { return OfType("status").size() >= 2; }, 5000);
    EXPECT_EQ(HandoffValue(L"host"), c.host) << common::WideToUtf8(c.message);
    EXPECT_EQ(HandoffValue(L"port"), c.port) << common::WideToUtf8(c.message);
    const std::vector<std::wstring> statuses = OfType("status");
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], L"{\"type\":\"status\",\"text\":\"Starting the game through Steam...\",\"percent\":-1}");
    EXPECT_EQ(statuses[1],
              L"{\"type\":\"status\",\"text\":\"Steam did not accept the launch request. Start the "
              L"game from Steam yourself.\",\"percent\":-1,\"bad\":true}");
    // The server played on is the most recent one; with no host there is none.
    const bool has_host = wcsstr(c.message, L"\"host\"") != nullptr;
    ASSERT_EQ(Count("recent"), has_host ? 1u : 0u);
    if (has_host) {
      EXPECT_EQ(TypeOf(g_received.front()), "recent") << "sent before the launch";
      EXPECT_EQ(Parsed(OfType("recent")[0]).Get("list").AsArray()[0].Get("host").AsString(""),
                common::WideToUtf8(c.host));
    }
  }
  EXPECT_TRUE(g_signals.empty()) << "a refused launch leaves the window open";
}

TEST_F(PageRequestsTest, PlayAcceptedClosesTheWindow) {
  harness::SteamHandler steam;
  Send(L"{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}");
  ASSERT_TRUE(PumpUntil([] { return !g_signals.empty(); }, 5000));
  EXPECT_EQ(g_signals, std::vector<UINT>{ui::WM_GAME_STARTED});
  ASSERT_EQ(g_received.size(), 2u);
  EXPECT_EQ(g_received[0], L"{\"type\":\"recent\",\"list\":[{\"host\":\"lobby\",\"port\":27015,\"name\":\"\"}]}");
  EXPECT_EQ(g_received[1], L"{\"type\":\"status\",\"text\":\"Starting the game through Steam...\",\"percent\":-1}");
  EXPECT_EQ(steam.Requests(), "steam://rungameid/900100\n");
  EXPECT_EQ(HandoffValue(L"name"), L"Ann");
}

TEST_F(PageRequestsTest, PlayRefusedWhileTheGameRuns) {
  harness::SteamHandler steam;
  harness::ChildProcess game;
  ASSERT_TRUE(game.Start(harness::SupportBin() + L"\\Velmora.exe"));
  ASSERT_TRUE(PumpUntil([] { return game::IsGameRunning(); }, 10000));
  Send(L"{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}");
  PumpUntil([] { return !g_received.empty(); }, 5000);
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0],
            L"{\"type\":\"status\",\"text\":\"Velmora is already running. Close it first.\","
            L"\"percent\":-1,\"bad\":true}");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
  EXPECT_EQ(steam.Requests(0), "");
  EXPECT_TRUE(g_signals.empty());
}

// A folder that a run left with two releases, or found a file of its
// release changed or gone in, is not played: the player reads why.
TEST_F(PageRequestsTest, PlayIsRefusedForAFolderARunLeftUnsound) {
  harness::SteamHandler steam;
  for (const auto state : {update::InstallRecord::State::kMixed, update::InstallRecord::State::kChanged}) {
    update::InstallRecord record;
    record.state = state;
    record.note = state == update::InstallRecord::State::kChanged ? update::ChangedNote(L"maps\\a.pak") : L"";
    ASSERT_TRUE(update::SaveInstallRecord(update::FolderKey(game_), record));
    g_received.clear();
    Send(L"{\"type\":\"play\",\"host\":\"lobby\",\"port\":27015,\"name\":\"Ann\"}");
    ASSERT_TRUE(PumpUntil([] { return !g_received.empty(); }, 5000));
    const std::wstring text = state == update::InstallRecord::State::kChanged
                                  ? L"A file of the installed release changed or is missing (maps\\\\a.pak). Let the "
                                    L"launcher update the game folder before you play."
                                  : update::CutOffText();
    EXPECT_EQ(g_received[0], L"{\"type\":\"status\",\"text\":\"" + text + L"\",\"percent\":-1,\"bad\":true}");
  }
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini"));
  EXPECT_EQ(steam.Requests(0), "");
}

// What the page sends for Play is checked before anything is written.
TEST_F(PageRequestsTest, PlayRefusesWhatTheHandoffCannotTake) {
  harness::SteamHandler steam;
  const std::string before = "[net]\r\nname=Mara\r\nhost=old.example\r\nport=1\r\n";
  const std::wstring ini = game_ + L"\\velmoramp.ini";
  ASSERT_TRUE(harness::WriteFileBytes(ini, before));
  const std::wstring address = L"That server address cannot be used.";
  const std::wstring port = L"That server port cannot be used: it must be 1 to 65535.";
  const std::wstring name = L"That player name cannot be used: at most 127 characters, and no line breaks.";
  struct Case {
    std::wstring message;
    std::wstring refusal;
  } cases[] = {
      // Line breaks would add sections and keys of the sender's choosing.
      {LR"({"type":"play","host":"lobby\r\n[game]\r\nautocase=Evil","port":27015,"name":"Ann"})", address},
      {LR"({"type":"play","host":"lobby","port":27015,"name":"Ann\n[net]\nhost=evil.example"})", name},
      {LR"({"type":"play","host":"lobby","port":27015,"name":"Ann\u2028x"})", name},
      {LR"({"type":"play","host":"lob by","port":27015,"name":"Ann"})", address},
      // Bounds: the longest DNS name, the port range, the name's length.
      {LR"({"type":"play","host":")" + std::wstring(254, L'h') + LR"(","port":27015,"name":"Ann"})", address},
      {LR"({"type":"play","host":"lobby","port":99999,"name":"Ann"})", port},
      {LR"({"type":"play","host":"lobby","port":0,"name":"Ann"})", port},
      {LR"({"type":"play","host":"lobby","port":-27015,"name":"Ann"})", port},
      {LR"({"type":"play","host":"lobby","port":27015,"name":")" + std::wstring(128, L'n') + LR"("})", name},
  };
  for (const Case& c : cases) {
    g_received.clear();
    Send(c.message);
    Drain();
    ASSERT_EQ(g_received.size(), 1u) << common::WideToUtf8(c.message);
    EXPECT_EQ(g_received[0], L"{\"type\":\"status\",\"text\":\"" + c.refusal + L"\",\"percent\":-1,\"bad\":true}");
    EXPECT_EQ(harness::ReadFileBytes(ini), before) << common::WideToUtf8(c.message);
  }
  EXPECT_EQ(steam.Requests(0), "");
  EXPECT_TRUE(g_signals.empty());

  // The longest host that is allowed still goes.
  Send(LR"({"type":"play","host":")" + std::wstring(253, L'h') + LR"(","port":65535,"name":"Ann"})");
  EXPECT_EQ(HandoffValue(L"port"), L"65535");
}

TEST_F(PageRequestsTest, AHandoffThatCannotBeWrittenStopsPlay) {
  harness::SteamHandler steam;
  options_.game_dir = game_ + L"\\no such folder";
  Send(LR"({"type":"play","host":"lobby","port":27015,"name":"Ann"})");
  Drain();
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0],
            L"{\"type\":\"status\",\"text\":\"Could not write the hand-off file into the game folder.\","
            L"\"percent\":-1,\"bad\":true}");
  EXPECT_EQ(steam.Requests(0), "") << "Steam is not asked";
  EXPECT_TRUE(g_signals.empty());
}

TEST_F(PageRequestsTest, FavouritesBothWaysAndKeptInTheStateFile) {
  const std::wstring address = L"That server address cannot be used.";
  const std::wstring unusable = L"That server cannot be kept as a favourite.";
  struct Step {
    std::wstring message;
    std::wstring refusal;  // the bad status, when refused
    std::wstring list;     // the favourites message's list after it
  } steps[] = {
      {LR"({"type":"favourite","host":"lobby","port":27015,"name":"Night Shift","on":true})", L"",
       LR"([{"host":"lobby","port":27015,"name":"Night Shift"}])"},
      {LR"({"type":"favourite","host":"2001:db8::42","port":7777,"name":"","on":true})", L"",
       LR"([{"host":"2001:db8::42","port":7777,"name":""},{"host":"lobby","port":27015,"name":"Night Shift"}])"},
      // The same server (a name has no case): it keeps its place, takes the new name.
      {LR"({"type":"favourite","host":"LOBBY","port":27015,"name":"Night\tShift 2","on":true})", L"",
       LR"([{"host":"2001:db8::42","port":7777,"name":""},{"host":"lobby","port":27015,"name":"Night Shift 2"}])"},
      // Another port is another server; a long name is cut as a listed one is.
      {LR"({"type":"favourite","host":"lobby","port":27016,"name":")" + std::wstring(60, L'x') + LR"(","on":true})",
       L"",
       LR"([{"host":"lobby","port":27016,"name":")" + std::wstring(48, L'x') +
           LR"("},{"host":"2001:db8::42","port":7777,"name":""},{"host":"lobby","port":27015,"name":"Night Shift 2"}])"},
      {LR"({"type":"favourite","host":"lobby","port":27015,"on":false})", L"",
       LR"([{"host":"lobby","port":27016,"name":")" + std::wstring(48, L'x') +
           LR"("},{"host":"2001:db8::42","port":7777,"name":""}])"},
      {LR"({"type":"favourite","host":"2001:db8::42","port":7777,"on":false})", L"",
       LR"([{"host":"lobby","port":27016,"name":")" + std::wstring(48, L'x') + LR"("}])"},
      // Refused, and answered with the list as it is.
      {LR"({"type":"favourite","host":"a\r\n[net]","port":1,"on":true})", address, L""},
      {LR"({"type":"favourite","host":"","port":1,"on":true})", address, L""},
      {LR"({"type":"favourite","host":"lobby","port":70000,"on":true})",
       L"That server port cannot be used: it must be 1 to 65535.", L""},
      {LR"({"type":"favourite","host":"lobby","port":"1","on":true})", unusable, L""},
      {LR"({"type":"favourite","host":"lobby","port":1,"on":"yes"})", unusable, L""},
      {LR"({"type":"favourite","port":1,"on":true})", unusable, L""},
  };
  std::wstring list;
  for (const Step& step : steps) {
    g_received.clear();
    Send(step.message);
    if (!step.list.empty()) list = step.list;
    std::vector<std::wstring> expected;
    if (!step.refusal.empty()) {
      expected.push_back(L"{\"type\":\"status\",\"text\":\"" + step.refusal + L"\",\"percent\":-1,\"bad\":true}");
    }
    expected.push_back(L"{\"type\":\"favourites\",\"list\":" + list + L"}");
    Drain();
    EXPECT_EQ(g_received, expected) << common::WideToUtf8(step.message);
  }

  // The file holds them; a new run (a new page, a new launcher) gets them back.
  const ui::PlayerState saved = ui::LoadPlayerState(data_ + L"\\player.json");
  ASSERT_EQ(saved.favourites.size(), 1u);
  EXPECT_EQ(saved.favourites[0].port, 27016);
  ui::Frontend again;
  again.window = frontend_.window;
  again.options = std::make_shared<const update::Options>(options_);
  g_received.clear();
  ui::HandleWebMessage(again, L"{\"type\":\"ready\"}");
  Drain();
  ASSERT_GE(g_received.size(), 2u);
  EXPECT_EQ(g_received[0], L"{\"type\":\"favourites\",\"list\":" + list + L"}");
  EXPECT_EQ(g_received[1], L"{\"type\":\"recent\",\"list\":[]}");
  ui::StopWorkers(again);
  ui::WaitForUpdate(again, ui::kUpdateStopWaitMs);
}

TEST_F(PageRequestsTest, RecentServersNewestFirstAtMostTen) {
  // The list shown names the servers played on.
  Send(L"{\"type\":\"refresh\"}");
  ASSERT_TRUE(PumpUntil([&] { return Count("servers") == 1; }));
  Send(LR"({"type":"play","host":"lobby","port":27015,"name":"Ann"})");
  Drain();
  ASSERT_EQ(OfType("recent").size(), 1u);
  EXPECT_EQ(OfType("recent")[0], LR"({"type":"recent","list":[{"host":"lobby","port":27015,"name":"Night Shift"}]})");

  for (int i = 1; i <= 11; ++i) {
    Send(L"{\"type\":\"play\",\"host\":\"h" + std::to_wstring(i) + L".example\",\"port\":" + std::to_wstring(i) +
         L",\"name\":\"Ann\"}");
    Drain();
  }
  auto hosts = [](const std::wstring& message) {
    std::vector<std::string> out;
    for (const json::Value& v : ArrayOf(message, "list")) out.push_back(v.Get("host").AsString(""));
    return out;
  };
  EXPECT_EQ(hosts(OfType("recent").back()),
            (std::vector<std::string>{"h11.example", "h10.example", "h9.example", "h8.example", "h7.example",
                                      "h6.example", "h5.example", "h4.example", "h3.example", "h2.example"}));
  // The same server again moves to the front.
  Send(LR"({"type":"play","host":"H5.EXAMPLE","port":5,"name":"Ann"})");
  Drain();
  const std::vector<std::string> now = hosts(OfType("recent").back());
  ASSERT_EQ(now.size(), 10u);
  EXPECT_EQ(now[0], "H5.EXAMPLE");
  EXPECT_EQ(std::count(now.begin(), now.end(), "h5.example"), 0);
  EXPECT_EQ(ui::LoadPlayerState(data_ + L"\\player.json").recent.size(), 10u);
  EXPECT_EQ(ui::LoadPlayerState(data_ + L"\\player.json").recent[0].host, L"H5.EXAMPLE");
}

TEST_F(PageRequestsTest, ADamagedOrForeignStateFileIsIgnoredThenReplaced) {
  const std::wstring file = data_ + L"\\player.json";
  const std::string ours =
      R"({"format":"velmoramp-player","version":1,"favourites":[{"host":"a.example","port":1,"name":"A"}],"recent":[]})";
  struct Case {
    const char* what;
    std::string bytes;
    bool kept;
  } cases[] = {
      {"ours", ours, true},
      {"cut short", ours.substr(0, ours.size() - 3), false},
      {"not an object", "[1,2,3]", false},
      {"another program's", R"({"favourites":[{"host":"a.example","port":1,"name":"A"}]})", false},
      {"a later version", R"({"format":"velmoramp-player","version":2,"favourites":[]})", false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(harness::WriteFileBytes(file, c.bytes));
    ui::Frontend run;
    run.window = frontend_.window;
    run.options = std::make_shared<const update::Options>(options_);
    g_received.clear();
    ui::HandleWebMessage(run, LR"({"type":"favourite","host":"b.example","port":2,"name":"B","on":true})");
    Drain();
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0], c.kept ? LR"({"type":"favourites","list":[{"host":"b.example","port":2,"name":"B"},)"
                                      LR"({"host":"a.example","port":1,"name":"A"}]})"
                                    : LR"({"type":"favourites","list":[{"host":"b.example","port":2,"name":"B"}]})");
    // Replaced by a file of ours.
    EXPECT_EQ(ui::LoadPlayerState(file).favourites.size(), c.kept ? 2u : 1u);
  }
  const std::string log = harness::ReadFileBytes(log_);
  EXPECT_NE(log.find("player.json is damaged"), std::string::npos) << log;
  EXPECT_NE(log.find("player.json is not ours"), std::string::npos) << log;

  // Only what passes the rules is read, without repeats, within the bounds.
  std::string many = R"({"format":"velmoramp-player","version":1,"favourites":[)";
  for (int i = 0; i < 250; ++i) many += R"({"host":"s)" + std::to_string(i) + R"(.example","port":1,"name":""},)";
  many += R"({"host":"x","port":1}],"recent":[{"host":"a\nb","port":1},{"host":"ok","port":2,"name":"N\u0007"},)"
          R"({"host":"OK","port":2},{"host":"p","port":65536},{"port":3},{"host":"q","port":"4"}]})";
  ASSERT_TRUE(harness::WriteFileBytes(file, many));
  const ui::PlayerState loaded = ui::LoadPlayerState(file);
  EXPECT_EQ(loaded.favourites.size(), ui::kMaxFavourites);
  ASSERT_EQ(loaded.recent.size(), 1u);
  EXPECT_EQ(loaded.recent[0].host, L"ok");
  EXPECT_EQ(loaded.recent[0].name, L"N ") << "control characters become blanks";
  EXPECT_EQ(ui::LoadPlayerState(data_ + L"\\missing.json").favourites.size(), 0u);

  // A full list takes no more.
  ui::Frontend full;
  full.window = frontend_.window;
  full.options = std::make_shared<const update::Options>(options_);
  g_received.clear();
  ui::HandleWebMessage(full, LR"({"type":"favourite","host":"one.more","port":1,"on":true})");
  Drain();
  ASSERT_EQ(g_received.size(), 2u);
  EXPECT_EQ(g_received[0],
            L"{\"type\":\"status\",\"text\":\"You have 200 favourites already. Remove one to add another.\","
            L"\"percent\":-1,\"bad\":true}");
  EXPECT_EQ(Parsed(g_received[1]).Get("list").AsArray().size(), ui::kMaxFavourites);
}

TEST_F(PageRequestsTest, PingResultsFollowTheListTheyBelongTo) {
  // The list first, then batches of results keyed by host.
  options_.list_url = harness::ListEchoUrl(
      R"({"servers":[{"name":"Here","host":"127.0.0.1","port":1},{"name":"Nowhere","host":"198.51.100.1","port":2},)"
      R"({"name":"Also here","host":"127.0.0.1","port":3}]})");
  Send(L"{\"type\":\"refresh\"}");
  std::map<std::string, int> ms;
  auto collect = [&] {
    ms.clear();
    for (const std::wstring& m : OfType("ping")) {
      for (const json::Value& r : ArrayOf(m, "results")) ms[r.Get("host").AsString("")] = r.Get("ms").AsInt(-2);
    }
    return ms.size() == 2;
  };
  ASSERT_TRUE(PumpUntil(collect, 15000)) << ms.size();
  EXPECT_EQ(TypeOf(g_received.front()), "servers") << "the list is never held back by the ping";
  EXPECT_EQ(ms["198.51.100.1"], servers::kNoAnswer);
  size_t results = 0;
  for (const std::wstring& m : OfType("ping")) results += Parsed(m).Get("results").AsArray().size();
  EXPECT_EQ(results, 2u) << "each host measured once";

  // Two refreshes with lists of their own, the second while the first one's
  // pings are out: no result of the older list follows the newer one.
  g_received.clear();
  options_.list_url = harness::ListEchoUrl(R"({"servers":[{"name":"Old","host":"198.51.100.7","port":1}]})");
  Send(L"{\"type\":\"refresh\"}");
  ASSERT_TRUE(PumpUntil([&] { return Count("servers") > 0; }));
  options_.list_url = harness::ListEchoUrl(R"({"servers":[{"name":"New","host":"127.0.0.1","port":1}]})");
  Send(L"{\"type\":\"refresh\"}");
  // The newer list's pings close its story; anything of the older one came before them.
  ASSERT_TRUE(PumpUntil([&] {
    return std::any_of(g_received.begin(), g_received.end(), [](const std::wstring& m) {
      return TypeOf(m) == "ping" && m.find(L"\"host\":\"127.0.0.1\"") != std::wstring::npos;
    });
  }));
  std::set<std::string> shown;
  for (const std::wstring& m : g_received) {
    if (TypeOf(m) == "servers") {
      shown.clear();
      for (const json::Value& s : ArrayOf(m, "list")) shown.insert(s.Get("host").AsString(""));
    } else if (TypeOf(m) == "ping") {
      for (const json::Value& r : ArrayOf(m, "results")) {
        EXPECT_EQ(shown.count(r.Get("host").AsString("")), 1u) << common::WideToUtf8(m);
      }
    }
  }
  EXPECT_EQ(shown, std::set<std::string>{"127.0.0.1"}) << "the newer list is the one shown";

  unsigned long error = 0;
  if (servers::PingHost(L"127.0.0.1", servers::kPingTimeoutMs, &error) == servers::kNoAnswer) {
    GTEST_SKIP() << "ICMP echo is refused on this system (error " << error << "): loopback cannot answer";
  }
  EXPECT_GE(ms["127.0.0.1"], 0);
}

TEST_F(PageRequestsTest, TheLogNamesTypesServersAndOutcomesButNoPlayer) {
  frontend_.player_name = L"Secret Sam";
  for (const wchar_t* message :
       {LR"({"type":"name","value":"Zed Hidden"})", LR"({"type":"favourite","host":"lobby","port":27015,"on":true})",
        LR"({"type":"favourite","host":"lobby","port":27015,"on":false})",
        LR"({"type":"play","host":"lobby","port":27015,"name":"Zed Hidden"})",
        LR"({"type":"play","host":"lobby","port":27015,"name":"Zed\nHidden"})", LR"({"type":"Zed Hidden"})"}) {
    Send(message);
  }
  const std::string log = harness::ReadFileBytes(log_);
  for (const char* line : {"page: name\r\n", "page: favourite\r\n", "favourites: added lobby port 27015\r\n",
                           "favourites: removed lobby port 27015\r\n", "page: play\r\n",
                           "play: lobby port 27015; Steam refused the launch\r\n",
                           "play: refused, the page sent a server or name the hand-off cannot take\r\n",
                           "page: a message of no known type\r\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
  }
  EXPECT_EQ(log.find("Zed"), std::string::npos) << log;
  EXPECT_EQ(log.find("Secret"), std::string::npos) << log;
}

// How many list fetches carried this tag, as the list service counted them.
// A key held down on Refresh posts some thirty a second: one list is fetched
// at a time, the others passed over; and a closing window ends the fetch.
TEST_F(PageRequestsTest, OneListFetchAtATime) {
  const std::wstring tag = L"one-" + std::to_wstring(GetTickCount());
  options_.list_url = harness::ListServiceUrl(L"/slow?ms=1500&tag=" + tag);
  for (int i = 0; i < 30; ++i) {
    Send(L"{\"type\":\"refresh\"}");
    Sleep(30);
  }
  ASSERT_TRUE(PumpUntil([&] { return Count("servers") > 0; }));
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(Count("servers"), 1u);
  EXPECT_EQ(harness::ListRequestsTagged(tag), 1);

  // Once the list is in, the next refresh fetches again.
  Send(L"{\"type\":\"refresh\"}");
  ASSERT_TRUE(PumpUntil([&] { return Count("servers") > 1; }));
  EXPECT_EQ(harness::ListRequestsTagged(tag), 2);

  // A window that closes while a list is on its way does not wait for it.
  harness::ProductTiming long_deadline(L"list=20000");
  options_.list_url = harness::ListServiceUrl(L"/drip?seconds=5&tag=" + tag + L"-drip");
  Send(L"{\"type\":\"refresh\"}");
  ASSERT_TRUE(PumpUntil([&] { return harness::ListRequestsTagged(tag + L"-drip") == 1; }));  // the list is on its way
  const DWORD closing = GetTickCount();
  ui::StopWorkers(frontend_);
  EXPECT_TRUE(ui::WaitForUpdate(frontend_, 20000));
  EXPECT_LT(GetTickCount() - closing, 5000u) << "the fetch ended at the stop, not at the list's deadline";
}

// A player.json that cannot be read (a hand edit with a trailing comma) is
// kept aside before anything replaces it, and said once; two windows that
// save in turn keep each other's favourites.
TEST_F(PageRequestsTest, FavouritesAreNeverLost) {
  const std::wstring file = data_ + L"\\player.json";
  const std::string edited =
      R"({"format":"velmoramp-player","version":1,"favourites":[{"host":"a.example","port":1,"name":"A"},],"recent":[]})";
  ASSERT_TRUE(harness::WriteFileBytes(file, edited));

  ui::Frontend first;
  first.window = frontend_.window;
  first.options = std::make_shared<const update::Options>(options_);
  ui::HandleWebMessage(first, LR"({"type":"favourite","host":"b.example","port":2,"name":"B","on":true})");
  EXPECT_EQ(harness::ReadFileBytes(file + L".bad"), edited) << "kept as it was";

  ui::Frontend second;
  second.window = frontend_.window;
  second.options = first.options;
  ui::HandleWebMessage(second, LR"({"type":"favourite","host":"c.example","port":3,"name":"C","on":true})");
  ui::HandleWebMessage(first, LR"({"type":"favourite","host":"d.example","port":4,"name":"D","on":true})");
  ui::HandleWebMessage(second, LR"({"type":"favourite","host":"b.example","port":2,"on":false})");
  std::vector<std::wstring> hosts;
  for (const ui::SavedServer& s : ui::LoadPlayerState(file).favourites) hosts.push_back(s.host);
  EXPECT_EQ(hosts, (std::vector<std::wstring>{L"d.example", L"c.example"}));
  ASSERT_EQ(second.player.favourites.size(), 2u) << "the window that saved last shows what both saved";
  Drain();

  // The page is told once, when it first loads.
  ASSERT_TRUE(harness::WriteFileBytes(file, edited));
  ui::Frontend third;
  third.window = frontend_.window;
  third.options = first.options;
  g_received.clear();
  for (int i = 0; i < 2; ++i) ui::HandleWebMessage(third, L"{\"type\":\"ready\"}");
  ui::StopWorkers(third);
  EXPECT_TRUE(ui::WaitForUpdate(third, 20000));
  Drain();
  EXPECT_EQ(std::count(g_received.begin(), g_received.end(),
                       L"{\"type\":\"status\",\"text\":\"" + std::wstring(ui::PlayerStateUnreadableText()) +
                           L"\",\"percent\":-1,\"bad\":true}"),
            1);
}

}  // namespace
