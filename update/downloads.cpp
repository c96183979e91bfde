#include "update/downloads.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <memory>
#include <mutex>

#include "common/log.h"
#include "common/texts.h"
#include "common/worker_pool.h"
#include "update/content/chunked.h"
#include "update/content/pack.h"
#include "update/hosts/transfer.h"
#include "update/trust/digest.h"
#include "update/trust/manifest_text.h"

namespace update {
namespace {

using common::Error;
using common::ErrorKind;

// How often the reporting thread passes the run's stop on to the transfers.
constexpr DWORD kStopCheckMs = 100;

// What the transfers of a run share with the thread that reports.
class Transfers {
 public:
  Transfers(const StatusFn& status, const CancelFlag* cancel) : status_(status), cancel_(cancel) {}

  // The first failure is the run's; a transfer stopped because another
  // failed is not one.
  void Failed(const std::wstring& path, const Error& error) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!failure_.failed() && !(error.kind == ErrorKind::kStopped && !Stopped(cancel_))) {
      failure_ = error;
      common::Log(L"download of %s failed: %s", path, error.text);
    }
    abort_ = true;
  }
  void Retrying(const std::wstring& line, common::WorkerPool& pool) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      retry_lines_.push_back(line);
    }
    pool.Wake();
  }
  void Bytes(int64_t delta) { done_ += delta; }
  // What is to cross the wire grows when a chunked file is fetched whole.
  void Expect(uint64_t more) { total_ += more; }
  // The run's stop reaches every transfer, wherever it waits.
  void PassOnStop() {
    if (Stopped(cancel_) && !abort_.load()) abort_ = true;
  }
  // The cap the run downloads under, for the detail ("limit 4096 KiB/s"),
  // read as it is: the player may change it while the run goes.
  void Cap(const net::RateLimit* limit) { limit_ = limit; }

  // Retry lines as they came, then the whole transfer's line when its bytes
  // moved (or always, when final).
  void Report(const std::wstring& label, DWORD start, bool final) {
    std::deque<std::wstring> lines;
    {
      std::lock_guard<std::mutex> hold(lock_);
      lines.swap(retry_lines_);
    }
    for (const std::wstring& line : lines) Say(status_, line);
    const uint64_t total = total_.load();
    const int64_t d = std::max<int64_t>(0, done_.load());
    if (total == 0 || (d == last_done_ && !final) || (final && failure().failed())) return;
    const uint64_t shown = std::min<uint64_t>(static_cast<uint64_t>(d), total);
    std::wstring detail = TransferDetail(shown, total, (GetTickCount() - start) / 1000.0);
    const uint64_t cap = limit_ != nullptr ? limit_->bytes_per_second() / 1024 : 0;
    if (cap > 0) detail += L"  " + common::TrF(L"limit %s KiB/s", common::FormatCount(cap));
    Say(status_, label, static_cast<int>(shown * 100 / total), detail);
    last_done_ = d;
  }
  const common::StopSignal* abort_signal() const { return &abort_; }
  bool aborted() const { return abort_.load(); }
  Error failure() const {
    std::lock_guard<std::mutex> hold(lock_);
    return failure_;
  }

 private:
  const StatusFn& status_;
  const CancelFlag* cancel_;
  mutable std::mutex lock_;
  Error failure_;
  std::deque<std::wstring> retry_lines_;
  const net::RateLimit* limit_ = nullptr;
  common::StopSignal abort_;
  std::atomic<int64_t> done_{0};
  std::atomic<uint64_t> total_{0};
  int64_t last_done_ = -1;  // reporting thread only
};

// One piece of work of the transfer phase: a whole file, or one chunk of a
// chunked one.
struct Job {
  size_t k = 0;  // into changed
  bool whole = true;
  size_t chunk = 0;    // of a chunked file, or the piece of the pack
  bool piece = false;  // a piece of the pack
};

// Everything StageAll's phases share.
struct Staging {
  Staging(net::Session& session_, MirrorSet& mirrors_, const GameFolder& game_, const Manifest& manifest_,
          const std::vector<size_t>& changed_, const std::set<std::wstring>& ours_, const Options& options_,
          const StatusFn& status_, const CancelFlag* cancel_, std::vector<FileStamp>& stamps_)
      : session(session_),
        mirrors(mirrors_),
        game(game_),
        manifest(manifest_),
        changed(changed_),
        ours(ours_),
        options(options_),
        status(status_),
        cancel(cancel_),
        stamps(stamps_),
        transfers(status_, cancel_) {}
  net::Session& session;
  MirrorSet& mirrors;
  const GameFolder& game;
  const Manifest& manifest;
  const std::vector<size_t>& changed;
  const std::set<std::wstring>& ours;
  const Options& options;
  const StatusFn& status;
  const CancelFlag* cancel;
  std::vector<FileStamp>& stamps;
  Transfers transfers;
  std::wstring label;
  DWORD start = GetTickCount();
  std::vector<std::unique_ptr<ChunkedFile>> chunked;  // per changed file; null: fetched whole
  std::unique_ptr<Pack> pack;                         // null: no small file from the pack
  std::vector<char> ready;  // per changed file: its staging file, left by a run that stopped, is whole
};

