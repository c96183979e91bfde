#pragma once
// The update run: bring the game folder into line with the signed release of
// one channel, and replace the launcher when the release carries a newer one.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "update/options.h"
#include "velmora_version.h"

namespace update {

// This launcher's release number; a release offering a higher one carries a
// newer launcher.
inline constexpr int32_t kLauncherVersion = VELMORA_LAUNCHER_RELEASE;

// One status line of a run: its text, its percent (-1 when it has none) and,
// while files download, the amounts, the speed and the time left
// ("120.5 of 265.0 MB  12.3 MB/s  21 s left"; empty otherwise).
struct StatusLine {
  std::wstring text;
  int percent = -1;
  std::wstring detail;
};
// May be empty. Called on the engine's (calling) thread.
using StatusFn = std::function<void(const StatusLine& line)>;

struct Result {
  bool ok = false;     // everything current, updated, counted, or the launcher replaced
  std::wstring error;  // the user-facing reason when !ok
  std::wstring build;  // release fields, set once the description parsed
  std::wstring notes;
  int32_t protocol = 0;
  std::wstring server_host;
  int32_t server_port = 0;
  int32_t changed = 0;            // files written (dry run: that would be written)
  bool launcher_updated = false;  // a new launcher runs now; the caller must end promptly
};

// Set from another thread to ask a run to stop at the next chunk: the run
// then ends with ok false and kStoppedText, its staging files closed.
using CancelFlag = std::atomic<bool>;
inline constexpr wchar_t kStoppedText[] = L"The update was stopped.";

// One whole run on the calling thread: fetch and verify the description of
// options.channel from options.base_url, then update options.game_dir (or
// only count, when options.check_only). Never shows anything itself.
Result RunUpdate(const Options& options, const StatusFn& status, const CancelFlag* cancel = nullptr);

}  // namespace update
