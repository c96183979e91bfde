#pragma once
// Work on a body's pieces (writing and hashing them) on a thread of its own,
// in the order they came, while the network thread reads the next ones: a
// big file then arrives at the pace of the network rather than at that of
// the network, the disk and the hash one after another. At most two pieces
// wait, so memory stays bounded.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/error.h"

namespace update {

class PieceWriter {
 public:
  using Work = std::function<bool(const unsigned char* data, size_t size, common::Error& error)>;
  explicit PieceWriter(Work work) : work_(std::move(work)) {}
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;
  ~PieceWriter();  // waits for what is queued, then for the thread

  // False when no thread could be started: the caller then works inline.
  [[nodiscard]] bool Start();
  // Queues a copy of the piece, waiting while two wait. False with the first
  // failure of the work (the pieces after it are dropped).
  [[nodiscard]] bool Push(const unsigned char* data, size_t size, common::Error& error);
  // Waits until every queued piece is done. False with the first failure.
  [[nodiscard]] bool Drain(common::Error& error);

 private:
  void Loop();

  Work work_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::vector<unsigned char>> pieces_;
  bool busy_ = false;
  bool quit_ = false;
  common::Error failure_;
  std::thread thread_;
};

}  // namespace update
