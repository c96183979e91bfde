// How fast Pause takes hold: runs the update engine as the window's Pause
// and Resume do (a stop with the staging files kept, then a new run), and
// prints how long the run took to end after the stop was asked for.
// Figures only. Usage:
//   pause-bench BASE_URL CHANNEL GAME_FOLDER PAUSE_AFTER_MS [chunks|whole]
// Prints "paused in <ms> ms (<error>)" and "resumed: <ok|failed> in <s> s";
// the bytes each run fetched are counted by whoever serves them.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

#include "update/engine.h"
#include "update/run/options.h"
#include "update/run/status.h"

namespace {

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) {
    std::fwprintf(stderr, L"usage: pause-bench BASE_URL CHANNEL GAME_FOLDER PAUSE_AFTER_MS [chunks|whole]\n");
    return 2;
  }
  update::Options options;
  options.base_url = argv[1];
  options.channel = argv[2];
  options.game_dir = argv[3];
  options.launch = false;
  options.use_window = false;
  options.use_chunks = argc < 6 || std::wcscmp(argv[5], L"whole") != 0;
  const DWORD pause_after = static_cast<DWORD>(_wtoi(argv[4]));
  const update::StatusFn quiet = [](const update::StatusLine&) {};

  update::CancelFlag cancel;
  update::Result paused;
  LARGE_INTEGER asked = {}, ended = {};
  std::thread run([&] {
    paused = update::RunUpdate(options, quiet, &cancel);
    ended = Now();
  });
  Sleep(pause_after);
  asked = Now();
  cancel = true;
  run.join();
  std::wprintf(L"paused in %.1f ms (%ls)\n", Milliseconds(asked, ended),
               paused.ok ? L"it had ended" : paused.error.c_str());

  cancel = false;
  const LARGE_INTEGER start = Now();
  const update::Result resumed = update::RunUpdate(options, quiet, &cancel);
  std::wprintf(L"resumed: %ls in %.2f s\n", resumed.ok ? L"ok" : resumed.error.c_str(),
               Milliseconds(start, Now()) / 1000.0);
  return resumed.ok && !paused.ok ? 0 : 1;
}
