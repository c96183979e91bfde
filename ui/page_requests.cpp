#include "ui/page_requests.h"

#include <windows.h>

#include <thread>
#include <vector>

#include "common/text.h"
#include "game/handoff.h"
#include "game/locator.h"
#include "json/parse.h"
#include "servers/server_list.h"
#include "ui/page_messages.h"
#include "update/engine.h"

namespace ui {
namespace {

using Options = std::shared_ptr<const update::Options>;

void PostStatus(HWND window, const std::wstring& text, int percent, Tone tone, Busy busy) {
  PostToPage(window, BuildStatusMessage(text, percent, tone, busy));
}

void UpdateWorker(Options options, HWND window) {
  update::StatusFn status = [window](const update::StatusLine& line) {
    const std::wstring text = line.detail.empty() ? line.text : line.text + L"  " + line.detail;
    PostStatus(window, text, line.percent, Tone::kPlain, Busy::kYes);
  };
  update::Result result = update::RunUpdate(*options, status);
  if (!result.ok) {
    PostStatus(window, result.error, kNoPercent, Tone::kBad, Busy::kNo);
  } else if (result.launcher_updated) {
    // The new launcher is already running; this one just goes.
    PostMessageW(window, WM_CLOSE, 0, 0);
  } else {
    PostStatus(window, result.changed > 0 ? L"Updated" : L"Up to date", kNoPercent, Tone::kGood, Busy::kNo);
    PostToPage(window, BuildReleaseMessage(result.build, result.protocol));
  }
}

void RefreshWorker(Options options, HWND window) {
  std::vector<servers::ServerRecord> list;
  std::wstring error;
  if (servers::FetchServerList(options->list_url, list, error)) {
    PostToPage(window, BuildServersMessage(list));
  } else {
    PostToPage(window, kEmptyServersMessage);
    PostStatus(window, L"Could not reach the server list: " + error, kNoPercent, Tone::kBad, Busy::kNo);
  }
}

// Each worker holds its own reference to the options and only posts.
void StartUpdate(const Frontend& frontend) { std::thread(UpdateWorker, frontend.options, frontend.window).detach(); }
void StartRefresh(const Frontend& frontend) { std::thread(RefreshWorker, frontend.options, frontend.window).detach(); }

// Refuses while the game runs; otherwise writes the hand-off, asks Steam,
// and closes the window once Steam accepted.
void Play(const Frontend& frontend, const std::wstring& host, int port, const std::wstring& name) {
  const HWND window = frontend.window;
  if (game::IsGameRunning()) {
    PostStatus(window, L"Velmora is already running. Close it first.", kNoPercent, Tone::kBad, Busy::kUnchanged);
    return;
  }
  game::WriteHandoff(frontend.options->game_dir, host, port, name);
  PostStatus(window, L"Starting the game through Steam...", kNoPercent, Tone::kPlain, Busy::kUnchanged);
  if (game::LaunchGame()) {
    PostMessageW(window, WM_GAME_STARTED, 0, 0);
  } else {
    PostStatus(window, L"Steam did not accept the launch request. Start the game from Steam yourself.", kNoPercent,
               Tone::kBad, Busy::kUnchanged);
  }
}

}  // namespace

void HandleWebMessage(Frontend& frontend, const std::wstring& json_text) {
  json::Value message;
  if (!json::Parse(common::WideToUtf8(json_text), message)) return;
  const std::string type = message.Get("type").AsString("");

  if (type == "ready") {
    if (!frontend.player_name.empty()) PostToPage(frontend.window, BuildNameMessage(frontend.player_name));
    StartUpdate(frontend);
    StartRefresh(frontend);
  } else if (type == "refresh") {
    StartRefresh(frontend);
  } else if (type == "close") {
    PostMessageW(frontend.window, WM_CLOSE, 0, 0);
  } else if (type == "minimise") {
    ShowWindow(frontend.window, SW_MINIMIZE);
  } else if (type == "name") {
    frontend.player_name = common::Utf8ToWide(message.Get("value").AsString(""));
  } else if (type == "play") {
    const std::string host = message.Get("host").AsString("");
    const int port = message.Get("port").AsInt(27015);
    const std::string name = message.Get("name").AsString("");
    Play(frontend, common::Utf8ToWide(host), port, common::Utf8ToWide(name));
  }
}

}  // namespace ui