const ManifestFile& FileOf(const Staging& s, size_t k) { return s.manifest.files[s.changed[k]]; }

TransferHooks HooksFor(Staging& s, common::WorkerPool& pool) {
  TransferHooks hooks;
  hooks.stop = s.transfers.abort_signal();
  hooks.bytes = [&s](int64_t delta) { s.transfers.Bytes(delta); };
  hooks.retrying = [&s, &pool](const std::wstring& line) { s.transfers.Retrying(line, pool); };
  hooks.mirrors = &s.mirrors;
  return hooks;
}

void RunJob(Staging& s, const Job& job, common::WorkerPool& pool) {
  if (s.transfers.aborted()) return;
  const ManifestFile& file = FileOf(s, job.k);
  TransferHooks hooks = HooksFor(s, pool);
  if (job.piece) {
    const Pack::Outcome outcome = s.pack->FetchPiece(s.session, job.chunk, hooks);
    if (outcome == Pack::Outcome::kStopped) s.transfers.Failed(L"the pack", Error{ErrorKind::kStopped, L""});
    if (outcome == Pack::Outcome::kFailed) s.transfers.Failed(L"the pack", s.pack->failure());
    return;  // files it did not bring are fetched on their own after this phase
  }
  if (!job.whole) {
    const ChunkedFile::Outcome outcome = s.chunked[job.k]->FetchChunk(s.session, job.chunk, hooks);
    if (outcome == ChunkedFile::Outcome::kStopped) s.transfers.Failed(file.path, Error{ErrorKind::kStopped, L""});
    if (outcome == ChunkedFile::Outcome::kFailed) s.transfers.Failed(file.path, s.chunked[job.k]->failure());
    return;  // a file to be fetched whole is done so after this phase
  }
  const TransferJob transfer{file.path, s.mirrors.base(0) + L"/" + file.source, file.size, file.sha256,
                             s.ours.count(file.path) > 0 && !s.chunked[job.k]};
  hooks.source = file.source;
  Error failure;
  if (!StageFile(s.session, s.game, transfer, hooks, s.stamps[job.k], failure)) s.transfers.Failed(file.path, failure);
}

// Runs jobs on up to options.connections threads while this thread reports.
bool RunJobs(Staging& s, const std::vector<Job>& jobs, Error& error) {
  common::WorkerPool pool;
  const size_t threads = std::clamp(s.options.connections, kMinConnections, kMaxConnections);
  if (!pool.Start(jobs.size(), threads, [&](size_t i) { RunJob(s, jobs[i], pool); })) {
    error = pool.failure();
    return false;
  }
  s.transfers.Report(s.label, s.start, false);
  DWORD last_report = GetTickCount();
  while (!pool.Wait(kStopCheckMs)) {
    s.transfers.PassOnStop();
    if (GetTickCount() - last_report >= kStatusIntervalMs) {
      s.transfers.Report(s.label, s.start, false);
      last_report = GetTickCount();
    }
  }
  pool.Join();
  if (pool.failure().failed()) {
    error = pool.failure();
  } else if (s.transfers.failure().failed()) {
    error = s.transfers.failure();
  } else if (Stopped(s.cancel)) {
    error.Set(ErrorKind::kStopped, StoppedText());
  }
  return !error.failed();
}

