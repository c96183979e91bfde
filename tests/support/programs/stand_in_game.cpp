// Stands in for the game's executable (built as Velmora.exe and under other
// letter cases): a real process by that name that waits until it is ended,
// or for the number of seconds given as its argument (60 by default).
#include <windows.h>

#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
  int seconds = argc > 1 ? _wtoi(argv[1]) : 60;
  Sleep(static_cast<DWORD>(seconds) * 1000);
  return 0;
}
