// Stands in for a newer launcher: writes the command line it was started
// with into "started.txt" beside itself, then ends.
#include <windows.h>

#include <string>

#include "common/path.h"
#include "common/text.h"
#include "common/unique_handle.h"

int wmain() {
  const std::wstring path = common::ExeDirectory() + L"\\started.txt";
  const std::string line = common::WideToUtf8(GetCommandLineW());
  // Written under another name and renamed, so a reader never sees half.
  const std::wstring temp = path + L".tmp";
  {
    common::UniqueFile file(
        CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 1;
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) return 1;
  }
  return MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
