#include "net/rate_limit.h"

#include <algorithm>

namespace net {
namespace {

// How often a taker that waits looks whether the cap changed.
constexpr uint64_t kSliceMs = 100;

}  // namespace

void RateLimit::SetBytesPerSecond(uint64_t rate) {
  std::lock_guard<std::mutex> hold(lock_);
  if (rate == rate_.load()) return;
  rate_.store(rate);
  ++generation_;
  // The new cap starts with nothing in hand and nothing owed.
  started_ = false;
  tokens_ = 0;
}

DWORD RateLimit::Take(uint64_t bytes, const common::StopSignal* stop) {
  uint64_t wait_ms = 0, generation = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const uint64_t rate = rate_.load();
    if (rate == 0) return 0;
    const uint64_t now = clock_.NowMs();
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
    if (tokens_ < 0) wait_ms = static_cast<uint64_t>(-tokens_ * 1000.0 / static_cast<double>(rate));
    generation = generation_;
  }
  if (wait_ms < 1) return 0;
  const uint64_t started = clock_.NowMs();
  for (uint64_t waited = 0; waited < wait_ms; waited = clock_.NowMs() - started) {
    if (!clock_.Wait(static_cast<uint32_t>(std::min(kSliceMs, wait_ms - waited)), stop)) break;
    std::lock_guard<std::mutex> hold(lock_);
    if (generation_ != generation) break;  // another cap, or none: the debt is forgiven
  }
  return static_cast<DWORD>(clock_.NowMs() - started);
}

}  // namespace net
