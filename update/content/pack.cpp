#include "update/content/pack.h"

#include <windows.h>

#include <algorithm>
#include <map>

#include "common/log.h"
#include "common/text.h"
#include "common/texts.h"
#include "update/content/inflate.h"
#include "update/content/stored_object.h"
#include "update/hosts/fetch.h"
#include "update/trust/digest.h"
#include "update/trust/manifest_text.h"
#include "update/trust/sha256_stream.h"

namespace update {
namespace {

using common::Error;
using common::ErrorKind;

// A pack index lists a line per small file: about a hundred bytes each.
constexpr uint64_t kMaxPackIndexBytes = 32ull * 1024 * 1024;
// A file is cut from the pack only up to this size: one that spans pieces
// is put together in memory.
constexpr uint64_t kMaxPackedFileBytes = 16ull * 1024 * 1024;
// The round trip taken from the index's fetch, within reason.
constexpr uint64_t kMinRoundTripMs = 1, kMaxRoundTripMs = 2000;

std::string DigestOf(const unsigned char* data, size_t size) {
  Sha256Stream stream;
  if (!BeginSha256Stream(stream) || !FeedSha256Stream(stream, data, size)) return std::string();
  return FinishSha256Stream(stream);
}

// One fetched piece: inflated (or taken as it is) within its raw size, in memory.
class PieceSink : public ObjectSink {
 public:
  PieceSink(const ChunkRef& piece, const std::function<void(int64_t)>& report)
      : piece_(piece), inflater_(piece.raw), report_(report) {
    raw_.reserve(static_cast<size_t>(piece.raw));
  }
  bool Take(const unsigned char* data, size_t size, Error& error) override {
    std::wstring problem;
    const auto out = [this](const unsigned char* bytes, size_t n) {
      if (raw_.size() + n > piece_.raw) return false;
      raw_.insert(raw_.end(), bytes, bytes + n);
      return true;
    };
    const bool ok = piece_.zlib ? inflater_.Feed(data, size, out, problem) : out(data, size);
    wire_ += size;
    if (report_) report_(static_cast<int64_t>(size));
    if (!ok)
      error.Set(ErrorKind::kMismatch, problem.empty() ? L"a piece of the pack is longer than it should be" : problem);
    return ok;
  }
  bool Whole() override {
    return (!piece_.zlib || inflater_.finished()) && raw_.size() == piece_.raw &&
           DigestOf(raw_.data(), raw_.size()) == piece_.sha256;
  }
  void Forget() override {
    if (report_ && wire_ > 0) report_(-static_cast<int64_t>(wire_));
  }
  const std::vector<unsigned char>& raw() const { return raw_; }

