#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmo::ai {

// A fixed set of threads, named name_prefix and 1, 2, ..., that run submitted jobs first come,
// first served. submit() may be called from any thread and never waits for a job; a job must not
// throw. Destroying the pool shuts it down.
class WorkerPool {
 public:
  // At least one thread, whatever count says. Throws ServiceUnavailable, with none of its threads
  // left running, when the system refuses one.
  WorkerPool(std::size_t count, const std::string& name_prefix);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void submit(std::function<void()> job);
  // Runs what is queued, then joins; a job submitted once the threads have ended never runs.
  // From one thread, never from a job; later calls do nothing.
  void shutdown();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace velmo::ai
