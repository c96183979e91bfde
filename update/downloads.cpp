#include "update/downloads.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>

#include "common/format.h"
#include "common/log.h"
#include "common/worker_pool.h"
#include "update/transfer.h"

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
  // The run's stop reaches every transfer, wherever it waits.
  void PassOnStop() {
    if (Stopped(cancel_) && !abort_.load()) abort_ = true;
  }
  // Retry lines as they came, then the whole transfer's line when its bytes
  // moved (or always, when final).
  void Report(const std::wstring& label, uint64_t total, DWORD start, bool final) {
    std::deque<std::wstring> lines;
    {
      std::lock_guard<std::mutex> hold(lock_);
      lines.swap(retry_lines_);
    }
    for (const std::wstring& line : lines) Say(status_, line);
    const int64_t d = std::max<int64_t>(0, done_.load());
    if (total == 0 || (d == last_done_ && !final) || (final && failure().failed())) return;
    const uint64_t shown = std::min<uint64_t>(static_cast<uint64_t>(d), total);
    Say(status_, label, static_cast<int>(shown * 100 / total),
        TransferDetail(shown, total, (GetTickCount() - start) / 1000.0));
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
  common::StopSignal abort_;
  std::atomic<int64_t> done_{0};
  int64_t last_done_ = -1;  // reporting thread only
};

}  // namespace

std::wstring TransferDetail(uint64_t done, uint64_t total, double seconds) {
  if (total < 1000) return common::FormatWide(64, L"%llu of %llu bytes", done, total);
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

bool StageAll(net::Session& session, const GameFolder& game, const Manifest& manifest,
              const std::vector<size_t>& changed, const std::set<std::wstring>& ours, const Options& options,
              const StatusFn& status, const CancelFlag* cancel, std::vector<FileStamp>& stamps, Error& error) {
  uint64_t total = 0;
  for (size_t i : changed) total += manifest.files[i].size;
  const std::wstring label = changed.size() == 1 ? L"Downloading " + manifest.files[changed[0]].path
                                                 : L"Downloading " + std::to_wstring(changed.size()) + L" files";
  Transfers transfers(status, cancel);
  common::WorkerPool pool;
  const auto stage_one = [&](size_t k) {
    if (transfers.aborted()) return;
    const ManifestFile& file = manifest.files[changed[k]];
    const TransferJob job{file.path, options.base_url + L"/" + file.source, file.size, file.sha256,
                          ours.count(file.path) > 0};
    TransferHooks hooks;
    hooks.stop = transfers.abort_signal();
    hooks.bytes = [&transfers](int64_t delta) { transfers.Bytes(delta); };
    hooks.retrying = [&transfers, &pool](const std::wstring& line) { transfers.Retrying(line, pool); };
    Error failure;
    if (!StageFile(session, game, job, hooks, stamps[k], failure)) transfers.Failed(file.path, failure);
  };
  const size_t threads = std::clamp(options.connections, kMinConnections, kMaxConnections);
  if (!pool.Start(changed.size(), threads, stage_one)) {
    error = pool.failure();
    return false;
  }
  // This thread reports: one line for the whole transfer, not one per file.
  const DWORD start = GetTickCount();
  transfers.Report(label, total, start, false);
  DWORD last_report = start;
  while (!pool.Wait(kStopCheckMs)) {
    transfers.PassOnStop();
    if (GetTickCount() - last_report >= kStatusIntervalMs) {
      transfers.Report(label, total, start, false);
      last_report = GetTickCount();
    }
  }
  pool.Join();
  transfers.Report(label, total, start, true);
  if (pool.failure().failed()) {
    error = pool.failure();
  } else if (transfers.failure().failed()) {
    error = transfers.failure();
  } else if (Stopped(cancel)) {
    error.Set(ErrorKind::kStopped, kStoppedText);
  }
  return !error.failed();
}

}  // namespace update
