#pragma once
// A clock that moves only as the code under test waits: every wait returns
// at once, the time moved on by what was asked. Things planned for a time
// (a cap changed, a stop asked for) happen as a wait passes it, so a wait
// ends early the way a real one would.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "common/clock.h"

namespace harness {

class FakeClock : public common::Clock {
 public:
  uint64_t NowMs() override {
    std::lock_guard<std::mutex> hold(lock_);
    return now_;
  }
  bool Wait(uint32_t ms, const common::StopSignal* stop) override {
    const uint64_t until = NowMs() + ms;
    for (;;) {
      std::function<void()> due;
      {
        std::lock_guard<std::mutex> hold(lock_);
        const auto next = planned_.begin();
        if (next == planned_.end() || next->first > until) {
          now_ = until;
          break;
        }
        now_ = next->first;
        due = std::move(next->second);
        planned_.erase(next);
      }
      due();
      if (stop != nullptr && stop->load()) return false;
    }
    return stop == nullptr || !stop->load();
  }
  // Runs what at the time given, as a wait passes it.
  void At(uint64_t ms, std::function<void()> what) {
    std::lock_guard<std::mutex> hold(lock_);
    planned_.emplace(ms, std::move(what));
  }

 private:
  std::mutex lock_;
  uint64_t now_ = 1000000;  // far from 0, as a real tick count is
  std::multimap<uint64_t, std::function<void()>> planned_;
};

}  // namespace harness
