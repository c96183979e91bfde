#include "update/game_folder.h"

#include <cwchar>
#include <vector>

#include "common/path.h"

namespace update {
namespace {

// About 2 s in all, shorter waits first: most scans end within a moment.
const DWORD kBusyWaits[] = {50, 100, 150, 200, 300, 400, 400, 400};

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

bool IsLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

bool IsBusyFileError(DWORD code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED; }

bool GameFolder::Open(const std::wstring& folder, std::wstring& error) {
  folder_ = folder;
  common::UniqueFile handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) {
    // A game folder that does not exist yet is made, with the folders on
    // the way to it, like any other folder.
    // Whether that worked is what the open below tells.
    (void)common::MakeFolders(folder);
    handle.reset(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  if (!handle) {
    error = L"the game folder cannot be opened";
    return false;
  }
  final_ = FinalPath(handle.get());
  while (!final_.empty() && final_.back() == L'\\') final_.pop_back();
  if (final_.empty()) {
    error = L"the game folder cannot be resolved";
    return false;
  }
  return true;
}

bool GameFolder::PrepareParents(const std::wstring& relative, std::wstring& bad_path) const {
  for (size_t i = 0; i < relative.size(); ++i) {
    if (relative[i] != L'\\') continue;
    const std::wstring folder = Full(relative.substr(0, i));
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      CreateDirectoryW(folder.c_str(), nullptr);
      attributes = GetFileAttributesW(folder.c_str());
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;  // the write that follows reports it
    if (IsLink(attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      bad_path = folder;
      return false;
    }
  }
  return true;
}

bool GameFolder::ParentsAreSafe(const std::wstring& relative, std::wstring& bad_path) const {
  for (size_t i = 0; i < relative.size(); ++i) {
    if (relative[i] != L'\\') continue;
    const std::wstring folder = Full(relative.substr(0, i));
    if (IsLink(GetFileAttributesW(folder.c_str()))) {
      bad_path = folder;
      return false;
    }
  }
  return true;
}

bool GameFolder::Holds(HANDLE handle) const {
  const std::wstring path = FinalPath(handle);
  return path.size() > final_.size() + 1 && path[final_.size()] == L'\\' &&
         _wcsnicmp(path.c_str(), final_.c_str(), final_.size()) == 0;
}

common::UniqueFile GameFolder::OpenForWriting(const std::wstring& relative_file, OpenMode mode, bool& unsafe) const {
  unsafe = false;
  const std::wstring path = Full(relative_file);
  const DWORD disposition = mode == OpenMode::kCreate ? CREATE_ALWAYS : OPEN_ALWAYS;
  common::UniqueFile file;
  for (size_t attempt = 0;; ++attempt) {
    // The link itself is opened, never what it points to; DELETE so that a
    // file that landed outside can be taken back.
    file.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file || !IsBusyFileError(GetLastError()) || attempt == sizeof kBusyWaits / sizeof kBusyWaits[0]) break;
    Sleep(kBusyWaits[attempt]);
  }
  if (!file) return file;
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool is_link = GetFileInformationByHandle(file.get(), &info) && IsLink(info.dwFileAttributes);
  if (is_link || !Holds(file.get())) {
    if (!is_link) {
      // Created somewhere a folder on the way led to: undo it.
      FILE_DISPOSITION_INFO dispose = {TRUE};
      SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose);
    }
    file.reset();
    unsafe = true;
    SetLastError(ERROR_ACCESS_DENIED);
    return file;
  }
  if (mode == OpenMode::kAppend) {
    LARGE_INTEGER zero = {};
    SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
  }
  return file;
}

bool GameFolder::MoveOver(const std::wstring& staging_relative, const std::wstring& target_relative,
                          bool& unsafe) const {
  unsafe = false;
  std::wstring bad;
  if (!ParentsAreSafe(target_relative, bad) || IsLink(GetFileAttributesW(Full(target_relative).c_str()))) {
    unsafe = true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const std::wstring from = Full(staging_relative), to = Full(target_relative);
  for (size_t attempt = 0;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD code = GetLastError();
    if (!IsBusyFileError(code) || attempt == sizeof kBusyWaits / sizeof kBusyWaits[0]) {
      SetLastError(code);
      return false;
    }
    Sleep(kBusyWaits[attempt]);
  }
}

void GameFolder::Delete(const std::wstring& relative_file) const {
  std::wstring bad;
  if (!ParentsAreSafe(relative_file, bad)) return;
  DeleteFileW(Full(relative_file).c_str());
}

}  // namespace update
