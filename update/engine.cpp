#include "update/engine.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/format.h"
#include "common/log.h"
#include "common/unique_handle.h"
#include "net/session.h"
#include "update/digest.h"
#include "update/file_table.h"
#include "update/freshness.h"
#include "update/game_folder.h"
#include "update/manifest.h"
#include "update/self_replace.h"
#include "update/sha256_stream.h"
#include "update/transfer.h"

namespace update {
namespace {

const wchar_t kCannotWrite[] =
    L"Could not write into the game folder. Close the game and Steam, or run the launcher as administrator.";
const wchar_t kNothingChanged[] = L" Nothing was changed.";
// A description and its signature are small; anything this big is not one.
constexpr uint64_t kMaxDescriptionBytes = 16ull * 1024 * 1024;
// Status lines of a long step come at most this often.
constexpr DWORD kStatusIntervalMs = 250;

void Say(const StatusFn& status, const std::wstring& text, int percent = -1, const std::wstring& detail = L"") {
  if (status) status(StatusLine{text, percent, detail});
}

bool Stopped(const CancelFlag* cancel) { return cancel != nullptr && cancel->load(); }

std::wstring LinkText(const std::wstring& path) {
  return L"The game folder holds a link the launcher will not write through: " + path +
         L". Remove it, or check the game's files in Steam.";
}

// "120.5 of 265.0 MB  12.3 MB/s  21 s left"; speed and time once known.
std::wstring TransferDetail(uint64_t done, uint64_t total, double seconds) {
  if (total < 1000) {
    return common::FormatWide(64, L"%llu of %llu bytes", static_cast<unsigned long long>(done),
                              static_cast<unsigned long long>(total));
  }
  const bool mega = total >= 1000000;
  const double unit = mega ? 1e6 : 1e3;
  std::wstring text = common::FormatWide(64, L"%.1f of %.1f %s", done / unit, total / unit, mega ? L"MB" : L"kB");
  if (seconds >= 1.0 && done > 0) {
    const double rate = done / seconds;
    text += common::FormatWide(32, L"  %.1f %s/s", rate / unit, mega ? L"MB" : L"kB");
    const double left = total > done ? (total - done) / rate : 0.0;
    text += left < 100 ? common::FormatWide(32, L"  %.0f s left", left)
                       : common::FormatWide(32, L"  %.0f min left", left / 60.0);
  }
  return text;
}

// A whole body (description, signature, launcher), tried again after a
// transient failure like a game file.
bool FetchWhole(net::Session& session, const std::wstring& url, uint64_t max_body, std::vector<unsigned char>& body,
                const net::ProgressFn& progress, const StatusFn& status, const CancelFlag* cancel,
                std::wstring& error) {
  const std::wstring name = url.substr(url.find_last_of(L'/') + 1);
  for (int attempt = 0;; ++attempt) {
    body.clear();
    net::Request request;
    request.url = url;
    request.max_body = max_body;
    request.stop = cancel;
    request.progress = progress;
    request.sink = net::KeepBody(body, max_body);
    net::Response response;
    if (session.Get(request, response, error)) return true;
    if (response.failure != net::Failure::kTransient || attempt == 3) return false;
    const DWORD wait = RetryWaitMs(attempt, response.retry_after);
    common::Log(L"retry %d of %s in %lu ms: %s", attempt + 1, url.c_str(), wait, error.c_str());
    Say(status, L"Retrying " + name + L" in " + std::to_wstring((wait + 500) / 1000) + L" s: " + error);
    if (!WaitOrStop(wait, cancel)) return false;
  }
}

// Holds the game folder for one run: a second run (a page reload, a second
// launcher) waits for the first rather than write beside it.
class FolderLock {
 public:
  bool Take(const std::wstring& game_folder, const StatusFn& status, const CancelFlag* cancel) {
    mutex_.reset(CreateMutexW(nullptr, FALSE, (L"Local\\velmoramp-update-" + FolderKey(game_folder)).c_str()));
    if (!mutex_) return true;  // no lock to be had: run as before
    DWORD waited = WaitForSingleObject(mutex_.get(), 0);
    if (waited == WAIT_TIMEOUT) {
      Say(status, L"Waiting for another update of this game folder");
      common::Log(L"waiting for another update of %s", game_folder.c_str());
      while ((waited = WaitForSingleObject(mutex_.get(), 250)) == WAIT_TIMEOUT) {
        if (Stopped(cancel)) return false;
      }
    }
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;  // abandoned: the other launcher died
    return true;
  }
  ~FolderLock() {
    if (held_) ReleaseMutex(mutex_.get());
  }

