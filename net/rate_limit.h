#pragma once
// A cap on the bytes per second of every request that shares it: a token
// bucket holding at most one second's worth, so that the rate is smooth to
// within about a second whatever the number of transfers. Thread-safe.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/clock.h"
#include "common/stop_signal.h"

namespace net {

class RateLimit {
 public:
  explicit RateLimit(common::Clock& clock = common::SystemClock()) : clock_(clock) {}
  RateLimit(const RateLimit&) = delete;
  RateLimit& operator=(const RateLimit&) = delete;

  // 0: no cap. May change while requests run: those waiting under the old
  // cap go on within a fraction of a second, and what they owe under it is
  // forgiven (a debt of a low cap is not paid at a higher one).
  void SetBytesPerSecond(uint64_t rate);
  uint64_t bytes_per_second() const { return rate_.load(); }

  // Accounts for bytes just received and waits as long as the cap asks
  // (or until stop). The milliseconds waited.
  DWORD Take(uint64_t bytes, const common::StopSignal* stop);

 private:
  common::Clock& clock_;
  std::atomic<uint64_t> rate_{0};
  std::mutex lock_;
  double tokens_ = 0;  // may go below 0: the debt the next takers wait out
  uint64_t last_ = 0;
  bool started_ = false;
  uint64_t generation_ = 0;  // counts changes of the cap
};

}  // namespace net
