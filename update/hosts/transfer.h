#pragma once
// Bringing one file of a release into its staging file beside the target
// ("<target>.part"), verified, ready to be moved into place. A staging file
// outlives a failed try, a failed run or a killed launcher: the next try
// asks only for the rest (Range, with If-Range naming the version the part
// belongs to, kept in "<target>.part.version"). Transient failures are
// tried again with growing waits.
#include <cstdint>
#include <functional>
#include <string>

#include "common/error.h"
#include "common/texts.h"
#include "net/session.h"
#include "update/disk/file_table.h"
#include "update/disk/game_folder.h"
#include "update/hosts/mirrors.h"

namespace update {

struct TransferJob {
  std::wstring path;   // relative to the game folder, "\" separators
  std::wstring url;    // where it is fetched when the hooks name no mirrors
  uint64_t size = 0;   // as the description announces it: the body may not be longer
  std::string sha256;  // as the description names it
  // The staging file there is one this launcher left (a run that stopped
  // or failed): it may be continued. Anything else at its name is removed
  // first, never written into.
  bool continue_staging = false;
};

struct TransferHooks {
  // Bytes of the file now in hand: positive as they arrive or when a kept
  // part is found, negative when bytes are thrown away to start again.
  std::function<void(int64_t)> bytes;
  // A status line before a wait: "Retrying <path> in N s: <reason>".
  std::function<void(const std::wstring&)> retrying;
  const common::StopSignal* stop = nullptr;
  // Tries after the first one for a transient failure.
  int retries = 3;
  // Hosts that serve the release: the file is fetched from source below
  // each, moving to the next when one fails it. None: job.url only.
  MirrorSet* mirrors = nullptr;
  std::wstring source;  // the file's path relative to a base URL
};

// Fetches, writes and verifies job's file into its staging file (or finds
// it already there). False with error: kStopped, kWriteFailed, kUnsafePath
// (its text the full path of the link on the way), kMismatch (MismatchText()),
// kTooLarge (TooLongText()), or the fetcher's kinds and texts. staged: the
// staging file as the file system describes it, which a move within the
// folder keeps (for the table, without opening the file again).
[[nodiscard]] bool StageFile(net::Session& session, const GameFolder& game, const TransferJob& job,
                             const TransferHooks& hooks, FileStamp& staged, common::Error& error);

// How long to wait before retry number `retry` (0 for the first): 1 s, 2 s,
// 4 s, ... with up to a quarter more at random, so that many launchers cut
// off by one outage do not all come back at once; a server's Retry-After
// (retry_after >= 0, up to 30 s) wins.
unsigned long RetryWaitMs(int retry, int retry_after);

// The staging file of a game file, and the note of its version.
// Files smaller than this are fetched whole again rather than resumed: a
// note of their version (which they do not get) would cost more than it
// saves.
constexpr uint64_t kMinResumableBytes = 1024 * 1024;

std::wstring StagingPath(const std::wstring& path);
std::wstring StagingVersionPath(const std::wstring& path);

// The note beside a staging file that the chunk way holds chunks in at
// their places: no start of the file to resume, nor a version.
inline constexpr char kChunkedPartNote[] = "velmoramp-chunks";

inline const wchar_t* MismatchText() { return common::Tr(L"a downloaded file does not match the release description"); }
inline const wchar_t* TooLongText() {
  return common::Tr(L"the server sent more than the release description announces");
}

}  // namespace update
