#include "common/worker_pool.h"

#include <chrono>
#include <new>

#include "common/texts.h"

namespace common {

WorkerPool::WorkerPool(ThreadStarter starter) : starter_(std::move(starter)) {
  if (!starter_) starter_ = [](std::function<void()> body) { return std::thread(std::move(body)); };
}

WorkerPool::~WorkerPool() {
  Stop();
  Join();
}

bool WorkerPool::Start(size_t count, size_t max_threads, Job job) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    job_ = std::move(job);
    count_ = count;
  }
  const size_t wanted = std::min(count, std::max<size_t>(1, max_threads));
  for (size_t i = 0; i < wanted; ++i) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++running_;
    }
    try {
      threads_.push_back(starter_([this] { Work(); }));
    } catch (...) {
      // Fewer threads than asked for still do every job; none at all is a
      // failure of the whole run.
      std::lock_guard<std::mutex> hold(lock_);
      --running_;
      break;
    }
  }
  std::lock_guard<std::mutex> hold(lock_);
  if (threads_.empty() && count > 0) {
    failure_.Set(ErrorKind::kNoMemory, Tr(L"not enough memory"));
    count_ = 0;
    return false;
  }
  return true;
}

void WorkerPool::Work() {
  for (;;) {
    size_t index = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stop_ || next_ >= count_) break;
      index = next_++;
    }
    try {
      job_(index);
    } catch (const std::bad_alloc&) {
      std::lock_guard<std::mutex> hold(lock_);
      if (!failure_.failed()) failure_.kind = ErrorKind::kNoMemory;  // no text built here: memory is short
    } catch (...) {
      std::lock_guard<std::mutex> hold(lock_);
      if (!failure_.failed()) failure_.kind = ErrorKind::kInternal;
    }
  }
  std::lock_guard<std::mutex> hold(lock_);
  --running_;
  changed_.notify_all();
}

bool WorkerPool::Wait(unsigned long ms) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return running_ == 0 || woken_; });
  woken_ = false;
  return running_ == 0;
}

void WorkerPool::Wake() {
  std::lock_guard<std::mutex> hold(lock_);
  woken_ = true;
  changed_.notify_all();
}

void WorkerPool::Stop() {
  std::lock_guard<std::mutex> hold(lock_);
  stop_ = true;
  changed_.notify_all();
}

bool WorkerPool::stopping() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stop_;
}

void WorkerPool::Join() {
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
}

bool WorkerPool::done() const {
  std::lock_guard<std::mutex> hold(lock_);
  return running_ == 0;
}

Error WorkerPool::failure() const {
  std::lock_guard<std::mutex> hold(lock_);
  Error failure = failure_;
  if (failure.kind == ErrorKind::kNoMemory && failure.text.empty()) failure.text = Tr(L"not enough memory");
  if (failure.kind == ErrorKind::kInternal && failure.text.empty()) failure.text = Tr(L"an internal error stopped it");
  return failure;
}

}  // namespace common
