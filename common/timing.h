#pragma once
// How long the launcher waits before it tries again, and the bounds it puts
// on a host. One record for the whole process, so that the test suite can
// run the same paths in milliseconds; a player's launcher keeps the
// defaults (VELMORA_TIMING, read once at start, is how a test sets them in
// the launcher it starts).
#include <cstdint>
#include <string>

namespace common {

struct Timing {
  uint32_t retry_base_ms = 1000;        // the first wait of a back-off; each next one doubles
  uint32_t retry_jitter_percent = 25;   // up to this much of a wait is added at random
  uint32_t retry_after_unit_ms = 1000;  // what one second of a server's Retry-After costs
  uint32_t refetch_wait_ms = 2000;      // before a description pair caught mid-upload is asked again
  uint32_t busy_step_ms = 50;           // the first wait for a file another program holds
  uint32_t connect_limit_ms = 10000;    // a host that does not connect
  uint32_t answer_limit_ms = 15000;     // a host that does not answer a request
  uint32_t list_deadline_ms = 20000;    // the whole server list
  int64_t wall_offset_s = 0;            // added to the system's UTC time: how a test makes it later
};

const Timing& CurrentTiming();
// Before any thread that reads it starts.
void SetTiming(const Timing& timing);

// The wait before try attempt + 1 at a file another program holds: about
// 2 s in all over kBusyTries tries (a scan holds a new file for a moment).
constexpr size_t kBusyTries = 8;
uint32_t BusyWaitMs(size_t attempt);

// "retry=5,jitter=0,retry_after=10,refetch=10,busy=1,connect=2000,answer=2000,list=2000":
// the fields named, in milliseconds (jitter in percent); the rest keep
// their value. False, leaving timing as it was, for a text it cannot read.
[[nodiscard]] bool ParseTiming(const std::wstring& text, Timing& timing);

// VELMORA_TIMING, when it is set and can be read.
void TimingFromEnvironment();

}  // namespace common
