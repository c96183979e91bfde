#include "net/rate_limit.h"

#include <algorithm>

namespace net {

DWORD RateLimit::Take(uint64_t bytes, const common::StopSignal* stop) {
  const uint64_t rate = rate_.load();
  if (rate == 0) return 0;
  double wait_ms = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const DWORD now = GetTickCount();
    if (!started_) {
      // Nothing in hand to begin with: a run under the cap starts at the cap
      // rather than with a second's burst above it.
      started_ = true;
      tokens_ = 0;
    } else {
      tokens_ = std::min(static_cast<double>(rate), tokens_ + static_cast<double>(rate) * (now - last_) / 1000.0);
    }
    last_ = now;
    tokens_ -= static_cast<double>(bytes);
    if (tokens_ < 0) wait_ms = -tokens_ * 1000.0 / static_cast<double>(rate);
  }
  if (wait_ms < 1) return 0;
  const DWORD wait = static_cast<DWORD>(wait_ms);
  const DWORD started = GetTickCount();
  if (stop != nullptr && stop->event() != nullptr) {
    WaitForSingleObject(stop->event(), wait);
  } else {
    Sleep(wait);
  }
  return GetTickCount() - started;
}

}  // namespace net
