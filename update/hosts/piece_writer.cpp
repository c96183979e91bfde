#include "update/hosts/piece_writer.h"

#include "common/texts.h"

namespace update {

namespace {
constexpr size_t kMaxWaiting = 2;
}  // namespace

PieceWriter::~PieceWriter() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool PieceWriter::Start() {
  try {
    thread_ = std::thread([this] { Loop(); });
    return true;
  } catch (...) {
    return false;
  }
}

bool PieceWriter::Push(const unsigned char* data, size_t size, common::Error& error) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return failure_.failed() || pieces_.size() < kMaxWaiting; });
  if (failure_.failed()) {
    error = failure_;
    return false;
  }
  try {
    pieces_.emplace_back(data, data + size);
  } catch (const std::bad_alloc&) {
    error.Set(common::ErrorKind::kNoMemory, common::Tr(L"the launcher ran out of memory"));
    return false;
  }
  changed_.notify_all();
  return true;
}

bool PieceWriter::Drain(common::Error& error) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return pieces_.empty() && !busy_; });
  if (!failure_.failed()) return true;
  error = failure_;
  return false;
}

void PieceWriter::Loop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return quit_ || !pieces_.empty(); });
    if (pieces_.empty()) return;  // quit, and nothing left
    std::vector<unsigned char> piece = std::move(pieces_.front());
    pieces_.pop_front();
    busy_ = true;
    hold.unlock();
    common::Error error;
    bool done = false;
    try {
      done = work_(piece.data(), piece.size(), error);
    } catch (...) {
      error.Set(common::ErrorKind::kInternal, common::Tr(L"the download could not be kept"));
    }
    hold.lock();
    busy_ = false;
    if (!done && !failure_.failed()) {
      failure_ = error.failed()
                     ? error
                     : common::Error{common::ErrorKind::kWriteFailed, common::Tr(L"cannot write the staging file")};
      pieces_.clear();
    }
    changed_.notify_all();
  }
}

}  // namespace update
