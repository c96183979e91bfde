#pragma once
// Finds the folder the game is installed in through Steam's own records, and
// tells whether the game is running.
#include <windows.h>

#include <string>
#include <vector>

// The game folder (<library>\steamapps\common\Velmora, holding Velmora.exe),
// or empty when the game was not found.
std::wstring FindGameFolder();

// Steam's folder from the registry, with "/" turned into "\" and no trailing
// "\"; empty when Steam is not recorded.
std::wstring ReadSteamPath();

// One REG_SZ value that fits 260 characters, or empty for anything else.
std::wstring ReadRegistryString(HKEY root, const wchar_t* subkey, const wchar_t* value_name,
                                 REGSAM view_flags);

// The Steam folder followed by the libraries listed in its
// steamapps\libraryfolders.vdf; empty when the Steam folder is empty.
std::vector<std::wstring> ReadLibraryFolders(const std::wstring& steam_folder);

// Whether a process whose executable is named Velmora.exe (any letter case)
// exists.
bool IsGameRunning();