// Plans every chunked file (its index, what is at hand), several at once;
// a file whose plan fails is fetched whole.
bool PlanChunked(Staging& s, bool prepare, Error& error) {
  std::vector<size_t> candidates;
  for (size_t k = 0; k < s.changed.size(); ++k) {
    if (s.options.use_chunks && FileOf(s, k).has_chunks) candidates.push_back(k);
  }
  s.chunked.resize(s.changed.size());
  if (candidates.empty()) return true;
  std::atomic<bool> stopped{false};
  common::WorkerPool pool;
  const auto plan = [&](size_t i) {
    const size_t k = candidates[i];
    auto file = std::make_unique<ChunkedFile>(s.game, FileOf(s, k), s.mirrors, s.ours.count(FileOf(s, k).path) > 0);
    Error problem;
    if (file->Plan(s.session, StatusFn(), s.transfers.abort_signal(), prepare, problem)) {
      if (!file->WholeIsAsGood()) {
        s.chunked[k] = std::move(file);
      } else {
        common::Log(L"chunks of %s: none at hand and they do not compress; it is fetched whole", FileOf(s, k).path);
        if (prepare) file->Abandon();
      }
    } else if (problem.kind == ErrorKind::kStopped) {
      stopped = true;
    }
    // A plan that failed changed nothing: a part of the whole file that an
    // earlier run left stays for its resume.
  };
  const size_t threads = std::clamp(s.options.connections, kMinConnections, kMaxConnections);
  if (!pool.Start(candidates.size(), threads, plan)) {
    error = pool.failure();
    return false;
  }
  while (!pool.Wait(kStopCheckMs)) s.transfers.PassOnStop();
  pool.Join();
  if (pool.failure().failed()) {
    error = pool.failure();
  } else if (stopped.load() || Stopped(s.cancel)) {
    error.Set(ErrorKind::kStopped, StoppedText());
  }
  return !error.failed();
}

