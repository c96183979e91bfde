#include "update/transfer.h"

#include <windows.h>

#include <algorithm>
#include <random>
#include <vector>

#include "common/file.h"
#include "common/log.h"
#include "common/text.h"
#include "update/sha256_stream.h"

namespace update {
namespace {

constexpr int kMaxRetryAfterSeconds = 30;
// Smaller files are fetched whole again rather than resumed: a note of
// their version would cost more than it saves.
constexpr uint64_t kMinResumableBytes = 1024 * 1024;

std::string ReadVersion(const GameFolder& game, const TransferJob& job) {
  const std::vector<unsigned char> bytes = common::ReadWholeFile(game.Full(StagingVersionPath(job.path)), 4096);
  return std::string(bytes.begin(), bytes.end());
}

void WriteVersion(const GameFolder& game, const TransferJob& job, const std::wstring& validator) {
  bool unsafe = false;
  common::UniqueFile file = game.OpenForWriting(StagingVersionPath(job.path), GameFolder::OpenMode::kCreate, unsafe);
  if (!file) return;
  const std::string text = common::WideToUtf8(validator);
  DWORD written = 0;
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Feeds the first `size` bytes of an open file to the hash (a kept part).
bool HashPrefix(HANDLE file, uint64_t size, Sha256Stream& hash) {
  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) return false;
  std::vector<unsigned char> buffer(65536);
  uint64_t done = 0;
  while (done < size) {
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>(buffer.size(), size - done));
    if (!ReadFile(file, buffer.data(), want, &read, nullptr) || read == 0) return false;
    if (!FeedSha256Stream(hash, buffer.data(), read)) return false;
    done += read;
  }
  return SetFilePointerEx(file, zero, nullptr, FILE_END) != 0;
}

}  // namespace

DWORD RetryWaitMs(int retry, int retry_after) {
  if (retry_after >= 0) return static_cast<DWORD>(std::min(retry_after, kMaxRetryAfterSeconds)) * 1000u;
  static thread_local std::minstd_rand random(GetTickCount() ^ GetCurrentThreadId());
  const DWORD base = 1000u << std::min(retry, 5);
  return base + static_cast<DWORD>(random() % (base / 4));
}

bool WaitOrStop(DWORD ms, const std::atomic<bool>* stop) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    if (stop != nullptr && stop->load()) return false;
    Sleep(std::min<DWORD>(100, ms - (GetTickCount() - start)));
  }
  return !(stop != nullptr && stop->load());
}

std::wstring StagingPath(const std::wstring& path) { return path + L".part"; }
std::wstring StagingVersionPath(const std::wstring& path) { return path + L".part.version"; }

