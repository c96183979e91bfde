#include "ui/page_requests.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/text.h"
#include "common/texts.h"
#include "game/handoff.h"
#include "game/locator.h"
#include "json/parse.h"
#include "servers/ping.h"
#include "servers/server_list.h"
#include "ui/page_messages.h"
#include "update/disk/install_record.h"
#include "update/engine.h"

namespace ui {

struct Workers {
  std::mutex lock;
  std::condition_variable update_ended;
  // Under lock: the update worker is alive; the launcher was replaced (this
  // one only waits to close); the page message of the running update's
  // latest status, for a page that loads again meanwhile.
  bool update_running = false;
  bool launcher_replaced = false;
  std::wstring update_status;
  // Under lock: the window is closing; nothing more goes to the page.
  bool closing = false;
  // Under lock: the refresh whose list the page shows, and that list.
  unsigned shown_refresh = 0;
  std::vector<SavedServer> listed;
  // Under lock: the refresh whose list is being fetched (one at a time),
  // 0 for none; when it ended.
  unsigned fetching = 0;
  std::condition_variable fetch_ended;
  update::CancelFlag cancel{false};
  // Under lock: the player paused the update; it stopped (or stops) with
  // its staging files kept, and Play waits for Resume.
  bool paused = false;
  // The player's download cap, read by the running update as it goes.
  net::RateLimit limit;
  // Ends a list fetch at once when the window closes.
  common::StopSignal closing_signal{false};
};

namespace {

using Options = std::shared_ptr<const update::Options>;
using WorkersRef = std::shared_ptr<Workers>;

void PostStatus(HWND window, const std::wstring& text, int percent, Tone tone, Busy busy) {
  PostToPage(window, BuildStatusMessage(text, percent, tone, busy));
}

// For a worker's last words after an exception: building the text may
// itself fail, and nothing may escape the thread.
void PostStatusQuietly(HWND window, const wchar_t* text, Tone tone, Busy busy) {
  try {
    PostStatus(window, text, kNoPercent, tone, busy);
  } catch (...) {
  }
}
void LogQuietly(const wchar_t* text) {
  try {
    common::Log(L"%s", text);
  } catch (...) {
  }
}

// The page messages that end a run (and whether the window closes: a new
// launcher runs already).
struct RunEnding {
  std::vector<std::wstring> messages;
  bool replaced = false;
};

RunEnding EndingOf(const update::Result& result, bool paused, const std::vector<std::wstring>& start_notices) {
  std::wstring notices;
  for (const std::wstring& notice : start_notices) notices += L" " + notice + L".";
  for (const std::wstring& notice : result.notices) notices += L" " + notice;
  RunEnding end;
  auto& out = end.messages;
  if (paused) {
    out.push_back(BuildStatusMessage(common::Tr(L"Paused. Resume goes on where the download stopped."), kNoPercent,
                                     Tone::kPlain, Busy::kNo));
    out.push_back(BuildRunMessage(L"paused"));
  } else if (!result.ok) {
    out.push_back(BuildStatusMessage(result.error + notices, kNoPercent, Tone::kBad, Busy::kNo));
    out.push_back(BuildRunMessage(L"failed"));
  } else if (result.launcher_updated) {
    end.replaced = true;
  } else if (result.offline) {
    // No server could be asked: what is installed is played, and the
    // player is told why it was not checked.
    out.push_back(BuildStatusMessage(result.offline_text + notices, kNoPercent, Tone::kPlain, Busy::kNo));
    out.push_back(BuildReleaseMessage(result.build, result.protocol));
    out.push_back(BuildRunMessage(L"failed"));
  } else {
    // Each notice follows as a sentence of its own.
    std::wstring text = result.changed > 0 || result.removed > 0 ? common::Tr(L"Updated") : common::Tr(L"Up to date");
    if (!notices.empty()) text += L"." + notices;
    out.push_back(BuildStatusMessage(text, kNoPercent, Tone::kGood, Busy::kNo));
    out.push_back(BuildReleaseMessage(result.build, result.protocol));
    out.push_back(BuildRunMessage(L"done"));
  }
  return end;
}

void UpdateWorker(Options options, HWND window, WorkersRef workers) {
  RunEnding end;
  const wchar_t* failure = nullptr;
  try {
    update::StatusFn status = [window, &workers](const update::StatusLine& line) {
      const std::wstring text = line.detail.empty() ? line.text : line.text + L"  " + line.detail;
      const std::wstring message = BuildStatusMessage(text, line.percent, Tone::kPlain, Busy::kYes);
      {
        std::lock_guard<std::mutex> hold(workers->lock);
        workers->update_status = message;
      }
      PostToPage(window, message);
    };
    PostToPage(window, BuildRunMessage(L"running"));
    const update::Result result = update::RunUpdate(*options, status, &workers->cancel);
    bool paused = false;
    {
      std::lock_guard<std::mutex> hold(workers->lock);
      paused = workers->paused && !result.ok;
      if (!paused) workers->paused = false;
    }
    end = EndingOf(result, paused, options->notices);
  } catch (const std::bad_alloc&) {
    LogQuietly(L"update: out of memory");
    end.messages.clear();
    failure = common::Tr(L"The update stopped: the launcher ran out of memory.");
  } catch (...) {
    LogQuietly(L"update: ended by an unexpected error");
    end.messages.clear();
    failure = common::Tr(L"The update stopped after an unexpected error.");
  }
  // The state first, then the words: a Play, Retry or Repair the page
  // sends in answer to them must find the run over.
  {
    std::lock_guard<std::mutex> hold(workers->lock);
    workers->update_running = false;
    workers->launcher_replaced |= end.replaced;
    workers->update_status.clear();
    workers->update_ended.notify_all();
  }
  if (failure != nullptr) PostStatusQuietly(window, failure, Tone::kBad, Busy::kNo);
  try {
    for (const std::wstring& message : end.messages) PostToPage(window, message);
  } catch (...) {
    LogQuietly(L"update: its last words could not be posted");
  }
  if (end.replaced) PostMessageW(window, WM_CLOSE, 0, 0);
}

std::vector<SavedServer> ToSaved(const std::vector<servers::ServerRecord>& list) {
  std::vector<SavedServer> out;
  out.reserve(list.size());
  for (const servers::ServerRecord& s : list) out.push_back(SavedServer{s.host, s.port, s.name});
  return out;
}

// Under the workers' lock. False when that fetch had ended already.
bool EndFetch(Workers& workers, unsigned refresh) {
  if (workers.fetching != refresh) return false;
  workers.fetching = 0;
  workers.fetch_ended.notify_all();
  return true;
}

// Fetches the list, shows it unless a newer one is shown already, then
// measures the ping of its hosts for as long as it is the one shown.
void RefreshWorker(Options options, HWND window, WorkersRef workers, unsigned refresh) {
  try {
    std::vector<servers::ServerRecord> list;
    std::wstring error;
    bool fetched = false;
    try {
      fetched = servers::FetchServerList(options->list_url, list, error, &workers->closing_signal);
    } catch (const std::bad_alloc&) {
      list.clear();
      error = common::Tr(L"the launcher ran out of memory");
    } catch (...) {
      list.clear();
      error = common::Tr(L"an unexpected error");
    }
    if (!fetched) common::Log(L"server list: %s", error);

    const auto current = [&] { return !workers->closing && workers->shown_refresh == refresh; };
    {
      std::lock_guard<std::mutex> hold(workers->lock);
      // The list (or its failure) is in: another refresh may start.
      EndFetch(*workers, refresh);
      // Posted under the lock, so that the page's order of lists and pings
      // is the order of the refreshes.
      if (workers->closing || workers->shown_refresh > refresh) return;
      workers->shown_refresh = refresh;
      workers->listed = fetched ? ToSaved(list) : std::vector<SavedServer>();
      if (fetched) {
        PostToPage(window, BuildServersMessage(list));
      } else {
        PostToPage(window, kEmptyServersMessage);
        PostStatus(window, common::TrF(L"Could not reach the server list: %s", error), kNoPercent, Tone::kBad,
                   Busy::kUnchanged);
      }
    }
    if (!fetched) return;

    std::vector<std::wstring> hosts;
    hosts.reserve(list.size());
    for (const servers::ServerRecord& s : list) hosts.push_back(s.host);
    list.clear();
    servers::PingHosts(
        hosts,
        [&](const std::vector<servers::PingResult>& batch) {
          std::lock_guard<std::mutex> hold(workers->lock);
          if (current()) PostToPage(window, BuildPingMessage(batch));
        },
        [&] {
          std::lock_guard<std::mutex> hold(workers->lock);
          return current();
        });
  } catch (const std::bad_alloc&) {
    LogQuietly(L"server list: out of memory");
    PostStatusQuietly(window, common::Tr(L"Could not read the server list: the launcher ran out of memory."),
                      Tone::kBad, Busy::kUnchanged);
  } catch (...) {
    LogQuietly(L"server list: ended by an unexpected error");
    PostStatusQuietly(window, common::Tr(L"Could not read the server list after an unexpected error."), Tone::kBad,
                      Busy::kUnchanged);
  }
  // Whatever happened, the next refresh may start.
  std::lock_guard<std::mutex> hold(workers->lock);
  if (EndFetch(*workers, refresh) && !workers->closing) PostToPage(window, kEmptyServersMessage);
}

// Each worker holds its own reference to the options and the shared state,
// and only posts. One update at a time: a page that loads again while one
// runs gets its latest status instead.
PlayerState& Player(Frontend& frontend);
bool Paused(const Frontend& frontend);

// repair: a run that trusts no record of earlier runs and reads every file.
void StartUpdate(Frontend& frontend, bool repair = false) {
  Workers& workers = *frontend.workers;
  {
    std::lock_guard<std::mutex> hold(workers.lock);
    if (workers.closing || workers.launcher_replaced) return;
    if (workers.update_running) {
      if (!workers.update_status.empty()) PostToPage(frontend.window, workers.update_status);
      return;
    }
    workers.update_running = true;
    workers.paused = false;
    workers.cancel = false;
  }
  // The page's limit, where the player set one, wins over launcher.ini's.
  const int page_limit = Player(frontend).max_speed_kib;
  const int kib = page_limit >= 0 ? page_limit : frontend.options->max_speed_kib;
  workers.limit.SetBytesPerSecond(static_cast<uint64_t>(kib) * 1024);
  auto options = std::make_shared<update::Options>(*frontend.options);
  options->max_speed_kib = kib;
  options->shared_limit = &workers.limit;
  options->verify = options->verify || repair;
  // What the start ignored is said with the first run's outcome only.
  if (frontend.runs++ > 0) options->notices.clear();
  if (repair) common::Log(L"update: a repair, reading every file");
  try {
    std::thread(UpdateWorker, Options(options), frontend.window, frontend.workers).detach();
  } catch (...) {
    LogQuietly(L"update: no thread could be started");
    std::lock_guard<std::mutex> hold(workers.lock);
    workers.update_running = false;
    workers.update_ended.notify_all();
    PostStatusQuietly(frontend.window, common::Tr(L"The update could not be started."), Tone::kBad, Busy::kNo);
  }
}

// One list fetch at a time: a refresh asked for while one runs (a key held
// down, a page that loads again) is passed over.
void StartRefresh(Frontend& frontend) {
  Workers& workers = *frontend.workers;
  {
    std::lock_guard<std::mutex> hold(workers.lock);
    if (workers.closing) return;
    if (workers.fetching != 0) {
      common::Log(L"server list: a refresh was asked for while one runs; passed over");
      return;
    }
    workers.fetching = ++frontend.refreshes;
  }
  const unsigned refresh = frontend.refreshes;
  try {
    std::thread(RefreshWorker, frontend.options, frontend.window, frontend.workers, refresh).detach();
  } catch (...) {
    LogQuietly(L"server list: no thread could be started");
    {
      std::lock_guard<std::mutex> hold(workers.lock);
      (void)EndFetch(workers, refresh);  // it was this one's
    }
    PostToPage(frontend.window, kEmptyServersMessage);
    PostStatusQuietly(frontend.window, common::Tr(L"Could not fetch the server list."), Tone::kBad, Busy::kUnchanged);
  }
}

PlayerState& Player(Frontend& frontend) {
  if (!frontend.player_loaded) {
    frontend.player_path = PlayerStatePath();
    Found found = Found::kMissing;
    frontend.player = LoadPlayerState(frontend.player_path, &found);
    frontend.player_unreadable = found == Found::kUnreadable;
    frontend.player_loaded = true;
  }
  return frontend.player;
}

// One change to the favourites or recent servers, made to what the file
// holds now (another window's saves kept). False when it could not be
// written; it lasts until the launcher closes all the same.
bool Keep(Frontend& frontend, const PlayerChange& change) {
  Player(frontend);
  const auto all = [&frontend, &change](PlayerState& state) {
    bool changed = false;
    for (const PlayerChange& earlier : frontend.unsaved) changed |= earlier(state);
    return change(state) || changed;
  };
  if (ChangePlayerState(frontend.player_path, all, frontend.player)) {
    frontend.unsaved.clear();
    return true;
  }
  frontend.unsaved.push_back(change);
  return false;
}

// The name the player knows a server by: from the list shown, else from
// the favourites; empty for an address typed in.
std::wstring ServerName(Frontend& frontend, const SavedServer& server) {
  {
    std::lock_guard<std::mutex> hold(frontend.workers->lock);
    for (const SavedServer& s : frontend.workers->listed) {
      if (SameServer(s, server)) return s.name;
    }
  }
  for (const SavedServer& s : Player(frontend).favourites) {
    if (SameServer(s, server)) return s.name;
  }
  return std::wstring();
}

// Adds or removes a favourite; the page always gets the list back, so that
// a refused change is undone there too.
void ChangeFavourite(Frontend& frontend, const json::Value& message) {
  PlayerState& player = Player(frontend);
  const json::Value& on = message.Get("on");
  const json::Value& host = message.Get("host");
  const json::Value& port = message.Get("port");
  SavedServer server;
  std::wstring error = common::Tr(L"That server cannot be kept as a favourite.");
  if (on.kind != json::Type::kBool || host.kind != json::Type::kString || port.kind != json::Type::kNumber ||
      !MakeSavedServer(common::Utf8ToWide(host.AsString("")), port.AsInt(0),
                       common::Utf8ToWide(message.Get("name").AsString("")), server, error)) {
    common::Log(L"favourites: a change the host cannot take was refused");
    PostStatus(frontend.window, error, kNoPercent, Tone::kBad, Busy::kUnchanged);
    PostToPage(frontend.window, BuildFavouritesMessage(player.favourites));
    return;
  }
  const Favourite what = on.AsBool(false) ? Favourite::kAdd : Favourite::kRemove;
  Change change = Change::kNone;
  const bool kept = Keep(frontend, [server, what, &change](PlayerState& state) {
    change = SetFavourite(state, server, what);
    return change == Change::kChanged;
  });
  if (change == Change::kFull) {
    PostStatus(
        frontend.window,
        common::TrN(kMaxFavourites, L"You have %s favourite already. Remove one to add another.",
                    L"You have %s favourites already. Remove one to add another.", common::FormatCount(kMaxFavourites)),
        kNoPercent, Tone::kBad, Busy::kUnchanged);
  } else if (change == Change::kChanged) {
    common::Log(L"favourites: %s %s port %d", what == Favourite::kAdd ? L"added" : L"removed", server.host,
                server.port);
    if (!kept) {
      PostStatus(frontend.window, common::Tr(L"Could not save the favourites; they last until the launcher closes."),
                 kNoPercent, Tone::kBad, Busy::kUnchanged);
    }
  }
  PostToPage(frontend.window, BuildFavouritesMessage(frontend.player.favourites));
}

// Refuses during an update, for a server or name the hand-off cannot take,
// and while the game runs; otherwise writes the hand-off, records the
// server as the most recent one, asks Steam, and closes the window once
// Steam accepted.
void Play(Frontend& frontend, const std::wstring& host, int port, const std::wstring& name) {
  const HWND window = frontend.window;
  if (UpdateRunning(frontend)) {
    common::Log(L"play: refused, an update runs");
    PostStatus(window, common::Tr(L"Please wait for the update to finish"), kNoPercent, Tone::kBad, Busy::kUnchanged);
    return;
  }
  if (Paused(frontend)) {
    common::Log(L"play: refused, the update is paused");
    PostStatus(window, common::Tr(L"The update is paused: Resume it before you play."), kNoPercent, Tone::kBad,
               Busy::kUnchanged);
    return;
  }
  const update::InstallRecord installed = update::InstallRecordOf(frontend.options->game_dir);
  // As the console, which plays only what a run left whole: a run that
  // found a file of the release changed or gone left the folder so.
  if (installed.state == update::InstallRecord::State::kChanged) {
    common::Log(L"play: refused, a file of the installed release changed or is gone");
    PostStatus(window, installed.note, kNoPercent, Tone::kBad, Busy::kUnchanged);
    return;
  }
  if (installed.state == update::InstallRecord::State::kMixed) {
    common::Log(L"play: refused, the game folder holds files of two releases");
    PostStatus(window, installed.note.empty() ? std::wstring(update::CutOffText()) : installed.note, kNoPercent,
               Tone::kBad, Busy::kUnchanged);
    return;
  }
  std::wstring error;
  if (!game::CheckHandoff(host, port, name, error)) {
    common::Log(L"play: refused, the page sent a server or name the hand-off cannot take");
    PostStatus(window, error, kNoPercent, Tone::kBad, Busy::kUnchanged);
    return;
  }
  if (game::IsGameRunning()) {
    PostStatus(window, common::Tr(L"Velmora is already running. Close it first."), kNoPercent, Tone::kBad,
               Busy::kUnchanged);
    return;
  }
  if (!game::WriteHandoff(frontend.options->game_dir, host, port, name)) {
    common::Log(L"play: the hand-off could not be written");
    PostStatus(window, common::Tr(L"Could not write the hand-off file into the game folder."), kNoPercent, Tone::kBad,
               Busy::kUnchanged);
    return;
  }
  if (!host.empty()) {
    SavedServer server{host, port, std::wstring()};
    server.name = ServerName(frontend, server);
    if (!Keep(frontend, [server](PlayerState& state) {
          RecordRecent(state, server);
          return true;
        })) {
      // The game starts all the same.
      common::Log(L"play: the server played on could not be kept among the recent ones");
      PostStatus(window, common::Tr(L"Could not save the recent servers; this one is kept until the launcher closes."),
                 kNoPercent, Tone::kBad, Busy::kUnchanged);
    }
    PostToPage(window, BuildRecentMessage(frontend.player.recent));
  }
  PostStatus(window, common::Tr(L"Starting the game through Steam..."), kNoPercent, Tone::kPlain, Busy::kUnchanged);
  const bool accepted = game::LaunchGame();
  common::Log(L"play: %s port %d; Steam %s the launch", host.empty() ? L"(the saved server)" : host.c_str(), port,
              accepted ? L"accepted" : L"refused");
  if (accepted) {
    PostMessageW(window, WM_GAME_STARTED, 0, 0);
  } else {
    PostStatus(window, common::Tr(L"Steam did not accept the launch request. Start the game from Steam yourself."),
               kNoPercent, Tone::kBad, Busy::kUnchanged);
  }
}

void OnReady(Frontend& frontend, const json::Value&) {
  if (!frontend.player_name.empty()) PostToPage(frontend.window, BuildNameMessage(frontend.player_name));
  const PlayerState& player = Player(frontend);
  if (frontend.player_unreadable) {
    frontend.player_unreadable = false;  // said once
    PostStatus(frontend.window, PlayerStateUnreadableText(), kNoPercent, Tone::kBad, Busy::kUnchanged);
  }
  PostToPage(frontend.window, BuildFavouritesMessage(player.favourites));
  PostToPage(frontend.window, BuildRecentMessage(player.recent));
  const std::wstring log = common::LogPath();
  if (!log.empty()) PostToPage(frontend.window, BuildLogMessage(log));
  PostToPage(frontend.window,
             BuildSpeedMessage(player.max_speed_kib >= 0 ? player.max_speed_kib : frontend.options->max_speed_kib));
  StartUpdate(frontend);
  StartRefresh(frontend);
}

void OnPlay(Frontend& frontend, const json::Value& message) {
  const std::string host = message.Get("host").AsString("");
  const int port = message.Get("port").AsInt(27015);
  const std::string name = message.Get("name").AsString("");
  Play(frontend, common::Utf8ToWide(host), port, common::Utf8ToWide(name));
}

bool Paused(const Frontend& frontend) {
  std::lock_guard<std::mutex> hold(frontend.workers->lock);
  return frontend.workers->paused;
}

// Stops the running update where it is, its staging files kept.
void OnPause(Frontend& frontend, const json::Value&) {
  Workers& workers = *frontend.workers;
  std::lock_guard<std::mutex> hold(workers.lock);
  if (!workers.update_running || workers.paused) return;
  workers.paused = true;
  workers.cancel = true;
}

void OnSpeed(Frontend& frontend, const json::Value& message) {
  const int kib = message.Get("value").AsInt(-1);
  if (kib < 0 || kib > kMaxSpeedKib) return;
  frontend.workers->limit.SetBytesPerSecond(static_cast<uint64_t>(kib) * 1024);  // at once, for a running update
  if (!Keep(frontend, [kib](PlayerState& state) {
        if (state.max_speed_kib == kib) return false;
        state.max_speed_kib = kib;
        return true;
      })) {
    common::Log(L"page: the download limit could not be kept for the next start");
  }
}

// Every message the page may send, and what it asks of the host.
struct PageRequest {
  const char* type;
  void (*handle)(Frontend& frontend, const json::Value& message);
};
const PageRequest kPageRequests[] = {
    {"ready", OnReady},
    {"refresh", [](Frontend& frontend, const json::Value&) { StartRefresh(frontend); }},
    {"close", [](Frontend& frontend, const json::Value&) { PostMessageW(frontend.window, WM_CLOSE, 0, 0); }},
    {"minimise", [](Frontend& frontend, const json::Value&) { ShowWindow(frontend.window, SW_MINIMIZE); }},
    {"name",
     [](Frontend& frontend, const json::Value& message) {
       frontend.player_name = common::Utf8ToWide(message.Get("value").AsString(""));
     }},
    {"play", OnPlay},
    {"favourite", ChangeFavourite},
    {"pause", OnPause},
    {"resume", [](Frontend& frontend, const json::Value&) { StartUpdate(frontend); }},
    {"retry", [](Frontend& frontend, const json::Value&) { StartUpdate(frontend); }},
    {"repair", [](Frontend& frontend, const json::Value&) { StartUpdate(frontend, true); }},
    {"speed", OnSpeed},
};

}  // namespace

void HandleWebMessage(Frontend& frontend, const std::wstring& json_text) {
  if (!frontend.workers) frontend.workers = std::make_shared<Workers>();
  json::Value message;
  if (!json::Parse(common::WideToUtf8(json_text), message)) {
    common::Log(L"page: a message that is not JSON");
    return;
  }
  const std::string type = message.Get("type").AsString("");
  for (const PageRequest& request : kPageRequests) {
    if (type != request.type) continue;
    // The type only: the other members may hold the player's name.
    common::Log(L"page: %s", request.type);
    // A message that fails ends nothing but itself.
    try {
      request.handle(frontend, message);
    } catch (const std::bad_alloc&) {
      LogQuietly(L"page: the launcher ran out of memory handling a message");
    } catch (...) {
      LogQuietly(L"page: a message ended in an unexpected error");
    }
    return;
  }
  common::Log(L"page: a message of no known type");
}

bool UpdateRunning(const Frontend& frontend) {
  if (!frontend.workers) return false;
  std::lock_guard<std::mutex> hold(frontend.workers->lock);
  return frontend.workers->update_running || frontend.workers->launcher_replaced;
}

void StopWorkers(Frontend& frontend) {
  if (!frontend.workers) return;
  Workers& workers = *frontend.workers;
  workers.cancel = true;
  workers.closing_signal = true;
  std::lock_guard<std::mutex> hold(workers.lock);
  workers.closing = true;
}

bool WaitForUpdate(Frontend& frontend, unsigned long wait_ms) {
  if (!frontend.workers) return true;
  Workers& workers = *frontend.workers;
  std::unique_lock<std::mutex> hold(workers.lock);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  const bool update = workers.update_ended.wait_until(hold, until, [&] { return !workers.update_running; });
  // The list fetch too, which a stop ends at once.
  return workers.fetch_ended.wait_until(hold, until, [&] { return workers.fetching == 0; }) && update;
}

}  // namespace ui