 private:
  common::UniqueKernelHandle mutex_;
  bool held_ = false;
};

// Which listed files differ from what the release describes, reading only
// those the table cannot vouch for; hashing uses every core.
std::vector<size_t> FindChangedFiles(const Manifest& manifest, const GameFolder& game, FileTable& table, bool verify,
                                     const StatusFn& status, const CancelFlag* cancel) {
  const size_t count = manifest.files.size();
  std::vector<char> changed(count, 0);
  std::vector<size_t> to_hash;
  size_t missing = 0;
  std::vector<FileStamp> stamps(count);
  uint64_t bytes_to_hash = 0;
  // A path named twice (in any letter case, which Windows does not tell
  // apart) is one file: the later line decides what it must hold, and the
  // earlier is passed over, or two transfers would write one staging file.
  std::map<std::wstring, size_t> last_line;
  for (size_t i = 0; i < count; ++i) {
    std::wstring key = manifest.files[i].path;
    for (wchar_t& c : key) c = static_cast<wchar_t>(towlower(c));
    last_line[key] = i;
  }
  std::vector<char> counted(count, 0);
  for (const auto& entry : last_line) counted[entry.second] = 1;
  for (size_t i = 0; i < count; ++i) {
    if (!counted[i]) continue;
    const ManifestFile& file = manifest.files[i];
    if (!ReadStamp(game.Full(file.path), stamps[i])) {
      changed[i] = 1;  // missing, a folder, or a link: written anew
      ++missing;
      table.Erase(file.path);
      continue;
    }
    const TableRow* row = verify ? nullptr : table.Find(file.path);
    if (row != nullptr && row->stamp == stamps[i]) {
      changed[i] = row->sha256 == file.sha256 ? 0 : 1;
      continue;
    }
    to_hash.push_back(i);
    bytes_to_hash += stamps[i].size;
  }

  std::atomic<size_t> next{0};
  std::atomic<uint64_t> hashed{0};
  std::mutex rows_lock;
  const auto worker = [&] {
    for (size_t k; (k = next++) < to_hash.size();) {
      if (Stopped(cancel)) return;
      const size_t i = to_hash[k];
      const ManifestFile& file = manifest.files[i];
      std::string digest;
      const bool ok = Sha256File(game.Full(file.path), digest);
      hashed += stamps[i].size;
      changed[i] = ok && digest == file.sha256 ? 0 : 1;
      std::lock_guard<std::mutex> hold(rows_lock);
      if (ok) {
        table.Set(file.path, TableRow{stamps[i], digest});
      } else {
        table.Erase(file.path);
      }
    }
  };
  const unsigned cores = std::max(2u, std::min(4u, std::thread::hardware_concurrency()));
  const size_t threads = std::min<size_t>(cores, to_hash.size());
  std::atomic<size_t> finished{0};
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      worker();
      ++finished;
    });
  }
  // Says how far the check is once it takes longer than a moment.
  const DWORD start = GetTickCount();
  DWORD last = 0;
  while (finished.load() < threads) {
    Sleep(50);
    const DWORD now = GetTickCount();
    if (now - start >= 1000 && now - last >= kStatusIntervalMs && bytes_to_hash > 0) {
      last = now;
      Say(status, L"Checking " + std::to_wstring(count) + L" files",
          static_cast<int>(std::min<uint64_t>(hashed.load(), bytes_to_hash) * 100 / bytes_to_hash));
    }
  }
  for (std::thread& t : pool) t.join();
  common::Log(L"checked %zu files: %zu missing, %zu read, %zu vouched for by the table%s", count, missing,
              to_hash.size(), count - missing - to_hash.size(), verify ? L" (verify: the table was not used)" : L"");

  std::vector<size_t> result;
  for (size_t i = 0; i < count; ++i) {
    if (changed[i]) result.push_back(i);
  }
  return result;
}

