// Keeps the test prefix's desktop up for a whole test run.
// Usage: desktop-keeper <ready file>
// Wine starts the desktop process for the first program that needs one, and
// that process keeps the program's standard output open for as long as it
// lives: started by a test, it holds that test's output (and CTest with it)
// until every other window of the run has gone. Started here, detached, it
// holds nothing. Writes the ready file once the desktop is up; runs until the
// prefix's wineserver is stopped.
#include <windows.h>

#include "common/unique_handle.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  if (GetDesktopWindow() == nullptr) return 1;
  // A window of ours keeps this process a user of the desktop.
  HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  if (window == nullptr) return 1;
  {
    common::UniqueFile ready(
        CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!ready) return 1;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}