TransferOutcome StageFile(net::Session& session, const GameFolder& game, const TransferJob& job,
                          const TransferHooks& hooks, std::wstring& error, FileStamp& staged) {
  const auto report = [&](int64_t delta) {
    if (hooks.bytes && delta != 0) hooks.bytes(delta);
  };
  std::wstring bad;
  if (!game.PrepareParents(job.path, bad)) {
    error = bad;
    return TransferOutcome::kUnsafePath;
  }
  const std::wstring staging = StagingPath(job.path);

  int transient_failures = 0;
  bool redone_in_full = false;  // a resumed file that failed its digest gets one whole download
  for (;;) {
    // What is kept of an earlier try, and whether the rest may be asked for.
    bool unsafe = false;
    common::UniqueFile file = game.OpenForWriting(staging, GameFolder::OpenMode::kAppend, unsafe);
    if (!file) {
      if (unsafe) {
        error = game.Full(staging);
        return TransferOutcome::kUnsafePath;
      }
      common::Log(L"staging %s: cannot be opened (win32 %lu)", job.path.c_str(), GetLastError());
      return TransferOutcome::kWriteFailed;
    }
    uint64_t kept = common::FileSize(file.get());
    const std::string version = ReadVersion(game, job);
    if (kept > job.size || (kept > 0 && kept < job.size && version.empty())) {
      // Longer than the file can be, or of no known version: start over.
      SetFilePointerEx(file.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN);
      SetEndOfFile(file.get());
      kept = 0;
    }

    Sha256Stream hash;
    bool hash_ok = BeginSha256Stream(hash) && HashPrefix(file.get(), kept, hash);
    report(static_cast<int64_t>(kept));
    uint64_t have = kept;
    bool fetched_now = false;

    if (kept < job.size) {
      net::Request request;
      request.url = job.url;
      request.offset = kept;
      request.if_range = common::Utf8ToWide(version);
      request.stop = hooks.stop;
      request.max_body = job.size;
      net::Response response;
      bool write_failed = false, too_long = false;
      request.sink = [&](const unsigned char* data, size_t size, std::wstring& sink_error) {
        if (kept > 0 && have == kept && !response.partial) {
          // The whole file instead of the rest: the server's file changed
          // since the part was fetched. The part starts over.
          SetFilePointerEx(file.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN);
          SetEndOfFile(file.get());
          report(-static_cast<int64_t>(kept));
          have = kept = 0;
          hash = Sha256Stream();
          hash_ok = BeginSha256Stream(hash);
        }
        if (have + size > job.size) {
          too_long = true;
          sink_error = kTooLongText;
          return false;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
          write_failed = true;
          sink_error = L"cannot write the staging file";
          return false;
        }
        hash_ok = hash_ok && FeedSha256Stream(hash, data, size);
        have += size;
        report(static_cast<int64_t>(size));
        return true;
      };
      const bool ok = session.Get(request, response, error);
      fetched_now = true;
      // The version the part belongs to, for a resume by a later try.
      if (!response.validator.empty() && !response.partial && job.size >= kMinResumableBytes) {
        WriteVersion(game, job, response.validator);
      }
      if (!ok) {
        if (write_failed) return TransferOutcome::kWriteFailed;
        if (response.failure == net::Failure::kStopped) return TransferOutcome::kStopped;
        if (too_long || error == L"the download is too large") {
          // A server that sends more than announced is not to be trusted
          // with what it sent either.
          error = kTooLongText;
          file.reset();
          game.Delete(staging);
          game.Delete(StagingVersionPath(job.path));
          report(-static_cast<int64_t>(have));
          return TransferOutcome::kDownloadFailed;
        }
        if (response.failure == net::Failure::kTransient && transient_failures < hooks.retries) {
          const DWORD wait = RetryWaitMs(transient_failures, response.retry_after);
          ++transient_failures;
          common::Log(L"retry %d of %s in %lu ms: %s", transient_failures, job.path.c_str(), wait, error.c_str());
          if (hooks.retrying) {
            hooks.retrying(L"Retrying " + job.path + L" in " + std::to_wstring((wait + 500) / 1000) + L" s: " + error);
          }
          file.reset();
          report(-static_cast<int64_t>(have));
          if (!WaitOrStop(wait, hooks.stop)) return TransferOutcome::kStopped;
          continue;
        }
        return TransferOutcome::kDownloadFailed;
      }
    }

    // The whole file is here: it counts only with the described digest.
    if (!FlushFileBuffers(file.get())) {
      common::Log(L"staging %s: cannot be flushed (win32 %lu)", job.path.c_str(), GetLastError());
      return TransferOutcome::kWriteFailed;
    }
    const uint64_t on_disk = common::FileSize(file.get());
    BY_HANDLE_FILE_INFORMATION info = {};
    if (GetFileInformationByHandle(file.get(), &info)) {
      staged.size = on_disk;
      staged.write_time = (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
      staged.volume = info.dwVolumeSerialNumber;
      staged.index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    }
    file.reset();
    const std::string digest = hash_ok ? FinishSha256Stream(hash) : std::string();
    if (on_disk == job.size && !digest.empty() && digest == job.sha256) return TransferOutcome::kStaged;

    // Bad bytes are of no use to a later run either.
    game.Delete(staging);
    game.Delete(StagingVersionPath(job.path));
    report(-static_cast<int64_t>(have));
    const bool was_resumed = kept > 0 || !fetched_now;  // a part of an earlier try was used
    if (was_resumed && !redone_in_full) {
      common::Log(L"staging %s: the kept part did not give the described file; fetching it whole", job.path.c_str());
      redone_in_full = true;
      continue;
    }
    error = kMismatchText;
    return TransferOutcome::kDownloadFailed;
  }
}

}  // namespace update
