#pragma once
// Writing below the game folder without being led out of it. The game
// folder itself may be reached through a junction (players move libraries
// that way); below it, a junction or symbolic link that another user of the
// PC planted must not redirect a create, move or delete: such a path fails
// with the path named. Steam library folders are often writable by every
// local user, and the launcher may run elevated. The folders a run writes
// into are held open while it runs, so that none can be swapped for a link
// between its check and its use.
#include <windows.h>

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "common/unique_handle.h"

namespace update {

class GameFolder {
 public:
  // Resolves where the folder really is, making it (with its parents) when
  // it does not exist. False with a lower-case reason (and the platform's
  // error as the last error) when it cannot be opened. kLook makes
  // nothing (a dry run): a folder that is not there is one that holds no
  // file, and exists() says so.
  enum class Purpose { kWrite, kLook };
  [[nodiscard]] bool Open(const std::wstring& folder, std::wstring& error, Purpose purpose = Purpose::kWrite);
  bool exists() const { return exists_; }

  // The folder as the options name it, made absolute.
  const std::wstring& path() const { return folder_; }
  // The same for every spelling of the folder (another letter case, "/" or
  // "\", an 8.3 name, a junction): what its lock and its table are kept by.
  const std::wstring& key() const { return key_; }

  // Makes the folders on the way to the file at relative (a "\"-separated
  // path below the game folder) and holds them open for the rest of the
  // run; every one must be a real folder inside the game folder. False with
  // the offending full path in bad_path. Any thread.
  [[nodiscard]] bool HoldParents(const std::wstring& relative, std::wstring& bad_path) const;

  // Whether an open file or folder lies inside the game folder, wherever
  // its path led.
  bool Holds(HANDLE handle) const;

  // Opens a file below the game folder for writing without following a
  // link at its name, and checks that it landed inside and that no other
  // name links to it. kCreateNew removes whatever has the name first (a
  // link itself, never what it points to) and makes a new file; kContinue
  // opens a file this launcher made earlier at its end, or makes it.
  // Failures other than sharing and access (an antivirus scan holds a new
  // file for a moment: those are tried again for about 2 s) give an invalid
  // handle with the last error set; unsafe is set when the file would lie
  // outside or is linked.
  enum class OpenMode { kCreateNew, kContinue };
  common::UniqueFile OpenForWriting(const std::wstring& relative_file, OpenMode mode, bool& unsafe) const;

  // A small file below the game folder (a note of this launcher's) read
  // through no link; empty when it is missing, larger than max_bytes, or
  // not plainly a file of the game folder.
  std::string ReadSmallFile(const std::wstring& relative_file, size_t max_bytes) const;

  // What stands in the way of replacing a file below the game folder.
  enum class Obstacle {
    kNone,
    kHeld,        // another program holds it (after about 2 s of tries)
    kLink,        // a link, or a folder on the way is one
    kHardLinked,  // another name shares its content
    kTooLong,     // its path is too long for the file system even in long form
    kFolder,      // a folder stands where the file goes
  };
  // Opens relative the way replacing it will, if it exists, and closes it
  // again; a missing file only needs its folders. where: the full path of
  // what is in the way (relative itself, or a folder on its way).
  Obstacle CheckReplaceable(const std::wstring& relative, std::wstring& where) const;
  // The same without opening anything for more than a look: links, names
  // and lengths only. seen: folders already found sound in this pass, so
  // that a thousand files in one folder look at it once.
  Obstacle CheckLinks(const std::wstring& relative, std::wstring& where, std::set<std::wstring>& seen) const;

  // Moves a staging file over its target below the game folder, replacing
  // it, written through; tried again for about 2 s while the target is held
  // by another process or an antivirus scan, its links checked before each
  // try. A target that is a link is refused (unsafe). False with the last
  // error set.
  [[nodiscard]] bool MoveOver(const std::wstring& staging_relative, const std::wstring& target_relative,
                              bool& unsafe) const;

  // Deletes a file below the game folder (a link itself, never what it
  // points to); a missing file is fine. False when it is still there.
  bool Delete(const std::wstring& relative_file) const;

  // The full path of relative, in the "\\?\" form once it is long.
  std::wstring Full(const std::wstring& relative) const;
  // The serial number of the folder's volume, which every file below it
  // is on (no link is followed); 0 when it could not be told.
  uint32_t volume() const { return static_cast<uint32_t>(volume_); }
  // The full path of relative as a person reads it.
  std::wstring Shown(const std::wstring& relative) const { return folder_ + L"\\" + relative; }

 private:
  bool ParentsAreSafe(const std::wstring& relative, std::wstring& bad_path,
                      std::set<std::wstring>* seen = nullptr) const;

  std::wstring folder_;  // absolute, no trailing "\"
  std::wstring final_;   // where it really is, "\\?\C:\..." form, no trailing "\"; may be empty
  std::wstring within_;  // the same from its volume's root ("\Games\Velmora"), for where the first fails
  unsigned long volume_ = 0;
  std::wstring key_;
  bool exists_ = false;
  mutable std::mutex lock_;
  mutable std::map<std::wstring, common::UniqueFile> held_;  // relative folder -> its open handle
};

// Whether a platform error is a file being held for a moment (sharing
// violation, access denied) rather than a lasting failure.
bool IsBusyFileError(DWORD code);

// Whether a platform error says the disk is full.
bool IsDiskFullError(DWORD code);

}  // namespace update
