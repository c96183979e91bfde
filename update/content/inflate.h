#pragma once
// Inflating a zlib stream (RFC 1950) as it arrives, with a bound on what it
// may inflate to: a small object that inflates without end is refused.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace update {

class Inflater {
 public:
  // limit: the most bytes the stream may inflate to.
  explicit Inflater(uint64_t limit);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Takes compressed bytes and hands every inflated piece to out. False
  // with a lower-case reason for data that is no zlib stream, bytes after
  // its end, output past the limit, or out refusing.
  using OutFn = std::function<bool(const unsigned char* data, size_t size)>;
  [[nodiscard]] bool Feed(const unsigned char* data, size_t size, const OutFn& out, std::wstring& error);

  // Whether the stream has ended (its check value read and right).
  bool finished() const { return finished_; }
  uint64_t produced() const { return produced_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  uint64_t limit_;
  uint64_t produced_ = 0;
  bool finished_ = false;
  bool ready_ = false;
};

}  // namespace update
