#include "update/disk/game_folder.h"

#include <cwchar>
#include <vector>

#include "common/file.h"
#include "common/format.h"
#include "common/log.h"
#include "common/path.h"
#include "common/texts.h"
#include "common/timing.h"
#include "update/disk/file_table.h"

namespace update {
namespace {

// About 2 s in all, shorter waits first: most scans end within a moment.
using common::kBusyTries;
// What the file system takes: a name of 255 units, a path of 32,767.
constexpr size_t kMaxNameUnits = 255;
constexpr size_t kMaxPathUnits = 32767;

std::wstring FinalPath(HANDLE handle) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::wstring();
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(n + 1);
  }
  return std::wstring();
}

// Where an open file is from its volume's root ("\Games\Velmora\x.pak"),
// and the volume's serial number; false when it cannot be told. Works
// where the full path above does not (some systems give no final path
// past 260 characters).
bool PathWithinVolume(HANDLE handle, std::wstring& within, unsigned long& volume) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 65536);
  if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))) {
    return false;
  }
  const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
  within.assign(name->FileName, name->FileNameLength / sizeof(wchar_t));
  while (!within.empty() && within.back() == L'\\') within.pop_back();
  volume = info.dwVolumeSerialNumber;
  return true;
}

// Whether path lies below folder (both in one form), letter case aside.
bool IsBelow(const std::wstring& path, const std::wstring& folder) {
  return path.size() > folder.size() + 1 && path[folder.size()] == L'\\' &&
         _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) == 0;
}

bool IsLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

common::UniqueFile OpenFolder(const std::wstring& path) {
  return common::UniqueFile(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Opens a name itself, never what a link there points to.
common::UniqueFile OpenName(const std::wstring& path, DWORD access) {
  return common::UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool TooLong(const std::wstring& full) {
  if (full.size() > kMaxPathUnits) return true;
  size_t start = 0;
  for (size_t i = 0; i <= full.size(); ++i) {
    if (i == full.size() || full[i] == L'\\') {
      if (i - start > kMaxNameUnits) return true;
      start = i + 1;
    }
  }
  return false;
}

}  // namespace

bool IsBusyFileError(DWORD code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED; }

bool IsDiskFullError(DWORD code) { return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL; }

bool GameFolder::Open(const std::wstring& folder, std::wstring& error, Purpose purpose) {
  folder_ = common::AbsolutePath(folder);
  common::UniqueFile handle = OpenFolder(common::LongPathForm(folder_));
  if (!handle && purpose == Purpose::kLook) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      error = common::FormatWin32Error(common::Tr(L"the game folder cannot be opened"));
      return false;
    }
    key_ = FolderKey(folder_);
    return true;
  }
  if (!handle) {
    // A game folder that does not exist yet is made, with the folders on
    // the way to it, like any other folder. Whether that worked is what
    // the open below tells.
    (void)common::MakeFolders(common::LongPathForm(folder_));
    handle = OpenFolder(common::LongPathForm(folder_));
  }
  if (!handle) {
    const DWORD code = GetLastError();
    error = common::FormatWin32Error(common::Tr(L"the game folder cannot be opened"));
    SetLastError(code);
    return false;
  }
  final_ = FinalPath(handle.get());
  while (!final_.empty() && final_.back() == L'\\') final_.pop_back();
  if (!PathWithinVolume(handle.get(), within_, volume_) && final_.empty()) {
    error = common::Tr(L"the game folder cannot be resolved");
    return false;
  }
  key_ = FolderKeyOf(handle.get());
  if (key_.empty()) key_ = FolderKey(folder_);
  exists_ = true;
  return true;
}

std::wstring GameFolder::Full(const std::wstring& relative) const {
  return common::LongPathForm(folder_ + L"\\" + relative);
}

