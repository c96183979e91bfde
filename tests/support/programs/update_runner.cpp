// Runs one update in its own process, so that the launcher's self-
// replacement acts on this program's own file (ExePath), and prints the
// result, after a line "notice: <text>" for each notice of the run.
// Usage: update-runner <base url> <channel> <game folder> [--check]
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "common/log.h"
#include "common/text.h"
#include "common/timing.h"
#include "update/disk/self_replace.h"
#include "update/engine.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  common::TimingFromEnvironment();
  common::OpenLog(L"");  // the data folder's, where a test can look
  update::Options options;
  options.base_url = argv[1];
  options.channel = argv[2];
  options.game_dir = argv[3];
  options.check_only = argc > 4 && std::wstring(argv[4]) == L"--check";
  options.restarted = update::StartedBySelfUpdate();
  _setmode(_fileno(stdout), _O_BINARY);  // one "\n", whatever reads it
  const update::Result r = update::RunUpdate(options, update::StatusFn());
  for (const std::wstring& notice : r.notices) std::printf("notice: %s\n", common::WideToUtf8(notice).c_str());
  std::printf("ok=%d launcher_updated=%d changed=%d error=%s\n", r.ok ? 1 : 0, r.launcher_updated ? 1 : 0,
              static_cast<int>(r.changed), common::WideToUtf8(r.error).c_str());
  std::fflush(stdout);
  return r.ok ? 0 : 1;
}
