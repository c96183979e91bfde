// Holds a file open in another process until it is ended or 60 seconds pass.
// Usage: hold-file <file> <event name> write|lock|deny
//   write: open for writing, sharing everything, as an unfinished download
//          or a running copy would (only the other side's own sharing
//          decides whether it can open the file);
//   lock:  open for reading and writing, letting others only read, as a
//          running game holds its loaded modules (no delete, rename or write);
//   deny:  open it sharing nothing, not even reading.
// Sets the named event once the file is open, so a test knows when to look.
#include <windows.h>

#include <cwchar>

#include "common/unique_handle.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const bool lock = wcscmp(argv[3], L"lock") == 0;
  const bool deny = wcscmp(argv[3], L"deny") == 0;
  if (!lock && !deny && wcscmp(argv[3], L"write") != 0) return 2;
  const DWORD access = lock || deny ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  const DWORD share = deny ? 0 : lock ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  common::UniqueFile file(CreateFileW(argv[1], access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 1;
  common::UniqueKernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
  if (!ready || !SetEvent(ready.get())) return 1;
  Sleep(60000);
  return 0;
}
