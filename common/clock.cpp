#include "common/clock.h"

#include <windows.h>

namespace common {
namespace {

class System : public Clock {
 public:
  uint64_t NowMs() override { return GetTickCount64(); }
  bool Wait(uint32_t ms, const StopSignal* stop) override { return WaitOrStop(ms, stop); }
};

}  // namespace

Clock& SystemClock() {
  static System clock;
  return clock;
}

}  // namespace common
