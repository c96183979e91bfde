#pragma once
// Writing below the game folder without being led out of it. The game
// folder itself may be reached through a junction (players move libraries
// that way); below it, a junction or symbolic link that another user of the
// PC planted must not redirect a create, move or delete: such a path fails
// with the path named. Steam library folders are often writable by every
// local user, and the launcher may run elevated.
#include <windows.h>

#include <string>

#include "common/unique_handle.h"

namespace update {

class GameFolder {
 public:
  // Resolves where the folder really is. False when it cannot be opened.
  [[nodiscard]] bool Open(const std::wstring& folder, std::wstring& error);

  const std::wstring& path() const { return folder_; }

  // Makes the folders on the way to the file at relative (a "\"-separated
  // path below the game folder); every one that exists must be a real
  // folder. False with the offending full path in bad_path.
  [[nodiscard]] bool PrepareParents(const std::wstring& relative, std::wstring& bad_path) const;

  // The same check without creating anything: false when a folder on the
  // way is a link (a missing one is fine).
  [[nodiscard]] bool ParentsAreSafe(const std::wstring& relative, std::wstring& bad_path) const;

  // Whether an open file or folder lies inside the game folder, wherever
  // its path led.
  bool Holds(HANDLE handle) const;

  // Opens (creating or truncating, or appending at its end) a file below
  // the game folder for writing without following a link at its name, and
  // checks that it landed inside. Failures other than sharing and access
  // (an antivirus scan holds a new file for a moment: those are tried
  // again for about 2 s) give an invalid handle with the last error set;
  // unsafe is set when the file would lie outside.
  enum class OpenMode { kCreate, kAppend };
  common::UniqueFile OpenForWriting(const std::wstring& relative_file, OpenMode mode, bool& unsafe) const;

  // Moves a staging file over its target below the game folder, replacing
  // it, written through; tried again for about 2 s while the target is held
  // by another process or an antivirus scan. A target that is a link is
  // refused (unsafe). False with the last error set.
  [[nodiscard]] bool MoveOver(const std::wstring& staging_relative, const std::wstring& target_relative,
                              bool& unsafe) const;

  // Deletes a file below the game folder (a link itself, never what it
  // points to); a missing file is fine.
  void Delete(const std::wstring& relative_file) const;

  std::wstring Full(const std::wstring& relative) const { return folder_ + L"\\" + relative; }

 private:
  std::wstring folder_;  // as the options name it
  std::wstring final_;   // where it really is, "\\?\C:\..." form, no trailing "\"
};

// Whether a platform error is a file being held for a moment (sharing
// violation, access denied) rather than a lasting failure.
bool IsBusyFileError(DWORD code);

}  // namespace update
