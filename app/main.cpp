#include <windows.h>
#include <shellapi.h>

#include "app/entry.h"
#include "common/unique_handle.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 1;
  common::UniqueLocalMem arguments(argv);
  return app::RunLauncher(argc, argv);
}