// Downloads every changed file into its staging file, several at once. The
// first failure stops the others (their parts are kept for a resume).
struct TransferRun {
  bool ok = true;
  TransferOutcome outcome = TransferOutcome::kStaged;
  std::wstring error;
};

TransferRun StageAll(net::Session& session, const GameFolder& game, const Manifest& manifest,
                     const std::vector<size_t>& changed, const Options& options, const StatusFn& status,
                     const CancelFlag* cancel, std::vector<FileStamp>& stamps) {
  TransferRun run;
  uint64_t total = 0;
  for (size_t i : changed) total += manifest.files[i].size;
  const std::wstring label = changed.size() == 1 ? L"Downloading " + manifest.files[changed[0]].path
                                                 : L"Downloading " + std::to_wstring(changed.size()) + L" files";

  std::atomic<bool> abort{false};
  std::atomic<int64_t> done{0};
  std::atomic<size_t> next{0};
  std::mutex lock;  // guards run and retry_lines
  std::deque<std::wstring> retry_lines;
  const auto worker = [&] {
    for (size_t k; !abort.load() && (k = next++) < changed.size();) {
      const ManifestFile& file = manifest.files[changed[k]];
      TransferJob job{file.path, options.base_url + L"/" + file.source, file.size, file.sha256};
      TransferHooks hooks;
      hooks.stop = &abort;
      hooks.bytes = [&](int64_t delta) {
        done += delta;
        if (Stopped(cancel)) abort = true;
      };
      hooks.retrying = [&](const std::wstring& line) {
        std::lock_guard<std::mutex> hold(lock);
        retry_lines.push_back(line);
      };
      std::wstring error;
      const TransferOutcome outcome = StageFile(session, game, job, hooks, error, stamps[k]);
      if (outcome == TransferOutcome::kStaged) continue;
      std::lock_guard<std::mutex> hold(lock);
      if (run.ok && !(outcome == TransferOutcome::kStopped && !Stopped(cancel))) {
        run.ok = false;
        run.outcome = outcome;
        run.error = error;
        common::Log(L"download of %s failed: %s", file.path.c_str(), error.c_str());
      }
      abort = true;
    }
  };

  const size_t threads =
      std::min<size_t>(std::clamp(options.connections, kMinConnections, kMaxConnections), changed.size());
  std::atomic<size_t> ended{0};
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      worker();
      ++ended;
    });
  }
  // This thread reports: one line for the whole transfer, not one per file.
  const DWORD start = GetTickCount();
  DWORD last = 0;
  int64_t last_done = -1;
  for (;;) {
    const bool finished = ended.load() == threads;
    std::deque<std::wstring> lines;
    {
      std::lock_guard<std::mutex> hold(lock);
      lines.swap(retry_lines);
    }
    for (const std::wstring& line : lines) Say(status, line);
    const DWORD now = GetTickCount();
    const int64_t d = std::max<int64_t>(0, done.load());
    if ((last_done < 0 || (now - last >= kStatusIntervalMs && d != last_done) || finished) && total > 0) {
      const uint64_t shown = std::min<uint64_t>(static_cast<uint64_t>(d), total);
      if (!finished || run.ok) {
        Say(status, label, static_cast<int>(shown * 100 / total), TransferDetail(shown, total, (now - start) / 1000.0));
      }
      last = now;
      last_done = d;
    }
    if (finished) break;
    Sleep(20);
  }
  for (std::thread& t : pool) t.join();
  if (run.ok && Stopped(cancel)) {
    run.ok = false;
    run.outcome = TransferOutcome::kStopped;
  }
  return run;
}

