// The back-off between tries of a transfer: doubling from the base, capped,
// with a bounded random part, and a server's Retry-After taken as given up
// to its cap.
#include <gtest/gtest.h>

#include "common/timing.h"
#include "update/hosts/transfer.h"

namespace {

class RetryWaitTest : public ::testing::Test {
 protected:
  common::Timing saved_ = common::CurrentTiming();
  void TearDown() override { common::SetTiming(saved_); }
};

TEST_F(RetryWaitTest, TheScheduleAtTheProductsTiming) {
  common::Timing timing;  // the defaults a player's launcher runs with
  timing.retry_jitter_percent = 0;
  common::SetTiming(timing);
  const struct {
    int retry, retry_after;
    unsigned long wait_ms;
  } cases[] = {
      {0, -1, 1000}, {1, -1, 2000}, {2, -1, 4000},  {5, -1, 32000},  {9, -1, 32000},  // doubling, then capped
      {0, 3, 3000},  {4, 0, 0},     {0, 30, 30000}, {0, 600, 30000},                  // Retry-After, capped at 30 s
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "retry " << c.retry << ", Retry-After " << c.retry_after);
    EXPECT_EQ(update::RetryWaitMs(c.retry, c.retry_after), c.wait_ms);
  }
}

TEST_F(RetryWaitTest, TheRandomPartStaysWithinItsShare) {
  common::SetTiming(common::Timing());
  unsigned long lowest = ~0ul, highest = 0;
  for (int i = 0; i < 400; ++i) {
    const unsigned long wait = update::RetryWaitMs(1, -1);
    lowest = std::min(lowest, wait);
    highest = std::max(highest, wait);
  }
  EXPECT_GE(lowest, 2000u);
  EXPECT_LT(highest, 2500u);
  EXPECT_GT(highest, lowest) << "two launchers that failed together do not come back together";
}

}  // namespace
