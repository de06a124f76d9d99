#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_set>

#include "foundation/clock.h"
#include "inference/inference_engine.h"

namespace velmo::ai {

// Puts every task in front of the one engine of the process: requests wait in a bounded
// first-in-first-out queue, at most one per task key, and a single worker thread runs them.
class InferenceScheduler {
 public:
  struct Statistics {
    bool ready = false;
    std::string error;
    std::string execution_provider = "unavailable";
    std::string model;
    std::string model_version;
    std::uint64_t queue_depth = 0;
    std::uint64_t max_queue_depth = 0;
    std::uint64_t submitted = 0;
    std::uint64_t completed = 0;
    std::uint64_t failed = 0;
    std::uint64_t dropped = 0;
    double latency_p50_ms = 0.0;
    double latency_p95_ms = 0.0;
    // How long the last runs waited in the queue before their turn: what the shared detector's
    // load costs each task on top of its own run.
    double queue_wait_p50_ms = 0.0;
    double queue_wait_p95_ms = 0.0;
  };

  // Throws std::invalid_argument for an empty factory or a zero capacity. Makes no engine. Queue
  // waits are measured on `clock` (empty: the system clock).
  InferenceScheduler(EngineFactory factory, std::size_t capacity, std::shared_ptr<const Clock> clock = {});
  ~InferenceScheduler();

  InferenceScheduler(const InferenceScheduler&) = delete;
  InferenceScheduler& operator=(const InferenceScheduler&) = delete;
  InferenceScheduler(InferenceScheduler&&) = delete;
  InferenceScheduler& operator=(InferenceScheduler&&) = delete;

  // Makes and warms the engine, then starts the worker. False when that failed (see Statistics::error).
  bool start();
  bool ready() const;
  // Blocks until the worker has run the request; rethrows the engine's own exception.
  InferenceResult infer(const std::string& task_key, VideoFrame frame, const std::optional<Rect>& roi);
  Statistics statistics() const;
  // The running request finishes; waiting ones fail with "inference scheduler stopped". Idempotent.
  void stop();

 private:
  struct Request {
    std::string task_key;
    VideoFrame frame;
    std::optional<Rect> roi;
    std::promise<InferenceResult> promise;
    std::int64_t queued_ms = 0;  // steady
  };

  void worker_loop(std::stop_token token);

  EngineFactory factory_;
  std::size_t capacity_;
  std::shared_ptr<const Clock> clock_;
  // Serialises start and stop with each other, so a start can never replace the engine under a
  // worker that a concurrent stop is still joining. Taken before mutex_.
  std::mutex lifecycle_mutex_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Request> queue_;
  std::unordered_set<std::string> in_flight_;
  std::unique_ptr<InferenceEngine> engine_;
  std::jthread worker_;
  bool running_ = false;
  std::string last_error_;
  std::uint64_t submitted_ = 0;
  std::uint64_t completed_ = 0;
  std::uint64_t failed_ = 0;
  std::uint64_t dropped_ = 0;
  std::deque<double> latencies_;
  std::deque<double> queue_waits_;
};

}  // namespace velmo::ai
