// Real ICMP echo through the system's ICMP API: loopback answers, a
// documentation address (TEST-NET-2, never routed) never does: it stays
// silent or is reported unreachable. Where this system refuses ICMP to the
// test (Wine needs raw or ping sockets from the host), the tests that need an
// answer say so and are skipped.
#include <windows.h>
#include <gtest/gtest.h>
#include <ipexport.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "servers/ping.h"

using namespace servers;  // the names under test

namespace {

// Why loopback gave no answer, or empty when it answers.
std::string IcmpRefusedReason() {
  unsigned long error = 0;
  if (PingHost(L"127.0.0.1", kPingTimeoutMs, &error) != kNoAnswer) return std::string();
  return "ICMP echo to 127.0.0.1 got no answer here (error " + std::to_string(error) +
         "): this system does not let the test send ICMP (raw sockets, or net.ipv4.ping_group_range)";
}

TEST(PingTest, LoopbackAnswersQuickly) {
  const std::string refused = IcmpRefusedReason();
  if (!refused.empty()) GTEST_SKIP() << refused;
  unsigned long error = 1;
  const int ms = PingHost(L"127.0.0.1", kPingTimeoutMs, &error);
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, static_cast<int>(kPingTimeoutMs));
  EXPECT_EQ(error, 0u);
  // A name is looked up first.
  EXPECT_GE(PingHost(L"localhost", kPingTimeoutMs), 0);
}

TEST(PingTest, WhatNeverAnswersIsNoAnswer) {
  struct Case {
    const wchar_t* host;
    const char* why;
  } cases[] = {
      {L"198.51.100.1", "a documentation address: nobody there"},
      {L"2001:db8::42", "a documentation IPv6 address"},
      {L"no-such-host.invalid", "a name that cannot be resolved"},
      {L"", "no host at all"},
  };
  for (const Case& c : cases) {
    unsigned long error = 0;
    EXPECT_EQ(PingHost(c.host, 300, &error), kNoAnswer) << c.why;
    EXPECT_NE(error, 0u) << c.why;
  }
}

TEST(PingTest, EveryDistinctHostIsReportedOnceInBatches) {
  const bool answers = IcmpRefusedReason().empty();
  // More hosts than may be out at once, with repeats.
  std::vector<std::wstring> hosts;
  for (int i = 0; i < 20; ++i) hosts.push_back(L"198.51.100." + std::to_wstring(i + 1));
  hosts.push_back(L"127.0.0.1");
  hosts.push_back(L"127.0.0.1");
  hosts.push_back(L"198.51.100.1");

  std::map<std::wstring, int> seen;
  int reports = 0;
  int batches = 0;
  PingHosts(
      hosts,
      [&](const std::vector<PingResult>& batch) {
        ++batches;
        EXPECT_FALSE(batch.empty());
        for (const PingResult& r : batch) {
          ++reports;
          seen[r.host] = r.ms;
        }
      },
      [] { return true; });
  EXPECT_EQ(reports, 21) << "each of the 21 distinct hosts once";
  EXPECT_EQ(seen.size(), 21u);
  EXPECT_GE(batches, 1);
  EXPECT_EQ(seen[L"198.51.100.7"], kNoAnswer);
  if (answers) {
    EXPECT_GE(seen[L"127.0.0.1"], 0);
  } else {
    EXPECT_EQ(seen[L"127.0.0.1"], kNoAnswer) << "ICMP is refused here";
  }
}

TEST(PingTest, AStoppedRunReportsNothingMore) {
  std::vector<std::wstring> hosts;
  for (int i = 0; i < 40; ++i) hosts.push_back(L"198.51.100." + std::to_wstring(i + 1));
  int reports = 0;
  int asked = 0;
  int reports_when_stopped = -1;
  PingHosts(
      hosts, [&](const std::vector<PingResult>& batch) { reports += static_cast<int>(batch.size()); },
      [&] {
        if (++asked < 2) return true;
        reports_when_stopped = reports;
        return false;
      },
      50);
  EXPECT_LE(asked, 2) << "not asked again once told to stop";
  if (reports_when_stopped >= 0) {
    EXPECT_EQ(reports, reports_when_stopped) << "nothing reported after the stop";
  }

  // Nothing to measure: no report, no question.
  PingHosts(
      {}, [&](const std::vector<PingResult>&) { ADD_FAILURE() << "reported"; },
      [&] {
        ADD_FAILURE() << "asked";
        return true;
      });
}

}  // namespace
