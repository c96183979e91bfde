#include "update/content/chunked.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "common/file.h"
#include "common/format.h"
#include "common/log.h"
#include "common/texts.h"
#include "update/content/chunker.h"
#include "update/content/inflate.h"
#include "update/hosts/fetch.h"
#include "update/trust/digest.h"

namespace update {
namespace {

using common::Error;
using common::ErrorKind;

// An index lists one line per chunk: a few hundred bytes per MiB of file.
constexpr uint64_t kMaxIndexBytes = 16ull * 1024 * 1024;
constexpr size_t kReadBlock = 1024 * 1024;

std::string DigestOf(const unsigned char* data, size_t size) {
  Sha256Stream stream;
  if (!BeginSha256Stream(stream) || !FeedSha256Stream(stream, data, size)) return std::string();
  return FinishSha256Stream(stream);
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

// Positional reads and writes on a handle opened for plain I/O; a system
// that still answers "pending" (some do on a full disk) is waited for.
bool Settled(HANDLE file, OVERLAPPED& at, BOOL done, DWORD& moved) {
  if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(file, &at, &moved, TRUE);
  return done != FALSE;
}

}  // namespace

std::wstring Amount(uint64_t bytes) { return common::FormatSize(bytes); }

// Where one fetched chunk goes: inflated (or taken as it is) within its raw
// size, hashed, and written at its place in the staging file.
class ChunkSink : public ObjectSink {
 public:
  ChunkSink(ChunkedFile& file, const ChunkRef& chunk, const std::function<void(int64_t)>& report)
      : file_(file), chunk_(chunk), inflater_(chunk.raw), report_(report) {
    hash_ok_ = BeginSha256Stream(hash_);
  }

  bool Take(const unsigned char* data, size_t size, Error& error) override {
    std::wstring problem;
    DWORD write_error = ERROR_SUCCESS;
    const auto out = [this, &write_error](const unsigned char* piece, size_t n) {
      if (produced_ + n > chunk_.raw) return false;
      if (!file_.WriteAt(chunk_.offset + produced_, piece, n)) {
        write_error = GetLastError();
        return false;
      }
      hash_ok_ = hash_ok_ && FeedSha256Stream(hash_, piece, n);
      produced_ += n;
      return true;
    };
    const bool ok = chunk_.zlib ? inflater_.Feed(data, size, out, problem) : out(data, size);
    wire_ += size;
    if (report_) report_(static_cast<int64_t>(size));
    if (ok) return true;
    if (write_error == ERROR_SUCCESS) {
      error.Set(ErrorKind::kMismatch, problem.empty() ? L"a chunk is longer than it should be" : problem);
    } else if (IsDiskFullError(write_error)) {
      error.Set(ErrorKind::kNoSpace, common::Tr(L"the disk is full"));  // for the run, not the chunk
    } else {
      SetLastError(write_error);
      error.Set(ErrorKind::kWriteFailed, common::FormatWin32Error(common::Tr(L"cannot write the staging file")));
    }
    return false;
  }

  // Whether what came is the chunk the index names.
  bool Whole() override {
    const bool ended = !chunk_.zlib || inflater_.finished();
    return ended && produced_ == chunk_.raw && hash_ok_ && FinishSha256Stream(hash_) == chunk_.sha256;
  }
  // Takes back from the progress what this try counted.
  void Forget() override {
    if (report_ && wire_ > 0) report_(-static_cast<int64_t>(wire_));
  }

