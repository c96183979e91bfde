#pragma once
// Finds the folder the game is installed in through Steam's own records, and
// tells whether the game is running.
#include <windows.h>

#include <string>
#include <vector>

namespace game {

// The game folder (<library>\steamapps\common\Velmora, holding Velmora.exe),
// or empty when the game was not found.
std::wstring FindGameFolder();

// Steam's folder from the registry, with "/" turned into "\" and no trailing
// "\"; empty when Steam is not recorded.
std::wstring ReadSteamPath();

// The Steam folder followed by the libraries listed in its
// steamapps\libraryfolders.vdf; empty when the Steam folder is empty.
std::vector<std::wstring> ReadLibraryFolders(const std::wstring& steam_folder);

// Whether a process whose executable is named Velmora.exe (any letter case)
// exists.
bool IsGameRunning();

}  // namespace game
