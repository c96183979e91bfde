#include "ui/page_requests.h"

#include <windows.h>

#include <thread>
#include <vector>

#include "game/handoff.h"
#include "game/locator.h"
#include "json/parse.h"
#include "servers/server_list.h"
#include "ui/frontend_state.h"
#include "ui/page_messages.h"
#include "update/engine.h"
#include "update/text.h"

namespace ui {

void PostStatus(const std::wstring& text, int percent, bool bad, bool good, int busy) {
  PostToPage(BuildStatusMessage(text, percent, bad, good, busy));
}

namespace {

void UpdateWorker() {
  update::StatusFn status = [](const std::wstring& text, int percent) {
    PostStatus(text, percent, false, false, 1);
  };
  update::Result result = update::RunUpdate(g_options, status);
  if (!result.ok) {
    PostStatus(result.error, -1, true, false, 0);
  } else if (result.launcher_updated) {
    // The new launcher is already running; this one just goes.
    PostMessageW(g_window, WM_CLOSE, 0, 0);
  } else {
    PostStatus(result.changed > 0 ? L"Updated" : L"Up to date", -1, false, true, 0);
    PostToPage(BuildReleaseMessage(result.build, result.protocol));
  }
}

}  // namespace

void StartUpdate() { std::thread(UpdateWorker).detach(); }

void StartRefresh() { std::thread(RefreshServers).detach(); }

void RefreshServers() {
  std::vector<ServerRecord> list;
  std::wstring error;
  if (FetchServerList(g_options.list_url, list, error)) {
    PostToPage(BuildServersMessage(list));
  } else {
    PostToPage(kEmptyServersMessage);
    PostStatus(L"Could not reach the server list: " + error, -1, true, false, 0);
  }
}

void Play(const std::wstring& host, int port, const std::wstring& name) {
  if (IsGameRunning()) {
    PostStatus(L"Velmora is already running. Close it first.", -1, true, false, -1);
    return;
  }
  WriteHandoff(g_options.game_dir, host, port, name);
  PostStatus(L"Starting the game through Steam...", -1, false, false, -1);
  if (LaunchGame()) {
    PostMessageW(g_window, WM_GAME_STARTED, 0, 0);
  } else {
    PostStatus(L"Steam did not accept the launch request. Start the game from Steam yourself.", -1, true, false,
               -1);
  }
}

void HandleWebMessage(const std::wstring& json_text) {
  json::Value message;
  if (!json::Parse(WideToUtf8(json_text), message)) return;
  const std::string type = message.Get("type").AsString("");

  if (type == "ready") {
    if (!g_player_name.empty()) PostToPage(BuildNameMessage(g_player_name));
    StartUpdate();
    StartRefresh();
  } else if (type == "refresh") {
    StartRefresh();
  } else if (type == "close") {
    PostMessageW(g_window, WM_CLOSE, 0, 0);
  } else if (type == "minimise") {
    ShowWindow(g_window, SW_MINIMIZE);
  } else if (type == "name") {
    g_player_name = Utf8ToWide(message.Get("value").AsString(""));
  } else if (type == "play") {
    const std::string host = message.Get("host").AsString("");
    const int port = message.Get("port").AsInt(27015);
    const std::string name = message.Get("name").AsString("");
    Play(Utf8ToWide(host), port, Utf8ToWide(name));
  }
}

}  // namespace ui
