#pragma once
// A cap on the bytes per second of every request that shares it: a token
// bucket holding at most one second's worth, so that the rate is smooth to
// within about a second whatever the number of transfers. Thread-safe.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/stop_signal.h"

namespace net {

class RateLimit {
 public:
  // 0: no cap. May change while requests run.
  void SetBytesPerSecond(uint64_t rate) { rate_.store(rate); }
  uint64_t bytes_per_second() const { return rate_.load(); }

  // Accounts for bytes just received and waits as long as the cap asks
  // (or until stop). The milliseconds waited.
  DWORD Take(uint64_t bytes, const common::StopSignal* stop);

 private:
  std::atomic<uint64_t> rate_{0};
  std::mutex lock_;
  double tokens_ = 0;  // may go below 0: the debt the next takers wait out
  DWORD last_ = 0;
  bool started_ = false;
};

}  // namespace net