bool GameFolder::HoldParents(const std::wstring& relative, std::wstring& bad_path) const {
  for (size_t i = 0; i < relative.size(); ++i) {
    if (relative[i] != L'\\') continue;
    const std::wstring folder = relative.substr(0, i);
    std::lock_guard<std::mutex> hold(lock_);
    if (held_.count(folder) > 0) continue;
    const std::wstring full = Full(folder);
    if (GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(full.c_str(), nullptr);
    // Held without delete sharing: nobody renames it, or puts a link in
    // its place, while the run writes below it.
    common::UniqueFile handle(CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) continue;  // the write that follows reports it
    common::FileFacts info;
    if (!common::DescribeFile(handle.get(), info) || IsLink(info.attributes) ||
        !(info.attributes & FILE_ATTRIBUTE_DIRECTORY) || !Holds(handle.get())) {
      bad_path = folder_ + L"\\" + folder;
      return false;
    }
    held_.emplace(folder, std::move(handle));
  }
  return true;
}

bool GameFolder::ParentsAreSafe(const std::wstring& relative, std::wstring& bad_path,
                                std::set<std::wstring>* seen) const {
  for (size_t i = 0; i < relative.size(); ++i) {
    if (relative[i] != L'\\') continue;
    const std::wstring folder = relative.substr(0, i);
    if (seen != nullptr && !seen->insert(folder).second) continue;
    {
      // A folder held open since its check cannot have become a link.
      std::lock_guard<std::mutex> hold(lock_);
      if (held_.count(folder) > 0) continue;
    }
    if (IsLink(GetFileAttributesW(Full(folder).c_str()))) {
      bad_path = folder_ + L"\\" + folder;
      return false;
    }
  }
  return true;
}

bool GameFolder::Holds(HANDLE handle) const {
  const std::wstring path = final_.empty() ? std::wstring() : FinalPath(handle);
  if (!path.empty()) return IsBelow(path, final_);
  std::wstring within;
  unsigned long volume = 0;
  return !within_.empty() && PathWithinVolume(handle, within, volume) && volume == volume_ && IsBelow(within, within_);
}

common::UniqueFile GameFolder::OpenForWriting(const std::wstring& relative_file, OpenMode mode, bool& unsafe) const {
  unsafe = false;
  const std::wstring path = Full(relative_file);
  const DWORD disposition = mode == OpenMode::kCreateNew ? CREATE_NEW : OPEN_ALWAYS;
  bool cleared = mode != OpenMode::kCreateNew;
  common::UniqueFile file;
  for (size_t attempt = 0;; ++attempt) {
    // The link itself is opened, never what it points to; DELETE so that a
    // file that landed outside can be taken back.
    file.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file) break;
    const DWORD code = GetLastError();
    if (!cleared && (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)) {
      // A name that is not ours to continue is cleared, then made anew: a
      // link or a file another user put there is never written into or cut
      // short. (Only then: clearing a name that is not there costs some
      // systems a search of the whole folder.)
      DeleteFileW(path.c_str());
      cleared = true;
      continue;
    }
    if (!IsBusyFileError(code) || attempt == kBusyTries) break;
    Sleep(common::BusyWaitMs(attempt));
  }
  if (!file) return file;
  common::FileFacts info;
  const bool described = common::DescribeFile(file.get(), info);
  const bool linked = described && (IsLink(info.attributes) || info.links > 1);
  if (!described || linked || !Holds(file.get())) {
    if (described && !linked) {
      // Created somewhere a folder on the way led to: undo it.
      FILE_DISPOSITION_INFO dispose = {TRUE};
      SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose);
    }
    file.reset();
    unsafe = true;
    SetLastError(ERROR_ACCESS_DENIED);
    return file;
  }
  LARGE_INTEGER zero = {};
  SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
  return file;
}

std::string GameFolder::ReadSmallFile(const std::wstring& relative_file, size_t max_bytes) const {
  common::UniqueFile file(CreateFileW(Full(relative_file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  common::FileFacts info;
  if (!file || !common::DescribeFile(file.get(), info) || IsLink(info.attributes) || info.links > 1 ||
      info.size > max_bytes || !Holds(file.get())) {
    return std::string();
  }
  std::string text(static_cast<size_t>(info.size), '\0');
  DWORD read = 0;
  if (!text.empty() &&
      (!ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) || read != text.size())) {
    return std::string();
  }
  return text;
}

GameFolder::Obstacle GameFolder::CheckLinks(const std::wstring& relative, std::wstring& where,
                                            std::set<std::wstring>& seen) const {
  const std::wstring full = Full(relative);
  where = Shown(relative);
  if (TooLong(full)) return Obstacle::kTooLong;
  if (!ParentsAreSafe(relative, where, &seen)) return Obstacle::kLink;
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Obstacle::kNone;
  if (IsLink(attributes)) return Obstacle::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Obstacle::kFolder;
  common::UniqueFile name = OpenName(full, FILE_READ_ATTRIBUTES);
  common::FileFacts info;
  if (name && common::DescribeFile(name.get(), info) && info.links > 1) return Obstacle::kHardLinked;
  return Obstacle::kNone;
}

GameFolder::Obstacle GameFolder::CheckReplaceable(const std::wstring& relative, std::wstring& where) const {
  const std::wstring full = Full(relative);
  where = Shown(relative);
  if (!ParentsAreSafe(relative, where)) return Obstacle::kLink;
  // Replacing a file deletes it: a program that holds it without letting
  // others delete it (the game its modules, a scanner its file) is in the
  // way, which only this open tells.
  for (size_t attempt = 0;; ++attempt) {
    const common::UniqueFile name = OpenName(full, DELETE | FILE_READ_ATTRIBUTES);
    common::FileFacts info;
    if (name && common::DescribeFile(name.get(), info)) {
      if (IsLink(info.attributes)) return Obstacle::kLink;
      if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) return Obstacle::kFolder;
      return info.links > 1 ? Obstacle::kHardLinked : Obstacle::kNone;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Obstacle::kNone;
    if (!IsBusyFileError(code) || attempt == kBusyTries) return Obstacle::kHeld;
    if (attempt == 0) common::Log(L"%s is held by another program (win32 %lu); trying again", full, code);
    Sleep(common::BusyWaitMs(attempt));
  }
}

bool GameFolder::MoveOver(const std::wstring& staging_relative, const std::wstring& target_relative,
                          bool& unsafe) const {
  unsafe = false;
  const std::wstring from = Full(staging_relative), to = Full(target_relative);
  for (size_t attempt = 0;; ++attempt) {
    // Looked at before every try: a link may have been put there meanwhile
    // (the folders on the way are held).
    std::wstring where;
    if (!ParentsAreSafe(target_relative, where) || IsLink(GetFileAttributesW(to.c_str()))) {
      unsafe = true;
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD code = GetLastError();
    if (!IsBusyFileError(code) || attempt == kBusyTries) {
      SetLastError(code);
      return false;
    }
    if (attempt == 0)
      common::Log(L"moving %s: held by another program (win32 %lu); trying again", target_relative, code);
    Sleep(common::BusyWaitMs(attempt));
  }
}

bool GameFolder::Delete(const std::wstring& relative_file) const {
  std::wstring bad;
  if (!ParentsAreSafe(relative_file, bad)) return false;
  return DeleteFileW(Full(relative_file).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND;
}

}  // namespace update
