#include "service/worker_pool.h"

#include <algorithm>
#include <utility>

#include "foundation/thread_name.h"

namespace velmo::ai {

WorkerPool::WorkerPool(std::size_t count, const std::string& name_prefix) {
  for (std::size_t i = 0; i < std::max<std::size_t>(count, 1); ++i) {
    threads_.emplace_back([this, name = name_prefix + std::to_string(i + 1)] {
      set_thread_name(name);
      run();
    });
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
