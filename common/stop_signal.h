#pragma once
// A request to stop that a thread can both test and wait for: a flag for
// the loops that look between chunks, and an event for the waits (a retry's
// back-off, a connection, an answer), so a stop is seen at once wherever
// the work stands. Set from any thread.
#include <windows.h>

#include <atomic>

#include "common/unique_handle.h"

namespace common {

class StopSignal {
 public:
  explicit StopSignal(bool set = false) : event_(CreateEventW(nullptr, TRUE, set ? TRUE : FALSE, nullptr)) {
    set_ = set;
  }
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // true asks to stop; false clears the request for the next run.
  StopSignal& operator=(bool set) {
    set_ = set;
    if (event_) (void)(set ? SetEvent(event_.get()) : ResetEvent(event_.get()));
    return *this;
  }
  bool load() const { return set_.load(); }
  // Signalled while a stop is asked for; null only when no event could be
  // made (then only the flag tells).
  HANDLE event() const { return event_.get(); }

 private:
  std::atomic<bool> set_{false};
  UniqueKernelHandle event_;
};

// Waits up to ms; false when stop (which may be null) was asked for first.
[[nodiscard]] inline bool WaitOrStop(unsigned long ms, const StopSignal* stop) {
  if (stop == nullptr) {
    Sleep(ms);
    return true;
  }
  if (stop->event() == nullptr) {
    // No event to wait on: look at the flag in short steps.
    for (unsigned long waited = 0; waited < ms && !stop->load(); waited += 50) Sleep(50);
  } else if (WaitForSingleObject(stop->event(), ms) == WAIT_OBJECT_0) {
    return false;
  }
  return !stop->load();
}

}  // namespace common
