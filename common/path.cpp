#include "common/path.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <vector>

#include "common/env.h"
#include "common/unique_handle.h"

namespace common {

std::wstring ExePath() { return ModulePath(nullptr); }

std::wstring ModulePath(HMODULE module, size_t first_units) {
  // The call cuts a path that does not fit and says so only by filling the
  // whole buffer: grow it until the path and its terminator fit.
  std::vector<wchar_t> buffer(first_units > 0 ? first_units : 1);
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::wstring();
    // Paths are at most 32,767 units long, so the loop ends.
    if (n < buffer.size() || buffer.size() > 32768) return std::wstring(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring ExeDirectory() {
  std::wstring path = ExePath();
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? path : path.substr(0, slash);
}

std::wstring ParentFolder(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

void StripTrailingBackslashes(std::wstring& path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
}

std::wstring AbsolutePath(const std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) break;
    if (n < buffer.size()) {
      std::wstring full(buffer.data(), n);
      // "C:\" keeps its backslash: without it, it names the drive's current folder.
      while (full.size() > 3 && full.back() == L'\\') full.pop_back();
      return full;
    }
    buffer.resize(n + 1);
  }
  return path;
}

std::wstring LongPathForm(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12 || path.rfind(L"\\\\?\\", 0) == 0) return path;
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeFolders(const std::wstring& path) {
  if (IsFolder(path)) return true;
  // From the top down; "C:\" and "\\server\share\" exist or fail below.
  for (size_t i = path.find(L'\\', 3); i != std::wstring::npos; i = path.find(L'\\', i + 1)) {
    CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
  return IsFolder(path);
}

std::wstring LauncherDataFolder() {
  std::wstring named = EnvironmentValue(L"VELMORA_DATA_FOLDER");
  StripTrailingBackslashes(named);
  if (!named.empty()) {
    // One that cannot be made fails at the first write into it, which says so.
    (void)MakeFolders(named);
    return named;
  }
  UniqueCoTaskString local;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, local.put())) || !local) {
    return std::wstring();
  }
  const std::wstring folder = std::wstring(local.get()) + L"\\velmoramp";
  CreateDirectoryW(folder.c_str(), nullptr);  // an existing folder is fine
  return folder;
}

}  // namespace common
