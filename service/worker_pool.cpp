#include "service/worker_pool.h"

#include <algorithm>
#include <utility>

#include "foundation/errors.h"
#include "foundation/thread_name.h"

namespace velmo::ai {

WorkerPool::WorkerPool(std::size_t count, const std::string& name_prefix) {
  const std::size_t wanted = std::max<std::size_t>(count, 1);
  threads_.reserve(wanted);
  try {
    for (std::size_t i = 0; i < wanted; ++i) {
      threads_.push_back(start_thread<std::thread>([this, name = name_prefix + std::to_string(i + 1)] {
        set_thread_name(name);
        run();
      }));
    }
  } catch (...) {
    // No destructor runs for a half-built pool: the threads it got must end here.
    shutdown();
    throw;
  }
}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::submit(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void WorkerPool::shutdown() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
}

void WorkerPool::run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace velmo::ai
