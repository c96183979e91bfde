#include "update/self_replace.h"

#include <windows.h>

#include "common/file.h"
#include "common/path.h"
#include "common/unique_handle.h"

namespace update {

bool ReplaceSelfAndRestart(const std::vector<unsigned char>& bytes) {
  const std::wstring exe = common::ExePath();
  const std::wstring old = exe + L".old";
  DeleteFileW(old.c_str());
  // A running executable may be renamed within its volume, though not
  // overwritten: the new copy takes the freed name.
  if (!MoveFileExW(exe.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
  if (!common::WriteWholeFile(exe, bytes)) {
    MoveFileExW(old.c_str(), exe.c_str(), MOVEFILE_REPLACE_EXISTING);
    return false;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  // CreateProcessW may write into the command line: it needs its own buffer.
  std::wstring command = L"\"" + exe + L"\"";
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  // Not waited for: the new launcher runs on its own.
  common::UniqueKernelHandle thread(info.hThread);
  common::UniqueKernelHandle process(info.hProcess);
  return true;
}

void RemoveOldLauncher() { DeleteFileW((common::ExePath() + L".old").c_str()); }

}  // namespace update
