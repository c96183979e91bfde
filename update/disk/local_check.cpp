#include "update/disk/local_check.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <map>
#include <mutex>
#include <thread>

#include "common/log.h"
#include "common/path.h"
#include "common/texts.h"
#include "common/worker_pool.h"
#include "update/trust/digest.h"

namespace update {
namespace {

// What the check of one run works through.
struct Check {
  std::vector<char> changed;  // per line of the description
  std::vector<FileStamp> stamps;
  std::vector<size_t> to_hash;
  uint64_t bytes_to_hash = 0;
  size_t missing = 0;
};

// Sorts each file into missing, vouched for by the table, or to be read.
Check Triage(const Manifest& manifest, const GameFolder& game, FileTable& table, bool verify) {
  const size_t count = manifest.files.size();
  Check check;
  check.changed.assign(count, 0);
  check.stamps.resize(count);
  const std::vector<char> deciding = DecidingLines(manifest);
  for (size_t i = 0; i < count; ++i) {
    if (!deciding[i]) continue;
    const ManifestFile& file = manifest.files[i];
    if (!ReadStamp(game.Full(file.path), game.volume(), check.stamps[i])) {
      check.changed[i] = 1;  // missing, a folder, or a link: written anew
      ++check.missing;
      table.Erase(file.path);
      continue;
    }
    const TableRow* row = verify ? nullptr : table.Find(file.path);
    if (row != nullptr && row->stamp == check.stamps[i]) {
      check.changed[i] = row->sha256 == file.sha256 ? 0 : 1;
      continue;
    }
    check.to_hash.push_back(i);
    check.bytes_to_hash += check.stamps[i].size;
  }
  return check;
}

}  // namespace

bool FindChangedFiles(const Manifest& manifest, const GameFolder& game, FileTable& table, bool verify,
                      const StatusFn& status, const CancelFlag* cancel, std::vector<size_t>& changed,
                      common::Error& error) {
  Check check = Triage(manifest, game, table, verify);
  std::atomic<uint64_t> hashed{0};
  std::mutex rows_lock;
  const auto hash_one = [&](size_t k) {
    if (Stopped(cancel)) return;
    const size_t i = check.to_hash[k];
    const ManifestFile& file = manifest.files[i];
    std::string digest;
    const bool ok = Sha256File(game.Full(file.path), digest, cancel);
    hashed += check.stamps[i].size;
    check.changed[i] = ok && digest == file.sha256 ? 0 : 1;
    std::lock_guard<std::mutex> hold(rows_lock);
    if (ok) {
      table.Set(file.path, TableRow{check.stamps[i], digest});
    } else {
      table.Erase(file.path);
    }
  };
  common::WorkerPool pool;
  const unsigned cores = std::max(2u, std::min(4u, std::thread::hardware_concurrency()));
  if (!check.to_hash.empty() && !pool.Start(check.to_hash.size(), cores, hash_one)) {
    error = pool.failure();
    return false;
  }
  // Says how far the check is once it takes longer than a moment.
  const DWORD start = GetTickCount();
  while (!pool.Wait(kStatusIntervalMs)) {
    if (Stopped(cancel)) pool.Stop();
    if (GetTickCount() - start >= 1000 && check.bytes_to_hash > 0) {
      const size_t count = manifest.files.size();
      Say(status, common::TrN(count, L"Checking %s file", L"Checking %s files", common::FormatCount(count)),
          static_cast<int>(std::min<uint64_t>(hashed.load(), check.bytes_to_hash) * 100 / check.bytes_to_hash));
    }
  }
  pool.Join();
  if (pool.failure().failed()) {
    error = pool.failure();
    return false;
  }
  if (Stopped(cancel)) {
    error.Set(common::ErrorKind::kStopped, StoppedText());
    return false;
  }
  const size_t count = manifest.files.size();
  common::Log(L"checked %zu files: %zu missing, %zu read, %zu vouched for by the table%s", count, check.missing,
              check.to_hash.size(), count - check.missing - check.to_hash.size(),
              verify ? L" (verify: the table was not used)" : L"");
  changed.clear();
  for (size_t i = 0; i < count; ++i) {
    if (check.changed[i]) changed.push_back(i);
  }
  return true;
}

bool HoldsRelease(const std::vector<InstalledFile>& files, const FileTable& table, const std::wstring& folder,
                  uint32_t volume, std::wstring& culprit) {
  for (const InstalledFile& file : files) {
    const TableRow* row = table.Find(file.path);
    FileStamp now;
    if (row == nullptr || AsciiLower(row->sha256) != file.sha256 ||
        !ReadStamp(common::LongPathForm(folder + L"\\" + file.path), volume, now) || !(now == row->stamp)) {
      culprit = file.path;
      return false;
    }
  }
  return true;
}

}  // namespace update
