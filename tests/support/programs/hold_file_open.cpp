// Holds a file open for reading and writing without letting anyone delete,
// rename over or write it, as a running game holds its loaded modules, until
// it is ended or 60 seconds pass. Usage: hold-file-open <file> <event name>
// Sets the named event once the file is open.
#include <windows.h>

#include "common/unique_handle.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  common::UniqueFile file(CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 1;
  common::UniqueKernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
  if (!ready || !SetEvent(ready.get())) return 1;
  Sleep(60000);
  return 0;
}
