#include "update/disk/file_table.h"

#include <windows.h>

#include <cwctype>
#include <vector>

#include "common/file.h"
#include "common/log.h"
#include "common/path.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "update/trust/digest.h"
#include "update/trust/manifest.h"
#include "update/trust/manifest_text.h"

namespace update {
namespace {

const char kMagic[] = "velmoramp-file-table 1";
// A table of a release of some thousand files is well below this.
constexpr uint64_t kMaxTableBytes = 64ull * 1024 * 1024;

std::string Number(uint64_t value) { return std::to_string(value); }

// The path of the table of a game folder, in <data folder>\tables.
std::wstring TablePath(const std::wstring& key) {
  const std::wstring data = common::LauncherDataFolder();
  if (data.empty()) return std::wstring();
  const std::wstring tables = data + L"\\tables";
  CreateDirectoryW(tables.c_str(), nullptr);
  return tables + L"\\" + key + L".txt";
}

std::wstring KeyOfText(const std::wstring& text) {
  const std::string utf8 = common::WideToUtf8(text);
  const std::string digest = Sha256Hex(std::vector<unsigned char>(utf8.begin(), utf8.end()));
  return common::Utf8ToWide(digest.substr(0, 16));
}

std::wstring PathKey(const std::wstring& game_folder) {
  std::wstring lower = game_folder;
  common::StripTrailingBackslashes(lower);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  return KeyOfText(lower);
}

// "row SIZE TIME VOLUME INDEX SHA256 PATH"
bool ParseRow(const std::vector<std::string>& t, TableRow& row) {
  uint64_t volume = 0;
  if (t.size() != 7 || !ParseUint64(t[1], row.stamp.size) || !ParseUint64(t[2], row.stamp.write_time) ||
      !ParseUint64(t[3], volume) || volume > 0xFFFFFFFFull || !ParseUint64(t[4], row.stamp.index) ||
      !IsHexDigest(t[5]) || !IsSafeRelativePath(t[6])) {
    return false;
  }
  row.stamp.volume = static_cast<uint32_t>(volume);
  row.sha256 = t[5];
  return true;
}

std::string ToToken(const std::wstring& path) {
  std::string token = common::WideToUtf8(path);
  for (char& c : token) {
    if (c == '\\') c = '/';
  }
  return token;
}

}  // namespace

bool operator==(const FileStamp& a, const FileStamp& b) {
  return a.size == b.size && a.write_time == b.write_time && a.volume == b.volume && a.index == b.index;
}

bool StampOpenFile(HANDLE file, uint32_t volume, FileStamp& stamp) {
  common::FileFacts facts;
  if (!common::DescribeFile(file, facts)) return false;
  stamp.size = facts.size;
  stamp.write_time = facts.write_time;
  stamp.volume = volume;
  stamp.index = facts.index;
  return true;
}

bool ReadStamp(const std::wstring& path, uint32_t volume, FileStamp& stamp) {
  // Attributes only: a file the game holds open is still described.
  common::UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  common::FileFacts facts;
  if (!common::DescribeFile(file.get(), facts)) return false;
  if (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  return StampOpenFile(file.get(), volume, stamp);
}

uint32_t VolumeSerialOf(const std::wstring& path) {
  common::UniqueFile handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  return handle && GetFileInformationByHandle(handle.get(), &info) ? info.dwVolumeSerialNumber : 0;
}

std::wstring FolderKeyOf(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(folder, &info) || (info.nFileIndexHigh == 0 && info.nFileIndexLow == 0)) {
    return std::wstring();
  }
  return KeyOfText(L"folder " + std::to_wstring(info.dwVolumeSerialNumber) + L" " +
                   std::to_wstring((uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow));
}

std::wstring FolderKey(const std::wstring& game_folder) {
  const std::wstring absolute = common::AbsolutePath(game_folder);
  common::UniqueFile handle(CreateFileW(common::LongPathForm(absolute).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  const std::wstring key = handle ? FolderKeyOf(handle.get()) : std::wstring();
  return key.empty() ? PathKey(absolute) : key;
}

FileTable FileTable::Load(const std::wstring& folder_key, const std::wstring& game_folder) {
  FileTable table;
  table.key_ = folder_key;
  table.folder_ = game_folder;
  table.file_ = TablePath(folder_key);
  if (table.file_.empty()) return table;
  const std::vector<unsigned char> bytes = common::ReadWholeFile(table.file_, kMaxTableBytes);
  if (bytes.empty()) return table;  // none yet (or unreadable): every file is hashed

  const std::string text(bytes.begin(), bytes.end());
  const auto distrust = [&](const char* why) {
    common::Log(L"file table %s ignored: %hs", table.file_.c_str(), why);
    table.rows_.clear();
    table.staging_.clear();
    return table;
  };
  // The last line seals everything before it: a cut or changed table is
  // told from a sound one.
  const size_t seal = text.rfind("end ");
  if (seal == std::string::npos || (seal > 0 && text[seal - 1] != '\n')) return distrust("it is cut short");
  const std::string body = text.substr(0, seal);
  if (Trim(text.substr(seal + 4)) != Sha256Hex(std::vector<unsigned char>(body.begin(), body.end()))) {
    return distrust("it is damaged");
  }
  bool header = false, folder = false;
  for (const std::string& line : SplitLines(body)) {
    if (!header) {
      if (line != kMagic) return distrust("it is not a file table");
      header = true;
    } else if (line.rfind("folder ", 0) == 0) {
      // "folder KEY PATH": the path is for whoever reads the file.
      const std::string rest = line.substr(7);
      if (common::Utf8ToWide(rest.substr(0, rest.find(' '))) != folder_key) {
        return distrust("it belongs to another game folder");
      }
      folder = true;
    } else {
      const std::vector<std::string> t = SplitTokens(line);
      TableRow row;
      if (!t.empty() && t[0] == "row" && ParseRow(t, row)) {
        table.rows_[ToGamePath(t[6])] = row;
      } else if (t.size() == 2 && t[0] == "staging" && IsSafeRelativePath(t[1])) {
        table.staging_.insert(ToGamePath(t[1]));
      } else {
        return distrust("a line is malformed");
      }
    }
  }
  if (!folder) return distrust("it names no game folder");
  return table;
}

bool FileTable::Save() const {
  if (file_.empty()) return false;
  std::string body =
      std::string(kMagic) + "\nfolder " + common::WideToUtf8(key_) + " " + common::WideToUtf8(folder_) + "\n";
  for (const auto& entry : rows_) {
    const FileStamp& s = entry.second.stamp;
    body += "row " + Number(s.size) + " " + Number(s.write_time) + " " + Number(s.volume) + " " + Number(s.index) +
            " " + entry.second.sha256 + " " + ToToken(entry.first) + "\n";
  }
  for (const std::wstring& path : staging_) body += "staging " + ToToken(path) + "\n";
  const std::string text = body + "end " + Sha256Hex(std::vector<unsigned char>(body.begin(), body.end())) + "\n";
  if (!common::WriteFileAtomically(file_, text)) {
    common::Log(L"file table %s: could not be written (win32 %lu)", file_.c_str(), GetLastError());
    return false;
  }
  return true;
}

const TableRow* FileTable::Find(const std::wstring& relative_path) const {
  auto it = rows_.find(relative_path);
  return it == rows_.end() ? nullptr : &it->second;
}

void FileTable::Set(const std::wstring& relative_path, const TableRow& row) { rows_[relative_path] = row; }

void FileTable::Erase(const std::wstring& relative_path) { rows_.erase(relative_path); }

}  // namespace update