 private:
  const ChunkRef& piece_;
  Inflater inflater_;
  const std::function<void(int64_t)>& report_;
  std::vector<unsigned char> raw_;
  uint64_t wire_ = 0;
};

// The piece a stream offset lies in (offset within the pieces).
size_t PieceAt(const std::vector<ChunkRef>& pieces, uint64_t offset) {
  const auto after = std::upper_bound(pieces.begin(), pieces.end(), offset,
                                      [](uint64_t at, const ChunkRef& piece) { return at < piece.offset; });
  return static_cast<size_t>(after - pieces.begin()) - 1;
}

}  // namespace

bool PieceIsWorthIt(uint64_t stored, uint64_t wanted, size_t files, const PackCosts& costs) {
  if (files == 0) return false;
  if (stored <= wanted) return true;
  const uint64_t connections = std::max<uint64_t>(1, costs.connections);
  // Bytes one request's round trip is worth, spread over the connections.
  const double saved = static_cast<double>(files - 1) * static_cast<double>(costs.round_trip_ms) / 1000.0 *
                       static_cast<double>(costs.bytes_per_second) / static_cast<double>(connections);
  return static_cast<double>(stored - wanted) <= saved;
}

Pack::Pack(const GameFolder& game, const Manifest& manifest, MirrorSet& mirrors)
    : game_(game), manifest_(manifest), mirrors_(mirrors) {}

bool Pack::Load(net::Session& session, const CancelFlag* cancel, PackCosts& costs, Error& error) {
  error = Error();
  const auto unusable = [](const wchar_t* why) {
    common::Log(L"pack: %s; its files are fetched on their own", why);
    return false;
  };
  if (manifest_.pack_size > kMaxPackIndexBytes) return unusable(L"its index is larger than any index");
  const BodyCheck signed_one = [this](const std::vector<unsigned char>& body) {
    return body.size() == manifest_.pack_size && Sha256Hex(body) == AsciiLower(manifest_.pack_sha256);
  };
  std::vector<unsigned char> text;
  const DWORD started = GetTickCount();
  if (!FetchFromMirrors(session, mirrors_, manifest_.pack_source, manifest_.pack_size, text, nullptr, StatusFn(),
                        cancel, signed_one, error)) {
    if (error.kind == ErrorKind::kStopped) return false;
    const bool other = error.kind == ErrorKind::kMismatch || error.kind == ErrorKind::kTooLarge;
    return unusable(other ? L"its index is not the one the release names" : L"its index cannot be fetched");
  }
  costs.round_trip_ms = std::clamp<uint64_t>(GetTickCount() - started, kMinRoundTripMs, kMaxRoundTripMs);
  std::wstring problem;
  if (!ParsePackIndex(text, index_, problem)) return unusable(L"its index cannot be read");
  std::map<std::wstring, const ManifestFile*> files;
  for (const ManifestFile& file : manifest_.files) files[file.path] = &file;
  for (const PackPart& part : index_.parts) {
    const auto named = files.find(part.path);
    if (named == files.end() || named->second->size != part.size) {
      return unusable(L"a part of its index names no file of the release");
    }
  }
  by_piece_.assign(index_.chunks.size(), {});
  return true;
}

void Pack::Plan(const std::vector<Wanted>& wanted, const PackCosts& costs) {
  std::map<std::wstring, const PackPart*> parts;
  for (const PackPart& part : index_.parts) parts[part.path] = &part;
  std::vector<Served> candidates;
  std::vector<uint64_t> wanted_bytes(index_.chunks.size(), 0);
  std::vector<size_t> files(index_.chunks.size(), 0);
  for (const Wanted& w : wanted) {
    const auto part = parts.find(w.file->path);
    if (part == parts.end() || part->second->size == 0 || part->second->size > kMaxPackedFileBytes) continue;
    Served s;
    s.wanted = w;
    s.offset = part->second->offset;
    s.first = PieceAt(index_.chunks, s.offset);
    s.last = PieceAt(index_.chunks, s.offset + part->second->size - 1);
    for (size_t p = s.first; p <= s.last; ++p) {
      const ChunkRef& piece = index_.chunks[p];
      const uint64_t from = std::max(s.offset, piece.offset);
      const uint64_t to = std::min(s.offset + part->second->size, piece.offset + piece.raw);
      wanted_bytes[p] += to - from;
      files[p] += 1;
    }
    candidates.push_back(s);
  }
  std::vector<char> fetch(index_.chunks.size(), 0);
  for (size_t p = 0; p < fetch.size(); ++p) {
    fetch[p] = PieceIsWorthIt(index_.chunks[p].stored, wanted_bytes[p], files[p], costs) ? 1 : 0;
  }
  std::vector<char> used(index_.chunks.size(), 0);
  for (Served& s : candidates) {
    bool all = true;
    for (size_t p = s.first; p <= s.last; ++p) all = all && fetch[p];
    if (!all) continue;
    for (size_t p = s.first; p <= s.last; ++p) {
      used[p] = 1;
      by_piece_[p].push_back(served_.size());
    }
    by_k_[s.wanted.k] = served_.size();
    served_.push_back(std::move(s));
  }
  for (size_t p = 0; p < used.size(); ++p) {
    if (!used[p]) continue;
    pieces_.push_back(p);
    fetch_bytes_ += index_.chunks[p].stored;
  }
  common::Log(L"pack: %zu of %zu wanted files from %zu of %zu pieces (%llu bytes), round trip %llu ms", served_.size(),
              wanted.size(), pieces_.size(), index_.chunks.size(), fetch_bytes_, costs.round_trip_ms);
}

bool Pack::Serves(size_t k) const { return by_k_.count(k) > 0; }

Pack::Outcome Pack::FetchPiece(net::Session& session, size_t piece, const TransferHooks& hooks) {
  const ChunkRef& ref = index_.chunks[piece];
  std::unique_ptr<ObjectSink> kept;
  const auto make = [&]() -> std::unique_ptr<ObjectSink> { return std::make_unique<PieceSink>(ref, hooks.bytes); };
  Error error;
  const ObjectFetch fetched =
      FetchStoredObject(session, mirrors_, ChunkSource(index_.store, ref), ref.stored, hooks,
                        L"piece " + std::to_wstring(piece) + L" of the pack", make, kept, error);
  if (fetched == ObjectFetch::kStopped) return Outcome::kStopped;
  if (fetched != ObjectFetch::kGot) {
    common::Log(L"pack: piece %zu %s; its files are fetched on their own", piece,
                fetched == ObjectFetch::kWrong ? L"failed its digest twice" : L"cannot be fetched");
    return Outcome::kMissed;
  }
  const std::vector<unsigned char>& raw = static_cast<PieceSink&>(*kept).raw();
  for (size_t i : by_piece_[piece]) {
    Served& s = served_[i];
    const uint64_t size = s.wanted.file->size;
    const uint64_t from = std::max(s.offset, ref.offset), to = std::min(s.offset + size, ref.offset + ref.raw);
    if (!Place(s, from - s.offset, raw.data() + (from - ref.offset), static_cast<size_t>(to - from), error)) {
      std::lock_guard<std::mutex> hold(lock_);
      failure_ = error;
      return Outcome::kFailed;
    }
  }
  return Outcome::kPlaced;
}

// Takes the bytes of served at offset at in the file; stages the file once
// every byte is there. False only for a failure the run cannot go on from.
bool Pack::Place(Served& served, uint64_t at, const unsigned char* data, size_t size, Error& error) {
  const uint64_t whole = served.wanted.file->size;
  std::vector<unsigned char> bytes;
  if (served.first == served.last) {
    bytes.assign(data, data + size);
  } else {
    std::lock_guard<std::mutex> hold(lock_);
    if (served.buffer.empty()) served.buffer.resize(static_cast<size_t>(whole));
    std::copy(data, data + size, served.buffer.begin() + static_cast<ptrdiff_t>(at));
    served.placed += size;
    if (served.placed < whole) return true;
    bytes.swap(served.buffer);
  }
  return Stage(served, bytes, error);
}

// Writes a file that came whole into its staging file, if it is the file
// the description names.
bool Pack::Stage(Served& served, const std::vector<unsigned char>& bytes, Error& error) {
  const ManifestFile& file = *served.wanted.file;
  if (DigestOf(bytes.data(), bytes.size()) != AsciiLower(file.sha256)) {
    common::Log(L"pack: %s does not match the release description; it is fetched on its own", file.path);
    return true;
  }
  std::wstring bad;
  bool unsafe = false;
  common::UniqueFile staging;
  if (game_.HoldParents(file.path, bad)) {
    staging = game_.OpenForWriting(
        StagingPath(file.path), served.wanted.ours ? GameFolder::OpenMode::kContinue : GameFolder::OpenMode::kCreateNew,
        unsafe);
  }
  if (!staging) return true;  // the file's own way names what is wrong
  DWORD written = 0;
  const bool ok = WriteFile(staging.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size() && SetEndOfFile(staging.get()) && FlushFileBuffers(staging.get());
  if (!ok) {
    const DWORD code = GetLastError();
    staging.reset();
    game_.Delete(StagingPath(file.path));
    if (IsDiskFullError(code)) {
      error.Set(ErrorKind::kNoSpace, common::Tr(L"the disk is full"));
      return false;
    }
    return true;
  }
  std::lock_guard<std::mutex> hold(lock_);
  if (!StampOpenFile(staging.get(), game_.volume(), served.stamp)) served.stamp = FileStamp();
  served.staged = true;
  return true;
}

bool Pack::Staged(size_t k, FileStamp& stamp) const {
  const auto at = by_k_.find(k);
  std::lock_guard<std::mutex> hold(lock_);
  if (at == by_k_.end() || !served_[at->second].staged) return false;
  stamp = served_[at->second].stamp;
  return true;
}

}  // namespace update