// Whether the staging file of a file is the whole file, and its stamp.
bool WholeStaging(const GameFolder& game, const ManifestFile& file, FileStamp& stamp) {
  common::UniqueFile part(CreateFileW(game.Full(StagingPath(file.path)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  LARGE_INTEGER size = {};
  if (!part || !GetFileSizeEx(part.get(), &size) || static_cast<uint64_t>(size.QuadPart) != file.size) return false;
  std::string digest;
  if (!Sha256File(game.Full(StagingPath(file.path)), digest) || digest != AsciiLower(file.sha256)) return false;
  return StampOpenFile(part.get(), game.volume(), stamp);
}

// The small files the pack can bring, where the run fetches chunks at all:
// the pieces worth fetching are chosen, and the rest fetched on their own.
bool PlanPack(Staging& s, Error& error) {
  s.ready.assign(s.changed.size(), 0);
  if (!s.options.use_chunks || !s.manifest.has_pack) return true;
  std::vector<Pack::Wanted> wanted;
  for (size_t k = 0; k < s.changed.size(); ++k) {
    if (s.chunked[k]) continue;
    const bool ours = s.ours.count(FileOf(s, k).path) > 0;
    // A small file a stopped run cut from the pack is whole already.
    if (ours && WholeStaging(s.game, FileOf(s, k), s.stamps[k])) {
      s.ready[k] = 1;
      continue;
    }
    wanted.push_back(Pack::Wanted{k, &FileOf(s, k), ours});
  }
  PackCosts costs;
  costs.connections = std::clamp(s.options.connections, kMinConnections, kMaxConnections);
  // No more files than connections come in one round on their own; the
  // pack would cost the index's round first.
  if (wanted.size() <= costs.connections) {
    if (!wanted.empty()) common::Log(L"pack: %zu small files wanted, fetched on their own", wanted.size());
    return true;
  }
  auto pack = std::make_unique<Pack>(s.game, s.manifest, s.mirrors);
  const uint64_t cap = s.session.rate_limit() != nullptr ? s.session.rate_limit()->bytes_per_second() : 0;
  if (cap > 0) costs.bytes_per_second = std::min(costs.bytes_per_second, cap);
  if (!pack->Load(s.session, s.transfers.abort_signal(), costs, error)) {
    if (error.kind == ErrorKind::kStopped) return false;
    error = Error();
    return true;
  }
  pack->Plan(wanted, costs);
  if (!pack->pieces().empty()) s.pack = std::move(pack);
  return true;
}

bool FromPack(const Staging& s, size_t k) { return s.ready[k] || (s.pack && s.pack->Serves(k)); }

// What crosses the wire: the pieces of the pack, the stored chunks of
// chunked files, whole files for the others. Says once how much the files
// at hand saved.
std::vector<Job> Jobs(Staging& s) {
  std::vector<Job> jobs;
  uint64_t total = 0, reused = 0;
  if (s.pack) {
    for (size_t piece : s.pack->pieces()) jobs.push_back(Job{0, false, piece, true});
    total += s.pack->fetch_bytes();
  }
  for (size_t k = 0; k < s.changed.size(); ++k) {
    if (FromPack(s, k)) continue;
    if (!s.chunked[k]) {
      jobs.push_back(Job{k, true, 0});
      total += FileOf(s, k).size;
      continue;
    }
    for (size_t chunk : s.chunked[k]->missing()) jobs.push_back(Job{k, false, chunk});
    total += s.chunked[k]->fetch_bytes();
    reused += s.chunked[k]->reused_bytes();
  }
  s.transfers.Expect(total);
  if (reused > 0) Say(s.status, common::TrF(L"%s reused from the files you have", Amount(reused)));
  return jobs;
}

// Puts the chunked files together; those that did not come together, and
// files the pack did not bring, are fetched whole.
bool FinishChunked(Staging& s, Error& error) {
  std::vector<Job> whole;
  for (size_t k = 0; k < s.changed.size(); ++k) {
    if (FromPack(s, k)) {
      if (s.ready[k] || s.pack->Staged(k, s.stamps[k])) continue;
      s.transfers.Expect(FileOf(s, k).size);
      whole.push_back(Job{k, true, 0});
      continue;
    }
    if (!s.chunked[k] || s.chunked[k]->Finish(s.stamps[k])) continue;
    s.chunked[k]->Abandon();
    s.chunked[k].reset();
    s.transfers.Expect(FileOf(s, k).size);
    whole.push_back(Job{k, true, 0});
  }
  return whole.empty() || RunJobs(s, whole, error);
}

}  // namespace

std::wstring TransferDetail(uint64_t done, uint64_t total, double seconds) {
  using common::FormatCount;
  using common::FormatNumber;
  using common::TrF;
  if (total < 1000)
    return common::TrN(total, L"%s of %s byte", L"%s of %s bytes", FormatCount(done), FormatCount(total));
  // Both amounts in the unit of the total, so the two read side by side.
  const bool mega = total >= 1000000;
  const double unit = mega ? 1e6 : 1e3;
  const std::wstring done_text = FormatNumber(done / unit, 1), total_text = FormatNumber(total / unit, 1);
  std::wstring text = mega ? TrF(L"%s of %s MB", done_text, total_text) : TrF(L"%s of %s kB", done_text, total_text);
  if (seconds >= 1.0 && done > 0) {
    const double rate = done / seconds;
    const std::wstring rate_text = FormatNumber(rate / unit, 1);
    text += L"  " + (mega ? TrF(L"%s MB/s", rate_text) : TrF(L"%s kB/s", rate_text));
    // Seconds under 100 s, whole minutes from there on.
    const double left = total > done ? (total - done) / rate : 0.0;
    const uint64_t shown =
        left < 100 ? static_cast<uint64_t>(std::llround(left)) : static_cast<uint64_t>(std::llround(left / 60.0)) * 60;
    text += L"  " + TrF(L"%s left", common::FormatDuration(shown));
  }
  return text;
}

bool StageAll(net::Session& session, MirrorSet& mirrors, const GameFolder& game, const Manifest& manifest,
              const std::vector<size_t>& changed, const std::set<std::wstring>& ours, const Options& options,
              const StatusFn& status, const CancelFlag* cancel, std::vector<FileStamp>& stamps, Error& error) {
  Staging s(session, mirrors, game, manifest, changed, ours, options, status, cancel, stamps);
  s.transfers.Cap(session.rate_limit());
  s.label = changed.size() == 1 ? common::TrF(L"Downloading %s", manifest.files[changed[0]].path)
                                : common::TrN(changed.size(), L"Downloading %s file", L"Downloading %s files",
                                              common::FormatCount(changed.size()));
  if (!PlanChunked(s, true, error) || !PlanPack(s, error)) return false;
  const std::vector<Job> jobs = Jobs(s);
  if (!RunJobs(s, jobs, error) || !FinishChunked(s, error)) return false;
  s.transfers.Report(s.label, s.start, true);
  return true;
}

uint64_t BytesToDownload(net::Session& session, MirrorSet& mirrors, const GameFolder& game, const Manifest& manifest,
                         const std::vector<size_t>& changed, const std::set<std::wstring>& ours, const Options& options,
                         const CancelFlag* cancel) {
  std::vector<FileStamp> stamps(changed.size());
  const StatusFn quiet;
  Staging s(session, mirrors, game, manifest, changed, ours, options, quiet, cancel, stamps);
  Error error;
  if (!PlanChunked(s, false, error)) {
    s.chunked.clear();
    s.chunked.resize(changed.size());
  }
  if (!PlanPack(s, error)) s.pack.reset();
  uint64_t total = s.pack ? s.pack->fetch_bytes() : 0;
  for (size_t k = 0; k < changed.size(); ++k) {
    if (!FromPack(s, k)) total += s.chunked[k] ? s.chunked[k]->fetch_bytes() : FileOf(s, k).size;
  }
  return total;
}

}  // namespace update
