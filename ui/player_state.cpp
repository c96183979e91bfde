#include "ui/player_state.h"

#include <windows.h>

#include <vector>

#include "common/file.h"
#include "common/log.h"
#include "common/path.h"
#include "common/text.h"
#include "common/texts.h"
#include "common/unique_handle.h"
#include "game/handoff.h"
#include "json/parse.h"
#include "servers/clean_text.h"
#include "ui/page_messages.h"

namespace ui {
namespace {

// What marks the file as ours, and the layout it has.
const char kFormat[] = "velmoramp-player";
constexpr int kVersion = 1;
// Far above what 200 favourites and 10 recent servers take.
constexpr uint64_t kMaxFileBytes = 1024 * 1024;

std::string ListText(const std::vector<SavedServer>& list) {
  return common::WideToUtf8(SavedServersJson(list, L"\n  "));
}

// The file's text: one JSON object, UTF-8.
std::string PlayerStateText(const PlayerState& state) {
  return std::string("{\"format\":\"") + kFormat + "\",\"version\":" + std::to_string(kVersion) +
         ",\n\"favourites\":" + ListText(state.favourites) + ",\n\"recent\":" + ListText(state.recent) +
         (state.max_speed_kib >= 0 ? ",\n\"maxSpeedKib\":" + std::to_string(state.max_speed_kib) : std::string()) +
         "}\n";
}

// The entries of one list of the file that pass the rules, in order,
// without repeats, at most max.
std::vector<SavedServer> ReadList(const json::Value& list, size_t max) {
  std::vector<SavedServer> out;
  for (const json::Value& entry : list.AsArray()) {
    if (out.size() >= max) break;
    const json::Value& port = entry.Get("port");
    if (entry.Get("host").kind != json::Type::kString || port.kind != json::Type::kNumber) continue;
    SavedServer server;
    std::wstring error;
    if (!MakeSavedServer(common::Utf8ToWide(entry.Get("host").AsString("")), port.AsInt(0),
                         common::Utf8ToWide(entry.Get("name").AsString("")), server, error)) {
      continue;
    }
    bool repeat = false;
    for (const SavedServer& s : out) repeat |= SameServer(s, server);
    if (!repeat) out.push_back(server);
  }
  return out;
}

}  // namespace

const wchar_t* PlayerStateUnreadableText() {
  return common::Tr(L"Your favourite and recent servers could not be read; the old file is kept as player.json.bad.");
}

bool SameServer(const SavedServer& a, const SavedServer& b) {
  return a.port == b.port && CompareStringOrdinal(a.host.c_str(), static_cast<int>(a.host.size()), b.host.c_str(),
                                                  static_cast<int>(b.host.size()), TRUE) == CSTR_EQUAL;
}

bool MakeSavedServer(const std::wstring& host, int port, const std::wstring& name, SavedServer& out,
                     std::wstring& error) {
  if (host.empty()) {
    error = common::Tr(L"That server address cannot be used.");
    return false;
  }
  if (!game::CheckHandoff(host, port, std::wstring(), error)) return false;
  out.host = host;
  out.port = port;
  out.name = servers::CleanText(common::WideToUtf8(name), kMaxServerNameUnits);
  return true;
}

Change SetFavourite(PlayerState& state, const SavedServer& server, Favourite what) {
  std::vector<SavedServer>& list = state.favourites;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!SameServer(list[i], server)) continue;
    if (what == Favourite::kRemove) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
      return Change::kChanged;
    }
    if (server.name.empty() || server.name == list[i].name) return Change::kNone;
    list[i].name = server.name;
    return Change::kChanged;
  }
  if (what == Favourite::kRemove) return Change::kNone;
  if (list.size() >= kMaxFavourites) return Change::kFull;
  list.insert(list.begin(), server);
  return Change::kChanged;
}

void RecordRecent(PlayerState& state, const SavedServer& server) {
  std::vector<SavedServer>& list = state.recent;
  for (size_t i = 0; i < list.size(); ++i) {
    if (SameServer(list[i], server)) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  list.insert(list.begin(), server);
  if (list.size() > kMaxRecent) list.resize(kMaxRecent);
}

std::wstring PlayerStatePath() {
  const std::wstring folder = common::LauncherDataFolder();
  return folder.empty() ? std::wstring() : folder + L"\\player.json";
}

PlayerState LoadPlayerState(const std::wstring& path, Found* found) {
  Found ignored = Found::kMissing;
  Found& how = found != nullptr ? *found : ignored;
  how = Found::kMissing;
  PlayerState state;
  if (path.empty() || !common::IsFile(path)) return state;
  how = Found::kUnreadable;
  const std::vector<unsigned char> bytes = common::ReadWholeFile(path, kMaxFileBytes);
  json::Value document;
  if (bytes.empty() || !json::Parse(std::string(bytes.begin(), bytes.end()), document) ||
      document.kind != json::Type::kObject) {
    common::Log(L"player state: %s is damaged; favourites and recent servers start empty", path);
    return state;
  }
  if (document.Get("format").AsString("") != kFormat || document.Get("version").kind != json::Type::kNumber ||
      document.Get("version").AsInt(0) != kVersion) {
    common::Log(L"player state: %s is not ours (or of another version); favourites and recent servers start empty",
                path);
    return state;
  }
  how = Found::kRead;
  state.favourites = ReadList(document.Get("favourites"), kMaxFavourites);
  state.recent = ReadList(document.Get("recent"), kMaxRecent);
  const json::Value& speed = document.Get("maxSpeedKib");
  if (speed.kind == json::Type::kNumber) {
    const int kib = speed.AsInt(-1);
    if (kib >= 0 && kib <= kMaxSpeedKib) state.max_speed_kib = kib;
  }
  return state;
}

bool ChangePlayerState(const std::wstring& path, const PlayerChange& change, PlayerState& state) {
  // One change at a time for every launcher of this user: each reads what
  // the last one wrote.
  const common::UserLock lock(L"Local\\velmoramp-player-state");
  Found found = Found::kMissing;
  PlayerState now = LoadPlayerState(path, &found);
  if (!change(now)) {
    state = now;
    return true;
  }
  state = now;
  if (found == Found::kUnreadable) {
    // Nothing of it is lost: a later launcher, or a person, may read it.
    if (MoveFileExW(path.c_str(), (path + L".bad").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      common::Log(L"player state: the unreadable %s is kept as player.json.bad", path);
    } else {
      common::Log(L"player state: %s cannot be kept aside (win32 %lu); it is not replaced", path, GetLastError());
      return false;
    }
  }
  return SavePlayerState(path, now);
}

bool SavePlayerState(const std::wstring& path, const PlayerState& state) {
  if (path.empty()) {
    common::Log(L"player state: no data folder; favourites and recent servers are not kept");
    return false;
  }
  const std::string text = PlayerStateText(state);
  if (common::WriteFileAtomically(path, text)) return true;
  common::Log(L"player state: could not write %s (win32 %lu)", path, GetLastError());
  return false;
}

}  // namespace ui
