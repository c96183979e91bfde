// Holds a file open for writing, as an unfinished download or a running
// copy would, until it is ended or 60 seconds pass. Usage:
//   hold-for-writing <file> <event name>
// Sets the named event once the file is open, so a test knows when to look.
#include <windows.h>

#include "common/unique_handle.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  // Everyone else may share it: only the other side's own choice of
  // sharing decides whether it can open the file.
  common::UniqueFile file(CreateFileW(argv[1], GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 1;
  common::UniqueKernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
  if (!ready || !SetEvent(ready.get())) return 1;
  Sleep(60000);
  return 0;
}
