// Fetching the list over the real fetcher from the stand-in list service
// (tests/support/list_service.py) on loopback.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/timing.h"
#include "servers/server_list.h"
#include "tests/support/harness.h"
#include "tests/support/list_service_client.h"

using namespace servers;  // the names under test

namespace {

class FetchServerListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(harness::ListServicePort(), 0) << "the list_service fixture did not run"; }

  // The caller's list before a fetch, to tell a kept list from a replaced one.
  std::vector<ServerRecord> list_ = [] {
    ServerRecord r;
    r.name = L"previous";
    r.host = L"old-host";
    r.port = 1;
    return std::vector<ServerRecord>{r};
  }();
  std::wstring error_;

  void ExpectKept(const std::wstring& expected_error) {
    EXPECT_EQ(error_, expected_error);
    ASSERT_EQ(list_.size(), 1u);
    EXPECT_EQ(list_[0].name, L"previous");
  }
};

TEST_F(FetchServerListTest, TheServicesDefaultList) {
  ASSERT_TRUE(FetchServerList(harness::ListServiceUrl(L"/api/servers"), list_, error_)) << harness::Narrow(error_);
  EXPECT_EQ(error_, L"");
  ASSERT_EQ(list_.size(), 5u);
  const ServerRecord& first = list_[0];
  EXPECT_EQ(first.name, L"Night Shift");
  EXPECT_EQ(ServerAddress(first), L"lobby:27015");
  EXPECT_EQ(first.players, 3);
  EXPECT_EQ(first.maxPlayers, 16);
  EXPECT_TRUE(first.verified);
  EXPECT_EQ(first.tags, (std::vector<std::wstring>{L"rp", L"eu"}));
  EXPECT_EQ(list_[2].name,
            L"Br\xFC"
            L"cke der Nacht")
      << "UTF-8 over the wire";
  EXPECT_EQ(ServerAddress(list_[3]), L"[2001:db8::42]:7777");
}

// A 404 keeps the list the caller had and carries the fetcher's text.
TEST_F(FetchServerListTest, FailedFetchKeepsTheCallersList) {
  EXPECT_FALSE(FetchServerList(harness::ListServiceUrl(L"/status/404"), list_, error_));
  ExpectKept(L"server answered 404");
  error_.clear();
  EXPECT_FALSE(FetchServerList(harness::ListServiceUrl(L"/status/503"), list_, error_));
  ExpectKept(L"server answered 503");
}

TEST_F(FetchServerListTest, AnswersThatAreNotJsonKeepTheCallersList) {
  const std::wstring urls[] = {
      harness::ListServiceUrl(L"/api/servers?bom=1"),
      harness::ListEchoUrl(""),
      harness::ListEchoUrl("{\"servers\":[]}<!-- cached -->"),
      harness::ListEchoUrl("<html><body>Bad gateway</body></html>"),
  };
  for (const std::wstring& url : urls) {
    error_.clear();
    EXPECT_FALSE(FetchServerList(url, list_, error_)) << harness::Narrow(url);
    ExpectKept(L"the list answered with something that is not json");
  }
}

// The body's bytes reach the reader exactly: invalid UTF-8 shows as U+FFFD,
// control characters as blanks.
TEST_F(FetchServerListTest, BodyBytesReachTheReaderUnchanged) {
  ASSERT_TRUE(FetchServerList(
      harness::ListEchoUrl("{\"servers\":[{\"name\":\"\xFF\xFE\tx\",\"host\":\"::1\",\"port\":7777}]}"), list_, error_))
      << harness::Narrow(error_);
  ASSERT_EQ(list_.size(), 1u);
  EXPECT_EQ(list_[0].name, L"\xFFFD\xFFFD x");
  EXPECT_EQ(ServerAddress(list_[0]), L"[::1]:7777");

  ASSERT_TRUE(FetchServerList(harness::ListEchoUrl("{\"motd\":\"hi\"}"), list_, error_));
  EXPECT_TRUE(list_.empty()) << "no servers array: success with an empty list";
}

