#include "inference/inference_scheduler.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "foundation/errors.h"
#include "foundation/percentile.h"
#include "foundation/thread_name.h"

namespace velmo::ai {
namespace {

constexpr std::size_t kLatencyWindow = 200;  // runs, for the latencies and the queue waits

void keep_last(std::deque<double>& window, double value) {
  window.push_back(value);
  while (window.size() > kLatencyWindow) window.pop_front();
}

}  // namespace

InferenceScheduler::InferenceScheduler(EngineFactory factory, std::size_t capacity, std::shared_ptr<const Clock> clock)
    : factory_(std::move(factory)), capacity_(capacity), clock_(clock_or_system(std::move(clock))) {
  if (!factory_ || capacity_ == 0) {
    throw std::invalid_argument("invalid inference scheduler configuration");
  }
}

InferenceScheduler::~InferenceScheduler() { stop(); }

bool InferenceScheduler::start() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  // The whole build and warm-up run under the lock: readers wait until the outcome is known.
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return true;
  try {
    engine_ = factory_();
    if (!engine_) throw std::runtime_error("inference factory returned null");
    engine_->warmup();
    last_error_.clear();
    running_ = true;
    worker_ = start_thread<std::jthread>([this](std::stop_token token) { worker_loop(std::move(token)); });
    return true;
  } catch (const std::exception& e) {
    last_error_ = e.what();
    engine_.reset();
    running_ = false;
    return false;
  } catch (...) {
    engine_.reset();
    running_ = false;
    throw;
  }
}

bool InferenceScheduler::ready() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_ && engine_ != nullptr;
}

InferenceResult InferenceScheduler::infer(const std::string& task_key, VideoFrame frame,
                                          const std::optional<Rect>& roi) {
  Request request{task_key, std::move(frame), roi, {}, clock_->steady_ms()};
  std::future<InferenceResult> result = request.promise.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || !engine_) {
      throw std::runtime_error(last_error_.empty() ? "inference scheduler is not ready" : last_error_);
    }
    if (in_flight_.count(task_key) != 0) {
      throw std::runtime_error("task already has an inference request in progress");
    }
    if (queue_.size() >= capacity_) {
      ++dropped_;
      throw std::runtime_error("inference scheduler queue is full");
    }
    in_flight_.insert(task_key);
    ++submitted_;
    queue_.push_back(std::move(request));
    // Woken under the lock: once the request is visible, a stop may fail it and the scheduler may
    // be destroyed, so nothing of `this` may be touched after unlocking.
    wake_.notify_one();
  }
  return result.get();
}

InferenceScheduler::Statistics InferenceScheduler::statistics() const {
  Statistics stats;
  std::vector<double> latencies;
  std::vector<double> waits;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats.ready = running_ && engine_ != nullptr;
    stats.error = last_error_;
    if (engine_) {
      stats.execution_provider = engine_->execution_provider();
      stats.model = engine_->model_name();
      stats.model_version = engine_->model_version();
    }
    stats.queue_depth = queue_.size();
    stats.max_queue_depth = capacity_;
    stats.submitted = submitted_;
    stats.completed = completed_;
    stats.failed = failed_;
    stats.dropped = dropped_;
    latencies.assign(latencies_.begin(), latencies_.end());
    waits.assign(queue_waits_.begin(), queue_waits_.end());
  }
  stats.latency_p50_ms = nearest_rank_percentile(latencies, 0.5);
  stats.latency_p95_ms = nearest_rank_percentile(std::move(latencies), 0.95);
  stats.queue_wait_p50_ms = nearest_rank_percentile(waits, 0.5);
  stats.queue_wait_p95_ms = nearest_rank_percentile(std::move(waits), 0.95);
  return stats;
}

void InferenceScheduler::stop() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  std::deque<Request> abandoned;
  std::jthread worker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ && !worker_.joinable()) return;
    running_ = false;
    abandoned.swap(queue_);
    dropped_ += abandoned.size();
    in_flight_.clear();
    worker = std::move(worker_);
    // Requested under the lock: a worker between its check and its wait cannot miss it.
    if (worker.joinable()) worker.request_stop();
  }
  wake_.notify_all();
  // A detect that is running finishes first and its caller gets the result.
  if (worker.joinable()) worker.join();
  for (Request& request : abandoned) {
    request.promise.set_exception(std::make_exception_ptr(std::runtime_error("inference scheduler stopped")));
  }
  std::unique_ptr<InferenceEngine> engine;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    engine = std::move(engine_);
  }
}

void InferenceScheduler::worker_loop(std::stop_token token) {
  set_thread_name("sched");
  for (;;) {
    std::optional<Request> request;
    InferenceEngine* engine = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return token.stop_requested() || !queue_.empty(); });
      // Whatever still waits is failed by stop.
      if (token.stop_requested()) return;
      request.emplace(std::move(queue_.front()));
      queue_.pop_front();
      keep_last(queue_waits_, static_cast<double>(std::max<std::int64_t>(0, clock_->steady_ms() - request->queued_ms)));
      engine = engine_.get();
    }

    InferenceResult result;
    try {
      result = engine->detect(request->frame, request->roi);
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++failed_;
        in_flight_.erase(request->task_key);
      }
      request->promise.set_exception(std::current_exception());
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++completed_;
      keep_last(latencies_, result.latency_ms);
      in_flight_.erase(request->task_key);
    }
    request->promise.set_value(std::move(result));
  }
}

}  // namespace velmo::ai
