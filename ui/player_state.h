#pragma once
// What the window front-end keeps for the player between runs, since the
// page (loaded from a string) has no storage of its own: favourite servers
// and the servers last played on, in <launcher data folder>\player.json.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace ui {

inline constexpr size_t kMaxFavourites = 200;
inline constexpr size_t kMaxRecent = 10;
// A server's name is bounded as a listed server's is.
inline constexpr size_t kMaxServerNameUnits = 48;

struct SavedServer {
  std::wstring host;  // as game::CheckHandoff allows, never empty
  int port = 0;       // 1 to 65535
  std::wstring name;  // the server's name: at most kMaxServerNameUnits units, no control characters; may be empty
};

struct PlayerState {
  std::vector<SavedServer> favourites;  // most recently added first, at most kMaxFavourites
  std::vector<SavedServer> recent;      // most recently played first, at most kMaxRecent
  // The download cap the player set on the page, KiB/s (0: none); -1 when
  // the page never set one, and launcher.ini's holds.
  int max_speed_kib = -1;
};

inline constexpr int kMaxSpeedKib = 9999999;

// The same server: the host without regard to case (it is a DNS name or
// an address), and the port.
bool SameServer(const SavedServer& a, const SavedServer& b);

// A server as the page or the file names it, checked and cleaned: false,
// with a user-facing reason, for an empty host or a host and port that the
// hand-off would refuse; the name has its control characters made blanks
// and is cut to kMaxServerNameUnits.
[[nodiscard]] bool MakeSavedServer(const std::wstring& host, int port, const std::wstring& name, SavedServer& out,
                                   std::wstring& error);

enum class Favourite { kAdd, kRemove };
enum class Change { kNone, kChanged, kFull };

// Adds server at the top (a known one keeps its place and takes the new
// name, when one is given) or removes it. kFull: not added, the list holds
// kMaxFavourites already.
Change SetFavourite(PlayerState& state, const SavedServer& server, Favourite what);

// Puts server first among the recent ones (moving it there when it is
// already listed), keeping at most kMaxRecent.
void RecordRecent(PlayerState& state, const SavedServer& server);

// <LauncherDataFolder()>\player.json; empty when there is no data folder.
std::wstring PlayerStatePath();

// How the file was found: missing, read, or there but unreadable (damaged,
// another program's, a later launcher's).
enum class Found { kMissing, kRead, kUnreadable };

// The state the file at path holds. A missing file gives an empty state;
// so does an unreadable one, which is logged. Entries that break the rules
// above, repeats and entries past the bounds are dropped.
PlayerState LoadPlayerState(const std::wstring& path, Found* found = nullptr);

// Replaces the file in one step; false (logged) when it cannot be written.
[[nodiscard]] bool SavePlayerState(const std::wstring& path, const PlayerState& state);

// One change (a favourite, a server played on) made to the state as the
// file holds it now, so that what another window saved meanwhile is kept;
// one such change at a time, across launchers. An unreadable file is kept
// as "<path>.bad" (the last one) before it is replaced. change says
// whether anything changed (nothing is written then). state: the state
// after the change, also when it could not be written (false, logged).
using PlayerChange = std::function<bool(PlayerState& state)>;
[[nodiscard]] bool ChangePlayerState(const std::wstring& path, const PlayerChange& change, PlayerState& state);

// The text the page shows once when the file could not be read, in the
// player's language.
const wchar_t* PlayerStateUnreadableText();

}  // namespace ui
