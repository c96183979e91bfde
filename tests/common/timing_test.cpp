// The timing record the suite runs at: what a VELMORA_TIMING text sets, and
// what it refuses (a refused text changes nothing).
#include <gtest/gtest.h>

#include "common/timing.h"

namespace {

TEST(TimingTest, ATextSetsTheFieldsItNamesOrNothing) {
  const struct {
    const wchar_t* text;
    bool ok;
    uint32_t retry, jitter, answer, busy;
  } cases[] = {
      {L"", true, 1000, 25, 15000, 50},
      {L"retry=5,jitter=0", true, 5, 0, 15000, 50},
      {L"answer=2000,busy=1", true, 1000, 25, 2000, 1},
      {L"retry=5,nosuch=1", false, 1000, 25, 15000, 50},
      {L"retry=", false, 1000, 25, 15000, 50},
      {L"retry=-5", false, 1000, 25, 15000, 50},
      {L"retry=5,,answer=1", false, 1000, 25, 15000, 50},
      {L"retry=1234567890", false, 1000, 25, 15000, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "\"" << std::string(c.text, c.text + wcslen(c.text)) << "\"");
    common::Timing timing;
    EXPECT_EQ(common::ParseTiming(c.text, timing), c.ok);
    EXPECT_EQ(timing.retry_base_ms, c.retry);
    EXPECT_EQ(timing.retry_jitter_percent, c.jitter);
    EXPECT_EQ(timing.answer_limit_ms, c.answer);
    EXPECT_EQ(timing.busy_step_ms, c.busy);
  }
}

TEST(TimingTest, BusyWaitsAddUpToAboutTwoSecondsAtTheDefaultStep) {
  const common::Timing saved = common::CurrentTiming();
  common::SetTiming(common::Timing());
  uint32_t total = 0;
  for (size_t attempt = 0; attempt < common::kBusyTries; ++attempt) total += common::BusyWaitMs(attempt);
  EXPECT_EQ(total, 2000u);
  EXPECT_EQ(common::BusyWaitMs(common::kBusyTries + 3), 400u) << "past the last try, the longest wait";
  common::SetTiming(saved);
}

}  // namespace
