// The worker pool: every job once, what a job throws, threads that cannot
// be had, a stop, and a pool that goes while a job still runs.
#include "common/worker_pool.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

using common::ErrorKind;
using common::WorkerPool;

// Starts threads until `allowed` have started, then refuses as the
// platform does when it has no room for another.
WorkerPool::ThreadStarter Allowing(int allowed, std::atomic<int>& started) {
  return [allowed, &started](std::function<void()> body) {
    if (started >= allowed) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    ++started;
    return std::thread(std::move(body));
  };
}

TEST(WorkerPoolTest, EveryJobRunsOnceWhateverTheThreads) {
  struct Case {
    const char* what;
    int threads_allowed;
    size_t jobs;
    size_t max_threads;
    bool starts;
  };
  const Case cases[] = {
      {"more jobs than threads", 100, 500, 4, true},
      {"fewer jobs than threads", 100, 3, 8, true},
      {"only one thread could be had", 1, 200, 8, true},
      {"no thread could be had", 0, 10, 4, false},
      {"nothing to do", 100, 0, 4, true},
  };
  for (const Case& c : cases) {
    std::atomic<int> started{0};
    std::vector<std::atomic<int>> runs(c.jobs);
    WorkerPool pool(Allowing(c.threads_allowed, started));
    const bool ok = pool.Start(c.jobs, c.max_threads, [&](size_t i) { ++runs[i]; });
    EXPECT_EQ(ok, c.starts) << c.what;
    while (!pool.Wait(1000)) {
    }
    pool.Join();
    EXPECT_LE(started.load(), static_cast<int>(c.max_threads)) << c.what;
    size_t once = 0;
    for (const auto& r : runs) once += r.load() == 1;
    EXPECT_EQ(once, c.starts ? c.jobs : 0) << c.what;
    EXPECT_EQ(pool.failure().kind, c.starts ? ErrorKind::kNone : ErrorKind::kNoMemory) << c.what;
    if (!c.starts) {
      EXPECT_EQ(pool.failure().text, L"not enough memory") << c.what;
    }
  }
}

TEST(WorkerPoolTest, AJobThatThrowsFailsTheRunNotTheProcess) {
  struct Case {
    const char* what;
    std::function<void()> thrower;
    ErrorKind kind;
    const wchar_t* text;
  };
  const Case cases[] = {
      {"an allocation", [] { throw std::bad_alloc(); }, ErrorKind::kNoMemory, L"not enough memory"},
      {"anything else", [] { throw std::runtime_error("broken"); }, ErrorKind::kInternal,
       L"an internal error stopped it"},
      {"not even an exception", [] { throw 7; }, ErrorKind::kInternal, L"an internal error stopped it"},
  };
  for (const Case& c : cases) {
    std::atomic<int> ran{0};
    WorkerPool pool;
    ASSERT_TRUE(pool.Start(50, 4, [&](size_t i) {
      if (i == 10) c.thrower();
      ++ran;
    }));
    while (!pool.Wait(1000)) {
    }
    pool.Join();
    EXPECT_EQ(pool.failure().kind, c.kind) << c.what;
    EXPECT_EQ(pool.failure().text, c.text) << c.what;
    EXPECT_EQ(ran.load(), 49) << c.what << ": the other jobs still ran";
  }
}

TEST(WorkerPoolTest, AStopSkipsWhatHasNotBegunAndWaitsForWhatRuns) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(release, nullptr);
  std::atomic<int> ran{0};
  std::atomic<bool> first_done{false};
  {
    WorkerPool pool;
    ASSERT_TRUE(pool.Start(100, 1, [&](size_t i) {
      if (i == 0) {
        WaitForSingleObject(release, 10000);
        first_done = true;
      }
      ++ran;
    }));
    EXPECT_FALSE(pool.Wait(100)) << "the first job still waits";
    pool.Stop();
    EXPECT_TRUE(pool.stopping());
    SetEvent(release);
    // Leaving the scope joins the thread that runs the first job.
  }
  EXPECT_TRUE(first_done.load()) << "the pool went only after its running job ended";
  EXPECT_EQ(ran.load(), 1) << "jobs not begun at the stop are skipped";
  CloseHandle(release);
}

TEST(WorkerPoolTest, WakeEndsAWaitEarly) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  WorkerPool pool;
  ASSERT_TRUE(pool.Start(1, 1, [&](size_t) { WaitForSingleObject(release, 10000); }));
  std::thread waker([&] {
    Sleep(50);
    pool.Wake();
  });
  const DWORD before = GetTickCount();
  EXPECT_FALSE(pool.Wait(20000));
  EXPECT_LT(GetTickCount() - before, 10000u) << "woken, not timed out";
  waker.join();
  SetEvent(release);
  EXPECT_TRUE(pool.Wait(20000));
  CloseHandle(release);
}

}  // namespace
