#pragma once
// Paths of the running program and small path and file-system look-ups.
// Paths are UTF-16 with "\" separators.
#include <windows.h>

#include <string>

namespace common {

// Full path of the running executable, however long.
std::wstring ExePath();

// Full path of a loaded module (null: the executable), however long; the
// buffer starts at first_units and grows until the path fits.
std::wstring ModulePath(HMODULE module, size_t first_units = MAX_PATH);

// ExePath() up to its last backslash (the whole path if it has none).
std::wstring ExeDirectory();

// The text up to its last backslash; empty when it has none.
std::wstring ParentFolder(const std::wstring& path);

// Removes every trailing backslash.
void StripTrailingBackslashes(std::wstring& path);

// The absolute form of path (GetFullPathNameW: "/" becomes "\", "." and
// ".." segments resolved) without trailing backslashes; path itself when
// that fails.
std::wstring AbsolutePath(const std::wstring& path);

// An absolute path as the file functions take it however long it is: the
// "\\?\" form ("\\?\UNC\server\share\..." for a network path) once it
// is MAX_PATH - 12 units or longer (the folder functions' own limit), as it
// is below that.
std::wstring LongPathForm(const std::wstring& path);

// Whether path names an existing file (not a folder).
bool IsFile(const std::wstring& path);

// Whether path names an existing folder.
bool IsFolder(const std::wstring& path);

// Makes a folder and every missing folder on the way to it. True when it
// is a folder afterwards.
[[nodiscard]] bool MakeFolders(const std::wstring& path);

// The folder the launcher keeps its state and log in, created when missing:
// the one VELMORA_DATA_FOLDER names (a portable install, or a test that
// keeps its state apart), else <local application data>\velmoramp. Empty
// when neither is known.
std::wstring LauncherDataFolder();

}  // namespace common