 private:
  ChunkedFile& file_;
  const ChunkRef& chunk_;
  Inflater inflater_;
  const std::function<void(int64_t)>& report_;
  Sha256Stream hash_;
  bool hash_ok_ = false;
  uint64_t produced_ = 0;
  uint64_t wire_ = 0;
};

ChunkedFile::ChunkedFile(const GameFolder& game, const ManifestFile& file, MirrorSet& mirrors, bool ours)
    : game_(game), file_(file), mirrors_(mirrors), ours_(ours) {}

void ChunkedFile::FallBack(const wchar_t* why) {
  if (!abandoned_.exchange(true)) {
    common::Log(L"chunks of %s: %s; it is fetched whole", file_.path, why);
  }
}

bool ChunkedFile::FetchIndex(net::Session& session, const StatusFn& status, const CancelFlag* cancel, Error& error) {
  std::vector<unsigned char> text;
  if (file_.chunks_size > kMaxIndexBytes) {
    FallBack(L"its index is larger than any index");
    return false;
  }
  const BodyCheck signed_one = [this](const std::vector<unsigned char>& body) {
    return body.size() == file_.chunks_size && Sha256Hex(body) == AsciiLower(file_.chunks_sha256);
  };
  if (!FetchFromMirrors(session, mirrors_, file_.chunks_source, file_.chunks_size, text, nullptr, status, cancel,
                        signed_one, error)) {
    if (error.kind == ErrorKind::kMismatch) {
      FallBack(L"its index is not the one the release names");
    } else if (error.kind != ErrorKind::kStopped) {
      FallBack(L"its index cannot be fetched");
    }
    return false;
  }
  std::wstring problem;
  if (!ParseChunkIndex(text, index_, problem)) {
    FallBack(L"its index cannot be read");
  } else if (index_.size != file_.size || index_.sha256 != AsciiLower(file_.sha256)) {
    FallBack(L"its index describes another file");
  } else if (!CutLikeOurs(index_)) {
    FallBack(L"its index was cut another way");
  } else {
    return true;
  }
  return false;
}

bool ChunkedFile::Plan(net::Session& session, const StatusFn& status, const CancelFlag* cancel, bool prepare,
                       Error& error) {
  error = Error();
  if (!FetchIndex(session, status, cancel, error)) return false;
  const size_t count = index_.chunks.size();
  have_.assign(count, 0);
  done_.assign(count, 0);
  whole_ok_ = BeginSha256Stream(whole_);
  // What an interrupted run placed already (chunks, or the start of the
  // whole file): kept where it verifies.
  if (ours_) {
    common::UniqueFile part(CreateFileW(game_.Full(StagingPath(file_.path)).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (part && !KeepPlaced(part.get(), cancel)) return Stop(error);
  }
  std::wstring bad;
  if (prepare && !game_.HoldParents(file_.path, bad)) {
    FallBack(L"a folder on its way is not one to write into");  // the whole file's way names it
    return false;
  }
  if (prepare && !OpenStaging()) {
    FallBack(L"its staging file cannot be made");
    return false;
  }
  if (!FindLocal(prepare, cancel)) return Stop(error);
  for (size_t c = 0; c < count; ++c) {
    if (have_[c]) {
      reused_bytes_ += index_.chunks[c].raw;
      if (prepare) Placed(c);
    } else {
      missing_.push_back(c);
      fetch_bytes_ += index_.chunks[c].stored;
    }
  }
  common::Log(L"chunks of %s: %zu of %zu at hand (%llu bytes), %zu to fetch (%llu bytes)", file_.path,
              count - missing_.size(), count, reused_bytes_, missing_.size(), fetch_bytes_);
  return true;
}

bool ChunkedFile::Stop(Error& error) {
  error.Set(ErrorKind::kStopped, StoppedText());
  return false;
}

bool ChunkedFile::KeepPlaced(HANDLE part, const CancelFlag* cancel) {
  const uint64_t size = common::FileSize(part);
  std::vector<unsigned char> buffer;
  for (size_t c = 0; c < index_.chunks.size(); ++c) {
    if (Stopped(cancel)) return false;
    const ChunkRef& chunk = index_.chunks[c];
    if (chunk.offset + chunk.raw > size) break;
    buffer.resize(static_cast<size_t>(chunk.raw));
    if (ReadAt(chunk.offset, buffer.data(), buffer.size(), part) &&
        DigestOf(buffer.data(), buffer.size()) == chunk.sha256) {
      have_[c] = 1;
    }
  }
  return true;
}

bool ChunkedFile::OpenStaging() {
  bool unsafe = false;
  staging_ = game_.OpenForWriting(StagingPath(file_.path),
                                  ours_ ? GameFolder::OpenMode::kContinue : GameFolder::OpenMode::kCreateNew, unsafe);
  if (!staging_) return false;
  // From here on the staging file holds chunks at their places, which the
  // whole file's way must not take for the start of the file: its note says
  // so (a note that cannot be written leaves a part the digest refuses).
  common::UniqueFile note =
      game_.OpenForWriting(StagingVersionPath(file_.path), GameFolder::OpenMode::kCreateNew, unsafe);
  DWORD written = 0;
  if (note) (void)WriteFile(note.get(), kChunkedPartNote, sizeof kChunkedPartNote - 1, &written, nullptr);
  LARGE_INTEGER end = {};
  end.QuadPart = static_cast<LONGLONG>(file_.size);
  return SetFilePointerEx(staging_.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(staging_.get());
}

// Cuts the copy of the file at hand and takes every chunk of it that the
// new file has and the staging file does not hold yet. Only chunks of a
// size the new file has are hashed.
bool ChunkedFile::FindLocal(bool prepare, const CancelFlag* cancel) {
  std::set<uint64_t> sizes;
  std::map<std::string, std::vector<size_t>> wanted;
  for (size_t c = 0; c < index_.chunks.size(); ++c) {
    if (have_[c]) continue;
    sizes.insert(index_.chunks[c].raw);
    wanted[index_.chunks[c].sha256].push_back(c);
  }
  if (wanted.empty()) return true;
  common::UniqueFile local(CreateFileW(game_.Full(file_.path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!local) return true;  // nothing at hand: every chunk is fetched
  Chunker chunker;
  std::vector<unsigned char> current;  // the bytes of the chunk at hand
  std::vector<uint64_t> ends;
  uint64_t start = 0;
  std::vector<unsigned char> block(kReadBlock);
  const auto take = [&](uint64_t end) {
    const size_t length = static_cast<size_t>(end - start);
    if (sizes.count(length) > 0) {
      const auto found = wanted.find(DigestOf(current.data(), length));
      if (found != wanted.end()) {
        for (size_t c : found->second) Use(c, current.data(), prepare);
      }
    }
    current.erase(current.begin(), current.begin() + static_cast<std::ptrdiff_t>(length));
    start = end;
  };
  for (;;) {
    if (Stopped(cancel)) return false;
    DWORD read = 0;
    if (!ReadFile(local.get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr)) return true;
    if (read == 0) break;
    current.insert(current.end(), block.begin(), block.begin() + read);
    ends.clear();
    chunker.Feed(block.data(), read, ends);
    for (uint64_t end : ends) take(end);
  }
  ends.clear();
  chunker.Finish(ends);
  for (uint64_t end : ends) take(end);
  return true;
}

void ChunkedFile::Use(size_t chunk, const unsigned char* data, bool prepare) {
  if (have_[chunk]) return;
  const ChunkRef& ref = index_.chunks[chunk];
  if (prepare && !WriteAt(ref.offset, data, static_cast<size_t>(ref.raw))) return;
  have_[chunk] = 1;
}

bool ChunkedFile::WriteAt(uint64_t offset, const unsigned char* data, size_t size) {
  OVERLAPPED at = At(offset);
  DWORD written = 0;
  const BOOL done = WriteFile(staging_.get(), data, static_cast<DWORD>(size), &written, &at);
  return Settled(staging_.get(), at, done, written) && written == size;
}

bool ChunkedFile::ReadAt(uint64_t offset, unsigned char* data, size_t size, HANDLE from) const {
  OVERLAPPED at = At(offset);
  DWORD read = 0;
  const BOOL done = ReadFile(from, data, static_cast<DWORD>(size), &read, &at);
  return Settled(from, at, done, read) && read == size;
}

// A chunk is at its place: the whole file's digest takes every chunk from
// the first on as soon as it and all before it are there, read back from
// the staging file by whichever thread placed the one it waited for.
void ChunkedFile::Placed(size_t chunk) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    done_[chunk] = 1;
    if (hashing_) return;
    hashing_ = true;
  }
  std::vector<unsigned char> buffer;
  for (;;) {
    size_t from = 0, to = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      from = cursor_;
      while (cursor_ < done_.size() && done_[cursor_]) ++cursor_;
      to = cursor_;
      if (from == to) {
        hashing_ = false;
        return;
      }
    }
    for (size_t c = from; c < to && whole_ok_; ++c) {
      const ChunkRef& ref = index_.chunks[c];
      buffer.resize(static_cast<size_t>(ref.raw));
      whole_ok_ = ReadAt(ref.offset, buffer.data(), buffer.size(), staging_.get()) &&
                  FeedSha256Stream(whole_, buffer.data(), buffer.size());
    }
  }
}

ChunkedFile::Outcome ChunkedFile::FetchChunk(net::Session& session, size_t chunk, const TransferHooks& hooks) {
  const ChunkRef& ref = index_.chunks[chunk];
  std::unique_ptr<ObjectSink> kept;
  const auto make = [&]() -> std::unique_ptr<ObjectSink> {
    return std::make_unique<ChunkSink>(*this, ref, hooks.bytes);
  };
  Error error;
  switch (FetchStoredObject(session, mirrors_, ChunkSource(index_, ref), ref.stored, hooks, L"a chunk of " + file_.path,
                            make, kept, error, &abandoned_)) {
    case ObjectFetch::kGot: Placed(chunk); return Outcome::kPlaced;
    case ObjectFetch::kStopped: return Outcome::kStopped;
    case ObjectFetch::kAbandoned: return Outcome::kWhole;
    case ObjectFetch::kFailed: failure_ = error; return Outcome::kFailed;
    case ObjectFetch::kWrong: FallBack(L"a chunk failed its digest twice"); return Outcome::kWhole;
    case ObjectFetch::kUnreachable: break;
  }
  FallBack(L"its chunks cannot be fetched");
  return Outcome::kWhole;
}

bool ChunkedFile::Finish(FileStamp& staged) {
  if (abandoned_.load()) return false;
  std::string digest;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (cursor_ != done_.size() || hashing_ || !whole_ok_) {
      FallBack(L"it did not come together");
      return false;
    }
    digest = FinishSha256Stream(whole_);
  }
  if (digest != AsciiLower(file_.sha256) || !FlushFileBuffers(staging_.get())) {
    FallBack(L"it did not come together");
    return false;
  }
  if (!StampOpenFile(staging_.get(), game_.volume(), staged)) staged = FileStamp();
  staging_.reset();
  return true;
}

void ChunkedFile::Abandon() {
  abandoned_ = true;
  staging_.reset();
  game_.Delete(StagingPath(file_.path));
  game_.Delete(StagingVersionPath(file_.path));
}

}  // namespace update
