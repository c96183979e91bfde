#include "update/hosts/transfer.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "common/file.h"
#include "common/log.h"
#include "common/text.h"
#include "common/texts.h"
#include "common/timing.h"
#include "update/hosts/piece_writer.h"
#include "update/trust/sha256_stream.h"

namespace update {
namespace {

using common::Error;
using common::ErrorKind;

constexpr int kMaxRetryAfterSeconds = 30;
// From this size a body is written and hashed beside the network's reads.
constexpr uint64_t kPipelineBytes = 4ull * 1024 * 1024;
// An ETag or an HTTP date is far shorter.
constexpr uint64_t kMaxVersionBytes = 256;

bool Truncate(HANDLE file) {
  return SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && SetEndOfFile(file);
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

// Where a file's body goes: appended to its staging file and hashed on the
// way, bounded by the described size. Knows what it wrote, whether the
// digest can still be told, and why it stopped.
class StagingSink : public net::Sink {
 public:
  using AnswerFn = std::function<void(const net::AnswerHeaders& headers)>;
  StagingSink(HANDLE file, uint64_t kept, uint64_t limit, const std::function<void(int64_t)>& report,
              AnswerFn on_answer)
      : file_(file), kept_(kept), have_(kept), limit_(limit), report_(report), on_answer_(std::move(on_answer)) {}

  // Hashes what an earlier try kept. False when the hash cannot be had.
  bool Open() {
    hash_ok_ = BeginSha256Stream(hash_) && (kept_ == 0 || HashPrefix(file_, kept_, hash_));
    Report(static_cast<int64_t>(kept_));
    return hash_ok_;
  }

  // A whole body sent for a request of the rest is refused (for another
  // mirror) rather than started over.
  void RefuseWhole() { refuse_whole_ = true; }

  // A sink made without a file makes it with open once the request is sent
  // (nothing is kept then).
  using OpenFn = std::function<HANDLE(Error& error)>;
  void OpenLate(OpenFn open) { open_ = std::move(open); }
  void Sent() override {
    if (!open_) return;
    file_ = open_(open_error_);
    open_ = nullptr;  // tried once
  }

  // Big bodies are written and hashed on a thread of their own while the
  // next pieces arrive.
  void Pipeline() {
    if (limit_ < kPipelineBytes) return;
    writer_ = std::make_unique<PieceWriter>(
        [this](const unsigned char* data, size_t size, Error& error) { return WritePiece(data, size, error); });
    if (!writer_->Start()) writer_.reset();
  }

  // Waits until every piece taken is written; false with the write's error.
  bool Settle(Error& error) { return writer_ == nullptr || writer_->Drain(error); }

  bool Begin(const net::AnswerHeaders& headers, Error& error) override {
    Sent();  // the file, should it be missing still
    if (file_ == nullptr) {
      error = open_error_.failed() ? open_error_
                                   : Error{ErrorKind::kWriteFailed, common::Tr(L"cannot open the staging file")};
      return false;
    }
    if (!Settle(error)) return false;
    if (kept_ > 0 && !headers.partial && refuse_whole_) {
      error.Set(ErrorKind::kHttp, common::Tr(L"the server sent the whole file, not the rest"));
      return false;
    }
    if (on_answer_) on_answer_(headers);
    if (kept_ == 0 || headers.partial) return true;
    // The whole file instead of the rest: the server's file changed since
    // the part was fetched. The part starts over.
    if (!Truncate(file_)) {
      error.Set(ErrorKind::kWriteFailed, common::Tr(L"cannot write the staging file"));
      return false;
    }
    Report(-static_cast<int64_t>(kept_));
    have_ = kept_ = 0;
    hash_ = Sha256Stream();
    hash_ok_ = BeginSha256Stream(hash_);
    return true;
  }

  bool Take(const unsigned char* data, size_t size, Error& error) override {
    if (have_ + size > limit_) {
      error.Set(ErrorKind::kTooLarge, TooLongText());
      return false;
    }
    if (writer_ != nullptr) {
      if (!writer_->Push(data, size, error)) return false;
      have_ += size;
      Report(static_cast<int64_t>(size));
      return true;
    }
    if (!WritePiece(data, size, error)) return false;
    have_ += size;
    Report(static_cast<int64_t>(size));
    return true;
  }

  // Takes back from the progress every byte this sink counted.
  void Forget() {
    Error ignored;
    (void)Settle(ignored);
    Report(-static_cast<int64_t>(have_));
    have_ = 0;
  }

  uint64_t kept() const { return kept_; }
  // The digest of everything in the file; empty when it cannot be told.
  std::string Digest() {
    Error ignored;
    if (!Settle(ignored)) return std::string();
    return hash_ok_ ? FinishSha256Stream(hash_) : std::string();
  }

 private:
  // One piece appended to the file and fed to the hash, in order.
  bool WritePiece(const unsigned char* data, size_t size, Error& error) {
    DWORD written = 0;
    if (!WriteFile(file_, data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
      if (IsDiskFullError(GetLastError())) {
        error.Set(ErrorKind::kNoSpace, common::Tr(L"the disk is full"));
      } else {
        error.Set(ErrorKind::kWriteFailed, common::Tr(L"cannot write the staging file"));
      }
      return false;
    }
    hash_ok_ = hash_ok_ && FeedSha256Stream(hash_, data, size);
    return true;
  }

  void Report(int64_t delta) {
    if (report_ && delta != 0) report_(delta);
  }

  HANDLE file_;
  uint64_t kept_;  // bytes of an earlier try the body continues
  uint64_t have_;  // bytes in the file now
  uint64_t limit_;
  const std::function<void(int64_t)>& report_;
  AnswerFn on_answer_;
  Sha256Stream hash_;
  bool hash_ok_ = false;
  bool refuse_whole_ = false;
  OpenFn open_;
  Error open_error_;
  std::unique_ptr<PieceWriter> writer_;  // declared last: it ends first, while the rest is whole
};

// One file's way into its staging file: resume or start over, fetch,
// judge; tried again after a transient failure, and once more in full
// when a resumed file does not give the described digest.
class Stager {
 public:
  Stager(net::Session& session, const GameFolder& game, const TransferJob& job, const TransferHooks& hooks)
      : session_(session),
        game_(game),
        job_(job),
        hooks_(hooks),
        staging_(StagingPath(job.path)),
        mirror_(hooks.mirrors, std::wstring()) {}

  bool Run(FileStamp& staged, Error& error) {
    std::wstring bad;
    if (!game_.HoldParents(job_.path, bad)) {
      error.Set(ErrorKind::kUnsafePath, bad);
      return false;
    }
    for (bool ours = job_.continue_staging;; ours = true) {
      common::UniqueFile file;
      // A new staging file is made while its request is on its way: making
      // a file costs some systems a search of its folder.
      const bool late = !ours && job_.size > 0;
      if (!late && !OpenStaging(file, ours, error)) return false;
      if (late) version_.clear();
      StagingSink sink(late ? nullptr : file.get(), late ? 0 : KeptBytes(file.get(), ours), job_.size, hooks_.bytes,
                       [this](const net::AnswerHeaders& headers) { NoteVersion(headers); });
      if (late) {
        sink.OpenLate(
            [this, &file](Error& open_error) { return OpenStaging(file, false, open_error) ? file.get() : nullptr; });
      }
      const bool hashed = sink.Open();
      sink.Pipeline();
      // Once every mirror ignored the Range, the whole file is taken.
      if (mirror_.CanMove()) sink.RefuseWhole();
      const bool fetch = sink.kept() < job_.size;
      if (fetch) {
        Fetched fetched = Fetch(sink, error);
        if (fetched == Fetched::kUntrusted) {
          // A server that sends more than announced is not to be trusted
          // with what it sent either.
          file.reset();
          Discard(sink);
        } else if (fetched != Fetched::kWhole) {
          file.reset();  // closed whole while it waits
          sink.Forget();
        }
        if (fetched != Fetched::kWhole && mirror_.FailOver(job_.path, error)) {
          error = Error();
          continue;
        }
        if (fetched == Fetched::kUntrusted) return false;
        if (fetched == Fetched::kFailed && mirror_.WorthRetrying() && transient_failures_ < hooks_.retries) {
          // A busy host came before one that refused: the busy one again.
          fetched = Fetched::kTryAgain;
        }
        if (fetched == Fetched::kFailed) return false;
        if (fetched == Fetched::kTryAgain) {
          if (!WaitToRetry(error)) return false;
          continue;
        }
      }
      if (Verdict(file, sink, hashed, staged, error)) return true;
      if (error.failed()) return false;
      // A part that was whole already and wrong is this PC's, not a host's.
      if (fetch && mirror_.FailOver(job_.path, Error{ErrorKind::kMismatch, MismatchText()})) continue;
      if (!RetryInFull(sink.kept() > 0 || !fetch)) {
        error.Set(ErrorKind::kMismatch, MismatchText());
        return false;
      }
    }
  }

 private:
  bool OpenStaging(common::UniqueFile& file, bool ours, Error& error) {
    bool unsafe = false;
    file = game_.OpenForWriting(staging_, ours ? GameFolder::OpenMode::kContinue : GameFolder::OpenMode::kCreateNew,
                                unsafe);
    if (file) return true;
    if (unsafe) {
      error.Set(ErrorKind::kUnsafePath, game_.Shown(staging_));
    } else if (IsDiskFullError(GetLastError())) {
      error.Set(ErrorKind::kNoSpace, common::Tr(L"the disk is full"));
    } else {
      common::Log(L"staging %s: cannot be opened (win32 %lu)", job_.path, GetLastError());
      error.Set(ErrorKind::kWriteFailed, common::Tr(L"cannot open the staging file"));
    }
    return false;
  }

  // The version a kept part belongs to; empty for no note, or for one that
  // is no plausible ETag or date (the note is ours, but not signed: it goes
  // into a request header as it is).
  std::string ReadVersion() const {
    const std::string text = game_.ReadSmallFile(StagingVersionPath(job_.path), kMaxVersionBytes);
    for (unsigned char c : text) {
      if (c < 0x20 || c > 0x7E) return std::string();
    }
    return text;
  }

  // As soon as the answer's headers are here, and before any of its body
  // is written, the version of a file worth resuming is noted and flushed:
  // a launcher killed in the middle of the body still resumes it.
  void NoteVersion(const net::AnswerHeaders& headers) const {
    if (headers.validator.empty() || headers.partial || job_.size < kMinResumableBytes) return;
    const std::string text = common::WideToUtf8(headers.validator);
    bool unsafe = false;
    common::UniqueFile file =
        game_.OpenForWriting(StagingVersionPath(job_.path), GameFolder::OpenMode::kCreateNew, unsafe);
    DWORD written = 0;
    // A note that cannot be written only costs a resume later.
    if (!file || text.size() > kMaxVersionBytes ||
        !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
      return;
    }
    (void)FlushFileBuffers(file.get());
  }

  // What is kept of an earlier try and may be continued; a part longer
  // than the file can be, or of no known version, starts over.
  uint64_t KeptBytes(HANDLE file, bool ours) {
    const uint64_t kept = common::FileSize(file);
    version_ = ours ? ReadVersion() : std::string();
    if (version_ == kChunkedPartNote) {
      // Chunks at their places, left by the chunk way: nothing to resume.
      common::Log(L"staging %s: chunks kept for the chunk way; the whole file starts over", job_.path);
      version_.clear();
      game_.Delete(StagingVersionPath(job_.path));
      (void)Truncate(file);
      return 0;
    }
    if (kept > job_.size || (kept > 0 && kept < job_.size && version_.empty())) {
      (void)Truncate(file);  // a part that cannot be cut is overwritten in full below
      return 0;
    }
    return kept;
  }

  enum class Fetched { kWhole, kFailed, kUntrusted, kTryAgain };

  // One request for the rest (or all) of the file.
  Fetched Fetch(StagingSink& sink, Error& error) {
    net::Request request;
    request.url = hooks_.mirrors != nullptr ? mirror_.Url(hooks_.source) : job_.url;
    request.offset = sink.kept();
    // Another host's version of the file is no version there: the rest is
    // asked for plainly, and the whole file's digest judges the result.
    if (mirror_.OnFirst()) request.if_range = common::Utf8ToWide(version_);
    request.stop = hooks_.stop;
    request.max_body = job_.size;
    request.sink = &sink;
    net::Response response;
    const bool ok = session_.Get(request, response, error);
    // Every piece is on disk before the file is judged or closed; a write
    // that failed is the reason, whatever the network did meanwhile.
    Error written;
    if (!sink.Settle(written)) {
      error = written;
      return Fetched::kFailed;
    }
    if (ok) return Fetched::kWhole;
    if (error.kind == ErrorKind::kTooLarge) {
      error.text = TooLongText();
      return Fetched::kUntrusted;
    }
    if (error.kind != ErrorKind::kTransient || transient_failures_ >= hooks_.retries) return Fetched::kFailed;
    retry_after_ = response.headers.retry_after;
    return Fetched::kTryAgain;
  }

  bool WaitToRetry(Error& error) {
    const DWORD wait = RetryWaitMs(transient_failures_, retry_after_);
    ++transient_failures_;
    common::Log(L"retry %d of %s in %lu ms: %s", transient_failures_, job_.path, wait, error.text);
    if (hooks_.retrying) {
      hooks_.retrying(
          common::TrF(L"Retrying %s in %s: %s", job_.path, common::FormatDuration((wait + 500) / 1000), error.text));
    }
    if (!common::WaitOrStop(wait, hooks_.stop)) {
      error.Set(ErrorKind::kStopped, L"the download was stopped");
      return false;
    }
    error = Error();
    return true;
  }

  // The whole file is here: it counts only with the described digest.
  // False with error unset when the bytes are wrong (and thrown away).
  bool Verdict(common::UniqueFile& file, StagingSink& sink, bool hashed, FileStamp& staged, Error& error) {
    if (!FlushFileBuffers(file.get())) {
      common::Log(L"staging %s: cannot be flushed (win32 %lu)", job_.path, GetLastError());
      error.Set(ErrorKind::kWriteFailed, common::Tr(L"cannot write the staging file"));
      return false;
    }
    const uint64_t on_disk = common::FileSize(file.get());
    if (!StampOpenFile(file.get(), game_.volume(), staged)) staged = FileStamp();
    file.reset();
    const std::string digest = hashed ? sink.Digest() : std::string();
    if (on_disk == job_.size && !digest.empty() && digest == job_.sha256) return true;
    // Bad bytes are of no use to a later run either.
    Discard(sink);
    return false;
  }

  // The staging file must be closed first.
  void Discard(StagingSink& sink) {
    game_.Delete(staging_);
    game_.Delete(StagingVersionPath(job_.path));
    sink.Forget();
  }

  // A file built on a part of an earlier try gets one whole download.
  bool RetryInFull(bool was_resumed) {
    if (!was_resumed || redone_in_full_) return false;
    common::Log(L"staging %s: the kept part did not give the described file; fetching it whole", job_.path);
    redone_in_full_ = true;
    return true;
  }

  net::Session& session_;
  const GameFolder& game_;
  const TransferJob& job_;
  const TransferHooks& hooks_;
  const std::wstring staging_;
  MirrorCursor mirror_;
  std::string version_;
  int transient_failures_ = 0;
  int retry_after_ = -1;
  bool redone_in_full_ = false;
};

}  // namespace

DWORD RetryWaitMs(int retry, int retry_after) {
  const common::Timing& timing = common::CurrentTiming();
  if (retry_after >= 0) {
    return static_cast<DWORD>(std::min(retry_after, kMaxRetryAfterSeconds)) * timing.retry_after_unit_ms;
  }
  static thread_local std::minstd_rand random(GetTickCount() ^ GetCurrentThreadId());
  const DWORD base = timing.retry_base_ms << std::min(retry, 5);
  const DWORD jitter = static_cast<DWORD>(uint64_t{base} * timing.retry_jitter_percent / 100);
  return base + (jitter > 0 ? static_cast<DWORD>(random() % jitter) : 0);
}

std::wstring StagingPath(const std::wstring& path) { return path + L".part"; }
std::wstring StagingVersionPath(const std::wstring& path) { return path + L".part.version"; }

bool StageFile(net::Session& session, const GameFolder& game, const TransferJob& job, const TransferHooks& hooks,
               FileStamp& staged, common::Error& error) {
  error = common::Error();
  Stager stager(session, game, job, hooks);
  return stager.Run(staged, error);
}

}  // namespace update
