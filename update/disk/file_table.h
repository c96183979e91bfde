#pragma once
// What the launcher knows of a game folder's files from earlier runs: per
// relative path the size, last-write time, file identity and SHA-256 it
// had when it was last hashed or written. A file whose size, time and
// identity still match its row is current without being read again.
//
// The table lives in the launcher's data folder, one per game folder. A
// missing, damaged, unreadable or foreign table is ignored (and rebuilt by
// the next save), never trusted.
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace update {

// A file as the file system describes it.
struct FileStamp {
  uint64_t size = 0;
  uint64_t write_time = 0;  // 100 ns units since 1601, UTC
  uint32_t volume = 0;      // volume serial number
  uint64_t index = 0;       // file index on that volume
};
bool operator==(const FileStamp& a, const FileStamp& b);

// The stamp of an open file on the volume with serial number `volume`
// (the game folder's: no file below it is on another, as no link is
// followed); false when it cannot be described.
[[nodiscard]] bool StampOpenFile(void* file, uint32_t volume, FileStamp& stamp);

// The stamp of an existing file below a folder on volume `volume`. False
// for a missing file, a folder, or a link (reparse point): none of those is
// a current game file.
[[nodiscard]] bool ReadStamp(const std::wstring& path, uint32_t volume, FileStamp& stamp);

// The serial number of the volume a file or folder is on; 0 when unknown.
uint32_t VolumeSerialOf(const std::wstring& path);

struct TableRow {
  FileStamp stamp;
  std::string sha256;
};

class FileTable {
 public:
  // The table of the game folder with this key (FolderKey) and path;
  // empty when there is none or it cannot be trusted. The reason is logged.
  static FileTable Load(const std::wstring& folder_key, const std::wstring& game_folder);

  // Writes the table in one step. False (logged) when it cannot be written:
  // the next run then simply hashes more.
  [[nodiscard]] bool Save() const;

  const TableRow* Find(const std::wstring& relative_path) const;
  void Set(const std::wstring& relative_path, const TableRow& row);
  void Erase(const std::wstring& relative_path);
  const std::map<std::wstring, TableRow>& rows() const { return rows_; }

  // Relative paths whose staging files this launcher may have left in the
  // game folder (downloads in flight, kept for a resume): removed again
  // once they no longer belong to the release.
  std::set<std::wstring>& staging() { return staging_; }

  // Where the table is kept ("" when the data folder is unknown).
  const std::wstring& file() const { return file_; }

 private:
  std::wstring key_;
  std::wstring folder_;
  std::wstring file_;
  std::map<std::wstring, TableRow> rows_;
  std::set<std::wstring> staging_;
};

// The name of a game folder for the launcher's own files and locks, the
// same for every spelling of it: 16 hex digits of the SHA-256 of its
// volume's serial number and its file index (of its lower-case full path
// where the file system gives no index). FolderKeyOf takes the folder open.
std::wstring FolderKey(const std::wstring& game_folder);
std::wstring FolderKeyOf(void* folder_handle);

}  // namespace update