bool ReplaceLauncher(net::Session& session, const Options& options, const Manifest& manifest, const StatusFn& status,
                     const CancelFlag* cancel) {
  const std::wstring label = L"Updating the launcher";
  Say(status, label);
  const auto progress = [&status, &label](uint64_t received, uint64_t total) {
    Say(status, label, total == 0 ? -1 : static_cast<int>(received * 100 / total));
  };
  std::vector<unsigned char> bytes;
  std::wstring error;
  if (!FetchWhole(session, options.base_url + L"/" + manifest.launcher_source, net::kMaxBodyBytes, bytes, progress,
                  status, cancel, error)) {
    common::Log(L"launcher %d: download failed: %s", manifest.launcher_version, error.c_str());
    return false;
  }
  if (Sha256Hex(bytes) != manifest.launcher_sha256) {
    common::Log(L"launcher %d: its digest does not match the release description", manifest.launcher_version);
    return false;
  }
  if (!ReplaceSelfAndRestart(bytes)) {
    common::Log(L"launcher %d: could not be put in place or started", manifest.launcher_version);
    return false;
  }
  common::Log(L"launcher %d is in place and started", manifest.launcher_version);
  return true;
}

}  // namespace

Result RunUpdate(const Options& options, const StatusFn& status, const CancelFlag* cancel) {
  Result result;
  const std::wstring channel_url = options.base_url + L"/" + options.channel;
  common::Log(L"update run: %s channel %s into %s%s%s", options.base_url.c_str(), options.channel.c_str(),
              options.game_dir.c_str(), options.check_only ? L" (dry run)" : L"", options.verify ? L" (verify)" : L"");
  Say(status, L"Checking for updates");

  // One session serves the whole run, so its connections are reused.
  net::Session session;
  std::vector<unsigned char> text, signature;
  std::wstring error;
  const auto fetch_pair = [&]() {
    if (!FetchWhole(session, channel_url + L"/manifest.txt", kMaxDescriptionBytes, text, nullptr, status, cancel,
                    error)) {
      result.error = L"Could not reach the update server: " + error;
      return false;
    }
    if (!FetchWhole(session, channel_url + L"/manifest.sig", kMaxDescriptionBytes, signature, nullptr, status, cancel,
                    error)) {
      result.error = L"Could not download the signature: " + error;
      return false;
    }
    return true;
  };
  if (!fetch_pair()) {
    if (Stopped(cancel)) result.error = kStoppedText;
    common::Log(L"update failed: %s", result.error.c_str());
    return result;
  }
  if (!VerifySignature(text, signature)) {
    // A publish in progress, or a cache that holds an old copy of one of
    // the two for a moment: the pair is fetched once more before it counts.
    common::Log(L"the description and its signature do not match; fetching both again");
    if (!WaitOrStop(2000, cancel) || !fetch_pair()) {
      if (Stopped(cancel)) result.error = kStoppedText;
      common::Log(L"update failed: %s", result.error.c_str());
      return result;
    }
    if (!VerifySignature(text, signature)) {
      result.error = L"This update is not signed by us. Nothing was changed.";
      common::Log(L"update failed: the signature does not match the description");
      return result;
    }
  }
  Manifest manifest;
  if (!ParseManifest(text, manifest, error)) {
    result.error = L"The release description is malformed: " + error;
    common::Log(L"update failed: %s", result.error.c_str());
    return result;
  }
  result.build = manifest.build;
  result.notes = manifest.notes;
  result.protocol = manifest.protocol;
  result.server_host = manifest.server_host;
  result.server_port = manifest.server_port;
  common::Log(L"release %s (protocol %d, sequence %lld%s%s), %zu files", manifest.build.c_str(), manifest.protocol,
              static_cast<long long>(manifest.sequence), manifest.has_expiry ? L", expires " : L"",
              manifest.expires.c_str(), manifest.files.size());

  SequenceMemory sequences = SequenceMemory::Load();
  if (!CheckFreshness(manifest, options, sequences, UtcNowSeconds(), result.error)) {
    common::Log(L"update refused: %s", result.error.c_str());
    return result;
  }

  if (manifest.launcher_version > kLauncherVersion && !options.check_only) {
    if (options.restarted) {
      // A launcher that just replaced itself never does so again in the
      // same run: a release whose launcher line is ahead of the exe it
      // carries must not make players restart for ever.
      const std::wstring note = L"the release offers launcher " + std::to_wstring(manifest.launcher_version) +
                                L" but this is " + std::to_wstring(kLauncherVersion) + L"; not updating again";
      common::Log(L"%s", note.c_str());
      Say(status, note);
    } else if (ReplaceLauncher(session, options, manifest, status, cancel)) {
      result.ok = true;
      result.launcher_updated = true;
      return result;
    }
  }

  FolderLock lock;
  if (!lock.Take(options.game_dir, status, cancel)) {
    result.error = kStoppedText;
    return result;
  }
  GameFolder game;
  if (!game.Open(options.game_dir, error)) {
    result.error = kCannotWrite;
    common::Log(L"update failed: %s: %s", options.game_dir.c_str(), error.c_str());
    return result;
  }
  FileTable table = FileTable::Load(options.game_dir);
  const std::vector<size_t> changed = FindChangedFiles(manifest, game, table, options.verify, status, cancel);
  if (Stopped(cancel)) {
    result.error = kStoppedText;
    return result;
  }
  table.Save();

  if (options.check_only) {
    for (size_t i : changed) Say(status, manifest.files[i].path);
    result.changed = static_cast<int32_t>(changed.size());
    result.ok = true;
    common::Log(L"dry run: %zu files would be updated", changed.size());
    return result;
  }

  if (!changed.empty()) {
    for (size_t i : changed) table.staging().insert(manifest.files[i].path);
    table.Save();
    std::vector<FileStamp> stamps(changed.size());
    const TransferRun run = StageAll(session, game, manifest, changed, options, status, cancel, stamps);
    if (!run.ok) {
      switch (run.outcome) {
        case TransferOutcome::kStopped: result.error = kStoppedText; break;
        case TransferOutcome::kWriteFailed: result.error = std::wstring(kCannotWrite) + kNothingChanged; break;
        case TransferOutcome::kUnsafePath: result.error = LinkText(run.error) + kNothingChanged; break;
        default: result.error = L"The update could not be completed: " + run.error + L"." + kNothingChanged; break;
      }
      common::Log(L"update failed, nothing replaced: %s", result.error.c_str());
      return result;
    }

    // Every file is here and verified: one quick pass moves them into
    // place, in the order of the description.
    for (size_t k = 0; k < changed.size(); ++k) {
      const ManifestFile& file = manifest.files[changed[k]];
      bool unsafe = false;
      if (!game.MoveOver(StagingPath(file.path), file.path, unsafe)) {
        result.error = unsafe ? LinkText(game.Full(file.path)) : kCannotWrite;
        common::Log(L"could not move %s into place (win32 %lu); %d of %zu files replaced", file.path.c_str(),
                    GetLastError(), result.changed, changed.size());
        table.Save();
        return result;
      }
      ++result.changed;
      // A move within the folder keeps the file's size, time and identity.
      if (stamps[k].size == file.size) table.Set(file.path, TableRow{stamps[k], file.sha256});
      common::Log(L"replaced %s", file.path.c_str());
    }
  }

  // Staging files of this or an earlier release that are left now belong
  // to nothing: the release is whole. (Those moved into place are gone.)
  std::set<std::wstring> moved;
  for (size_t i : changed) moved.insert(manifest.files[i].path);
  for (const std::wstring& path : table.staging()) {
    if (moved.count(path) == 0) game.Delete(StagingPath(path));
    game.Delete(StagingVersionPath(path));
  }
  table.staging().clear();
  std::set<std::wstring> listed;
  for (const ManifestFile& file : manifest.files) listed.insert(file.path);
  std::vector<std::wstring> gone;
  for (const auto& row : table.rows()) {
    if (listed.count(row.first) == 0) gone.push_back(row.first);
  }
  for (const std::wstring& path : gone) table.Erase(path);
  table.Save();

  result.ok = true;
  if (manifest.sequence > 0) {
    sequences.Raise(options.base_url, options.channel, manifest.sequence);
    if (!sequences.Save(error)) {
      common::Log(L"could not remember sequence %lld: %s", static_cast<long long>(manifest.sequence), error.c_str());
      Say(status, L"Could not remember this release's sequence number: " + error);
    }
  }
  common::Log(L"update done: %d files replaced", result.changed);
  return result;
}

}  // namespace update