TEST_F(FetchServerListTest, ALargeList) {
  ASSERT_TRUE(FetchServerList(harness::ListServiceUrl(L"/generate?count=10000&seed=3"), list_, error_))
      << harness::Narrow(error_);
  ASSERT_EQ(list_.size(), 10000u);
  EXPECT_EQ(list_[9999].name.substr(list_[9999].name.size() - 5), L"#9999");
}

// Nothing listening: the fetcher's own failure text, the list kept.
TEST_F(FetchServerListTest, NoServiceAtTheAddress) {
  EXPECT_FALSE(FetchServerList(L"http://127.0.0.1:9/api/servers", list_, error_));
  EXPECT_EQ(error_, L"the connection was refused: nothing answers at that address and port (win32 12029)");
  ASSERT_EQ(list_.size(), 1u);
  EXPECT_EQ(list_[0].name, L"previous");
}

// Over plain http anyone on the way can answer. Whatever shape the answer
// has, the refresh fails cleanly or reads a bounded list, and this process
// never needs more than a bounded amount of memory for it.
TEST_F(FetchServerListTest, HostileListsAreBoundedInMemory) {
  const struct {
    const char* shape;
    int mib;
    bool ok;
    std::wstring error;
    size_t records;
  } cases[] = {
      {"zeros", 7, false, L"the list answered with something that is not json", 0},
      {"objects", 7, false, L"the list answered with something that is not json", 0},
      {"string", 7, true, L"", 0},
      {"records", 7, true, L"", servers::kMaxRecords},
      {"zeros", 20, false, L"the download is too large", 0},
      {"objects", 60, false, L"the download is too large", 0},
  };
  // 60 MiB take their time: to be made, and to arrive.
  harness::ProductTiming whole_deadline(L"connect=10000,answer=15000,list=20000");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.shape) + " " + std::to_string(c.mib) + " MiB");
    list_.assign(1, ServerRecord());
    error_.clear();
    const std::wstring url = harness::ListServiceUrl(L"/hostile?shape=" + harness::Widen(c.shape) + L"&bytes=" +
                                                     std::to_wstring(c.mib << 20));
    EXPECT_EQ(FetchServerList(url, list_, error_), c.ok);
    EXPECT_EQ(error_, c.error);
    EXPECT_EQ(list_.size(), c.ok ? c.records : 1u) << "a failed refresh keeps the caller's list";
  }
  list_.clear();
  list_.shrink_to_fit();
  // The whole process, test framework included: a 32-bit process has 2 GB,
  // and before the bounds a 20 MiB list asked for more than that.
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory));
  std::printf("peak working set after the hostile lists: %u MiB\n",
              static_cast<unsigned>(memory.PeakWorkingSetSize >> 20));
  EXPECT_LT(memory.PeakWorkingSetSize, 256u << 20)
      << "peak working set: " << (memory.PeakWorkingSetSize >> 20) << " MiB";
}

// Over plain http anyone on the way can answer and then drip a byte now and
// then: the fetch ends at its deadline, or at once when it is stopped.
TEST_F(FetchServerListTest, ADrippingAnswerEndsAtTheDeadlineOrAtAStop) {
  const uint32_t deadline = common::CurrentTiming().list_deadline_ms;
  DWORD start = GetTickCount();
  EXPECT_FALSE(FetchServerList(harness::ListServiceUrl(L"/drip?seconds=1"), list_, error_));
  EXPECT_LT(GetTickCount() - start, deadline + 10000) << "bounded by the deadline, not the 120 s drip";
  EXPECT_GE(GetTickCount() - start, deadline - 1000);
  ExpectKept(L"the server took too long");

  common::StopSignal stop;
  const std::wstring tag = L"stopped-" + std::to_wstring(GetTickCount());
  std::thread stopper([&] {
    // Once the answer has begun.
    for (DWORD waited = GetTickCount(); harness::ListRequestsTagged(tag) < 1 && GetTickCount() - waited < 20000;) {
      Sleep(20);
    }
    stop = true;
  });
  start = GetTickCount();
  EXPECT_FALSE(FetchServerList(harness::ListServiceUrl(L"/drip?seconds=2&tag=" + tag), list_, error_, &stop));
  stopper.join();
  EXPECT_LT(GetTickCount() - start, 5000u) << "ended at the stop";
  ExpectKept(L"the download was stopped");
}

}  // namespace
