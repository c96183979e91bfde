#pragma once
// The hand-off to the game: velmoramp.ini in the game folder, which the mod
// reads once the game has loaded it, and the launch request to Steam.
#include <string>

namespace game {

// Sets [net] autoconnect=1, name (when not empty), host and port (when the
// host is not empty) and [game] autocase=MPFreeRoam in
// <game folder>\velmoramp.ini, keeping every other line of the file, and
// deletes a stale velmoramp.cmd. Failures are not reported.
void WriteHandoff(const std::wstring& game_folder, const std::wstring& host, int port, const std::wstring& name);

// The name saved by the last hand-off (at most 127 characters), or empty.
std::wstring ReadSavedName(const std::wstring& game_folder);

// Asks the shell to open steam://rungameid/900100; true when it accepted.
bool LaunchGame();

}  // namespace game
