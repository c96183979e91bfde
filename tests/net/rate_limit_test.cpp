// The download cap on a clock of the test's own: how long a run of takes
// waits under a cap, and what a cap changed while takers wait does (they
// go on at once, and what they owed under the old cap is forgiven).
#include <gtest/gtest.h>

#include <vector>

#include "net/rate_limit.h"
#include "tests/support/fake_clock.h"

namespace {

TEST(RateLimit, WaitsAsTheCapSays) {
  constexpr uint64_t kKiB = 1024;
  const struct {
    const char* what;
    uint64_t cap;  // bytes per second at the start
    std::vector<uint64_t> takes;
    std::vector<std::pair<uint64_t, uint64_t>> changes;  // (ms after the start, new cap)
    uint64_t elapsed_ms;                                 // until the last take returned
  } rows[] = {
      {"no cap", 0, std::vector<uint64_t>(50, 64 * kKiB), {}, 0},
      {"a steady cap: nothing in hand at the start, no burst",
       100 * kKiB,
       std::vector<uint64_t>(50, 10 * kKiB),
       {},
       5000},
      {"takes of any size add up", 1000, {250, 750, 2000, 1000}, {}, 4000},
      {"raised while a take waits: it goes on at once, its debt forgiven", 1000, {10000}, {{1000, 1000000}}, 1000},
      {"removed while a take waits", 1000, {10000}, {{500, 0}}, 500},
      {"lowered: later takes keep to the lower cap", 10000, {10000, 10000}, {{500, 1000}}, 10500},
      {"raised: later takes run at the new cap",
       1000,
       {10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000},
       {{1000, 100000}},
       2000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    harness::FakeClock clock;
    net::RateLimit limit(clock);
    limit.SetBytesPerSecond(row.cap);
    const uint64_t start = clock.NowMs();
    for (const auto& change : row.changes) {
      clock.At(start + change.first, [&limit, cap = change.second] { limit.SetBytesPerSecond(cap); });
    }
    uint64_t waited = 0;
    for (uint64_t bytes : row.takes) waited += limit.Take(bytes, nullptr);
    const uint64_t elapsed = clock.NowMs() - start;
    EXPECT_EQ(waited, elapsed) << "every millisecond is a wait";
    // A change is seen within one look (100 ms); sums of truncated waits
    // lose at most a millisecond a take.
    EXPECT_GE(elapsed + row.takes.size(), row.elapsed_ms);
    EXPECT_LE(elapsed, row.elapsed_ms + (row.changes.empty() ? 0 : 100));
  }
}

TEST(RateLimit, AStopEndsAWait) {
  harness::FakeClock clock;
  net::RateLimit limit(clock);
  limit.SetBytesPerSecond(1000);
  common::StopSignal stop;
  clock.At(clock.NowMs() + 300, [&stop] { stop = true; });
  EXPECT_EQ(limit.Take(60000, &stop), 300u);
}

}  // namespace
