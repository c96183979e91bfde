#include "update/staging.h"

#include <windows.h>

namespace update {

void CreateParentFolders(const std::wstring& target) {
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] == L'\\' && i > 2) CreateDirectoryW(target.substr(0, i).c_str(), nullptr);
  }
}

bool MoveStagedFile(const std::wstring& staging, const std::wstring& target) {
  if (!MoveFileExW(staging.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(staging.c_str());
    return false;
  }
  return true;
}

}  // namespace update
