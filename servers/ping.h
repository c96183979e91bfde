#pragma once
// Round trips to the listed servers' hosts with ICMP echo, for the server
// browser's ping column. Hosts are UTF-16 names or IPv4/IPv6 literals as the
// list gives them.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace servers {

// What a host that did not answer (or could not be resolved) measures.
inline constexpr int kNoAnswer = -1;
// Echo requests out at once, and how long each waits for its answer.
inline constexpr size_t kMaxPingsInFlight = 16;
inline constexpr unsigned long kPingTimeoutMs = 1000;

struct PingResult {
  std::wstring host;
  int ms = kNoAnswer;  // the round trip in milliseconds, or kNoAnswer
};

// One echo to host, resolved first (an IPv4 address is preferred when the
// name has both kinds). The round trip in milliseconds, or kNoAnswer; error,
// when not null, receives 0 for an answer, else the reason: an IP_STATUS
// code (IP_REQ_TIMED_OUT for silence) or a Win32 / Winsock error code (the
// name could not be resolved, ICMP is refused on this system). Blocks for up
// to timeout_ms plus the name look-up.
int PingHost(const std::wstring& host, unsigned long timeout_ms, unsigned long* error = nullptr);

// A batch of results as they arrived; called on the thread of PingHosts.
using PingBatchFn = std::function<void(const std::vector<PingResult>& batch)>;
// Asked before each batch: false stops the run (no further batch, no new
// echo request; those out finish within their time-out).
using KeepGoingFn = std::function<bool()>;

// Measures every distinct host of hosts once (each looked up once), at most
// kMaxPingsInFlight at a time on threads of its own, each with
// kPingTimeoutMs, and reports the results in batches collected over about
// batch_ms. Returns once every started measurement has ended and its result
// has been reported (unless stopped).
void PingHosts(const std::vector<std::wstring>& hosts, const PingBatchFn& report, const KeepGoingFn& keep_going,
               unsigned long batch_ms = 250);

}  // namespace servers
