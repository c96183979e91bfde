// Holds a file open in another process until it is ended or 60 seconds pass.
// Usage: hold-file <file> <event name> write|lock|deny|scan [<watched file>]
//   write: open for writing, sharing everything, as an unfinished download
//          or a running copy would (only the other side's own sharing
//          decides whether it can open the file);
//   lock:  open for reading and writing, letting others only read, as a
//          running game holds its loaded modules (no delete, rename or write);
//   deny:  open it sharing nothing, not even reading;
//   scan:  read it, letting others read and write but not rename or delete
//          it, as an antivirus scan does (a program so held still starts).
// With a watched file, the file is opened only once the watched one has
// appeared and gone again (a staging file moved into place): a game that
// starts while an update moves its files.
// Sets the named event once the file is open, so a test knows when to look.
#include <windows.h>

#include <cwchar>

#include "common/unique_handle.h"

namespace {

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// Waits, in the shortest steps there are, until the watched file came and
// went; false after 60 s.
bool WaitForItToGo(const wchar_t* watched) {
  const DWORD start = GetTickCount();
  while (!Exists(watched)) {
    if (GetTickCount() - start > 60000) return false;
    Sleep(1);
  }
  while (Exists(watched)) {
    if (GetTickCount() - start > 60000) return false;
    Sleep(0);
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 && argc != 5) return 2;
  const bool lock = wcscmp(argv[3], L"lock") == 0;
  const bool deny = wcscmp(argv[3], L"deny") == 0;
  const bool scan = wcscmp(argv[3], L"scan") == 0;
  if (!lock && !deny && !scan && wcscmp(argv[3], L"write") != 0) return 2;
  common::UniqueKernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
  if (!ready) return 1;
  if (argc == 5) {
    // Ready at once: the test goes on, and this program waits for its moment.
    if (!SetEvent(ready.get()) || !WaitForItToGo(argv[4])) return 1;
  }
  const DWORD access = scan ? GENERIC_READ : lock || deny ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  const DWORD share = deny   ? 0
                      : lock ? FILE_SHARE_READ
                      : scan ? FILE_SHARE_READ | FILE_SHARE_WRITE
                             : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  common::UniqueFile file(CreateFileW(argv[1], access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 1;
  if (argc == 4 && !SetEvent(ready.get())) return 1;
  Sleep(60000);
  return 0;
}
