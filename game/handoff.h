#pragma once
// The hand-off to the game: velmoramp.ini in the game folder, which the mod
// reads once the game has loaded it, and the launch request to Steam.
#include <cstddef>
#include <string>

namespace game {

// The longest server host (a DNS name) and player name the hand-off takes;
// a saved name reads back with at most kMaxNameChars characters.
inline constexpr size_t kMaxHostChars = 253;
inline constexpr size_t kMaxNameChars = 127;

// Whether a server and a player name may go into the hand-off, whatever
// their source (the page, the command line, a release): no control
// characters or line breaks, no blanks in the host, the lengths above, and
// a port of 1 to 65535 with a host. False with a user-facing reason.
[[nodiscard]] bool CheckHandoff(const std::wstring& host, int port, const std::wstring& name, std::wstring& error);

// Sets [net] autoconnect=1, name (when not empty), host and port (when the
// host is not empty) and [game] autocase=MPFreeRoam in
// <game folder>\velmoramp.ini, keeping every other line of the file and its
// encoding, and replacing the file in one step; deletes a stale
// velmoramp.cmd. False, with nothing written, when the host or the name
// holds a control character, or when the file cannot be written.
[[nodiscard]] bool WriteHandoff(const std::wstring& game_folder, const std::wstring& host, int port,
                                const std::wstring& name);

// The name saved by the last hand-off (at most kMaxNameChars characters),
// or empty.
std::wstring ReadSavedName(const std::wstring& game_folder);

// Asks the shell to open steam://rungameid/900100; true when it accepted.
[[nodiscard]] bool LaunchGame();

}  // namespace game
