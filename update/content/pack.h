#pragma once
// The pack of a release's small files (its "pack" line): the files end to
// end as one stream, cut into pieces that are chunk objects of the store.
// For the small files a run needs, each piece is fetched whole when it
// holds enough of them to be worth its bytes, else they are fetched on
// their own (see Plan). A fetched piece is bounded by its stored size,
// inflated within its raw size and checked by its digest; each file cut
// from it is checked against its digest in the description before it is
// staged as any downloaded file is. A piece that fails leaves its files to
// be fetched on their own; a pack that cannot be used, every file.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/error.h"
#include "net/session.h"
#include "update/content/chunk_index.h"
#include "update/disk/file_table.h"
#include "update/disk/game_folder.h"
#include "update/hosts/mirrors.h"
#include "update/hosts/transfer.h"
#include "update/run/status.h"
#include "update/trust/manifest.h"

namespace update {

// What a request costs, for the choice between a piece and its files.
struct PackCosts {
  uint64_t round_trip_ms = 50;
  uint64_t bytes_per_second = 8'000'000;
  size_t connections = 8;
};

// Fetching a piece whole costs one request and its stored bytes; its n
// wanted files on their own cost n requests and their own bytes. With c
// requests under way at once, a request costs round_trip / c: the piece is
// fetched when stored - wanted <= (n - 1) * round_trip * rate / c.
bool PieceIsWorthIt(uint64_t stored, uint64_t wanted, size_t files, const PackCosts& costs);

class Pack {
 public:
  struct Wanted {
    size_t k = 0;  // the caller's number for the file
    const ManifestFile* file = nullptr;
    bool ours = false;  // its staging file is one this launcher left
  };

  Pack(const GameFolder& game, const Manifest& manifest, MirrorSet& mirrors);
  Pack(const Pack&) = delete;
  Pack& operator=(const Pack&) = delete;

  // Fetches and checks the index (logged once when it cannot be used; then
  // false, and kStopped in error when the run was stopped). Its fetch time
  // is the round trip the plan starts from.
  [[nodiscard]] bool Load(net::Session& session, const CancelFlag* cancel, PackCosts& costs, common::Error& error);

  // Chooses the pieces to fetch for the wanted files; a file is served by
  // the pack only when every piece it lies in is fetched.
  void Plan(const std::vector<Wanted>& wanted, const PackCosts& costs);
  const std::vector<size_t>& pieces() const { return pieces_; }  // to fetch
  uint64_t fetch_bytes() const { return fetch_bytes_; }          // their stored bytes
  bool Serves(size_t k) const;

  // Fetches one piece (an index into the index's chunks), tried again as a
  // file is, and stages the files it completes. kFailed: the run cannot go
  // on (the disk is full); failure() says why. Otherwise its files that did
  // not come are the caller's to fetch on their own.
  enum class Outcome { kPlaced, kStopped, kMissed, kFailed };
  Outcome FetchPiece(net::Session& session, size_t piece, const TransferHooks& hooks);

  // After the phase: whether the file k came whole through the pack, and
  // its staging file's stamp.
  bool Staged(size_t k, FileStamp& stamp) const;
  common::Error failure() const {
    std::lock_guard<std::mutex> hold(lock_);
    return failure_;
  }

 private:
  struct Served {
    Wanted wanted;
    uint64_t offset = 0;         // in the stream
    size_t first = 0, last = 0;  // the pieces it lies in
    // A file that spans pieces is put together here until every byte came.
    std::vector<unsigned char> buffer;
    uint64_t placed = 0;
    bool staged = false;
    FileStamp stamp;
  };
  bool Place(Served& served, uint64_t at, const unsigned char* data, size_t size, common::Error& error);
  bool Stage(Served& served, const std::vector<unsigned char>& bytes, common::Error& error);

  const GameFolder& game_;
  const Manifest& manifest_;
  MirrorSet& mirrors_;
  PackIndex index_;
  std::vector<Served> served_;
  std::map<size_t, size_t> by_k_;              // the caller's number of a file: into served_
  std::vector<std::vector<size_t>> by_piece_;  // per piece: into served_
  std::vector<size_t> pieces_;
  uint64_t fetch_bytes_ = 0;
  mutable std::mutex lock_;  // guards served_ once pieces arrive
  common::Error failure_;
};

}  // namespace update
