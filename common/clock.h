#pragma once
// Time as the launcher reads it and waits for it: the system's in the
// product. A test gives its own, which moves only as the code waits, so
// that a schedule (a cap's waits, a back-off) is checked exactly, at once.
#include <cstdint>

#include "common/stop_signal.h"

namespace common {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on a steady count.
  virtual uint64_t NowMs() = 0;
  // Waits ms; false, sooner, when stop (which may be null) is asked for.
  [[nodiscard]] virtual bool Wait(uint32_t ms, const StopSignal* stop) = 0;
};

Clock& SystemClock();

}  // namespace common
