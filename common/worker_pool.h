#pragma once
// A bounded set of threads that runs numbered jobs: the hashing of a game
// folder, the transfers of a run, the pings of a server list. It joins every
// thread it started on every path, catches what a job throws (an allocation
// that fails in a worker becomes a failed job, not the end of the process),
// and can be asked to stop: jobs not yet begun are then skipped.
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/error.h"

namespace common {

class WorkerPool {
 public:
  // Runs job(index) for job numbers 0 to count - 1.
  using Job = std::function<void(size_t index)>;
  // Starts one worker thread; throws as std::thread does when none can be
  // had. Replaceable so that a refused thread can be tested.
  using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

  explicit WorkerPool(ThreadStarter starter = ThreadStarter());
  ~WorkerPool();  // stops and joins
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts up to max_threads threads (never more than count) working
  // through the jobs. False when no thread could be started at all: then
  // no job runs, and failure() says so. Once per pool.
  [[nodiscard]] bool Start(size_t count, size_t max_threads, Job job);

  // Waits until every job has ended (true), ms have passed or Wake() was
  // called (false). A caller that reports progress waits in steps.
  bool Wait(unsigned long ms);
  // Ends a Wait early: a job has something to report.
  void Wake();
  // Jobs not yet begun are skipped; those running finish.
  void Stop();
  bool stopping() const;

  // Joins every thread. After this, done() holds.
  void Join();
  bool done() const;

  // The first job that threw, as a failure: kNoMemory "not enough memory"
  // for an allocation, kInternal otherwise; kNone when none did.
  Error failure() const;

 private:
  void Work();

  ThreadStarter starter_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  Job job_;
  size_t count_ = 0;
  size_t next_ = 0;
  size_t running_ = 0;  // threads still in Work()
  bool stop_ = false;
  bool woken_ = false;
  Error failure_;
  std::vector<std::thread> threads_;
};

}  // namespace common
