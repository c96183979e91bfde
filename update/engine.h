#pragma once
// The update run: bring the game folder into line with the signed release of
// one channel, and replace the launcher when the release carries a newer one.
#include <cstdint>
#include <string>
#include <vector>

#include "update/run/options.h"
#include "update/run/status.h"
#include "velmora_version.h"

namespace update {

// This launcher's release number; a release offering a higher one carries a
// newer launcher.
inline constexpr int32_t kLauncherVersion = VELMORA_LAUNCHER_RELEASE;

struct Result {
  bool ok = false;     // everything current, updated, counted, or the launcher replaced
  std::wstring error;  // the user-facing reason when !ok
  std::wstring build;  // release fields, set once the description parsed
  std::wstring notes;
  int32_t protocol = 0;
  std::wstring server_host;
  int32_t server_port = 0;
  int32_t changed = 0;            // files written (dry run: that would be written)
  int32_t removed = 0;            // files of the release before that this one dropped, removed (dry run: would be)
  uint64_t download_bytes = 0;    // dry run: what a run would fetch
  bool launcher_updated = false;  // a new launcher runs now; the caller must end promptly
  // What the player should still read once the run ended, whatever its
  // outcome ("The new launcher could not be verified; ...").
  std::vector<std::wstring> notices;
  // The move pass stopped part way: the game folder holds files of two
  // releases, and nobody may play it until a run completes (error says so).
  bool mixed = false;
  // No server offered a usable description, and the game folder holds the
  // whole release installed last: ok, with the release fields of that one,
  // and offline_text ("Playing the installed release <build>: <reason>.")
  // for the player.
  bool offline = false;
  std::wstring offline_text;
};

// One whole run on the calling thread: fetch and verify the description of
// options.channel from options.base_url, then update options.game_dir (or
// only count, when options.check_only). Never shows anything itself.
Result RunUpdate(const Options& options, const StatusFn& status, const CancelFlag* cancel = nullptr);

}  // namespace update
