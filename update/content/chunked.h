#pragma once
// Building a changed file of a release from chunks (its "chunks" line): the
// chunks that the files at hand already hold (the old copy of the file, the
// staging file an interrupted run left) are kept or copied, and only the
// others are fetched, each bounded by its stored size, inflated within its
// raw size, checked against its digest and written at its place. The whole
// file's digest is checked at the end as for any file. Anything wrong on
// this way (an index missing or not matching, a store that does not answer,
// a chunk that fails twice) leaves the file to be fetched whole.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/unique_handle.h"
#include "net/session.h"
#include "update/content/chunk_index.h"
#include "update/content/stored_object.h"
#include "update/disk/file_table.h"
#include "update/disk/game_folder.h"
#include "update/hosts/mirrors.h"
#include "update/hosts/transfer.h"
#include "update/run/status.h"
#include "update/trust/manifest.h"
#include "update/trust/sha256_stream.h"

namespace update {

class ChunkedFile {
 public:
  // ours: the staging file there is one this launcher left.
  // mirrors: where the index and the chunks are fetched, from the first on.
  ChunkedFile(const GameFolder& game, const ManifestFile& file, MirrorSet& mirrors, bool ours);
  ChunkedFile(const ChunkedFile&) = delete;
  ChunkedFile& operator=(const ChunkedFile&) = delete;

  // Fetches and checks the index and looks for its chunks in the files at
  // hand. With prepare, opens the staging file and puts there every chunk
  // found; without, only counts (a dry run). False (logged once) when the
  // file is to be fetched whole; kStopped in error when the run was stopped.
  [[nodiscard]] bool Plan(net::Session& session, const StatusFn& status, const CancelFlag* cancel, bool prepare,
                          common::Error& error);

  const std::vector<size_t>& missing() const { return missing_; }  // chunks to fetch
  // Nothing of the file is at hand and its chunks do not compress: the
  // chunk way would only cost more requests and a second digest.
  bool WholeIsAsGood() const { return reused_bytes_ == 0 && fetch_bytes_ * 100 >= file_.size * 97; }
  uint64_t fetch_bytes() const { return fetch_bytes_; }    // their stored bytes
  uint64_t reused_bytes() const { return reused_bytes_; }  // raw bytes found at hand

  // Fetches one chunk (an index into the index's chunks) and puts it at its
  // place, tried again as a file is. kStopped when stopped; false otherwise
  // means the file is now to be fetched whole.
  // kFailed: the run cannot go on (the disk is full); failure() says why.
  enum class Outcome { kPlaced, kStopped, kWhole, kFailed };
  Outcome FetchChunk(net::Session& session, size_t chunk, const TransferHooks& hooks);

  // Once every chunk is placed: the whole file's digest checked, the staging
  // file flushed and closed. False: the file is to be fetched whole.
  [[nodiscard]] bool Finish(FileStamp& staged);
  // Closes and removes the staging file, for the whole file's way.
  void Abandon();
  bool abandoned() const { return abandoned_.load(); }

  const ManifestFile& file() const { return file_; }
  const common::Error& failure() const { return failure_; }

 private:
  bool FetchIndex(net::Session& session, const StatusFn& status, const CancelFlag* cancel, common::Error& error);
  // Both false only when stopped (they check every chunk or MiB).
  bool KeepPlaced(HANDLE part, const CancelFlag* cancel);
  bool FindLocal(bool prepare, const CancelFlag* cancel);
  static bool Stop(common::Error& error);
  bool OpenStaging();
  void Use(size_t chunk, const unsigned char* data, bool prepare);
  void Placed(size_t chunk);
  bool WriteAt(uint64_t offset, const unsigned char* data, size_t size);
  bool ReadAt(uint64_t offset, unsigned char* data, size_t size, HANDLE from) const;
  void FallBack(const wchar_t* why);
  friend class ChunkSink;

  const GameFolder& game_;
  const ManifestFile& file_;
  MirrorSet& mirrors_;
  const bool ours_;
  ChunkIndex index_;
  std::vector<char> have_;  // per chunk: at its place in the staging file
  std::vector<size_t> missing_;
  uint64_t fetch_bytes_ = 0;
  uint64_t reused_bytes_ = 0;
  common::UniqueFile staging_;
  std::atomic<bool> abandoned_{false};
  std::mutex lock_;  // guards what follows
  std::vector<char> done_;
  size_t cursor_ = 0;  // chunks before it are in the whole file's digest
  bool hashing_ = false;
  Sha256Stream whole_;
  bool whole_ok_ = true;
  common::Error failure_;  // set by the thread that failed, read after the phase
};

// "1.9 GB", "250.3 MB", "12.0 kB", "512 bytes": how much, as the status line
// says it in the player's language (common::FormatSize).
std::wstring Amount(uint64_t bytes);

}  // namespace update
