// The health, capabilities and metrics documents of the API.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "analysis/task.h"
#include "foundation/time.h"
#include "foundation/version.h"
#include "inference/cuda_runtime.h"
#include "service/api_server.h"

namespace velmo::ai {

namespace {

constexpr const char* kService = "velmo-ai";
constexpr const char* kPhase = "phase-three-cpu-gpu";

// Taken while the program loads, so that the CPU time getrusage reports (which covers the whole
// process life, start-up and warm-up included) is divided by the time it was spent in.
const std::chrono::steady_clock::time_point kProcessStart = std::chrono::steady_clock::now();

using Seconds = std::chrono::duration<double>;

Seconds cpu_time(const timeval& time) {
  return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
}

double cpu_percent_average() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
  const Seconds cpu = cpu_time(usage.ru_utime) + cpu_time(usage.ru_stime);
  const Seconds elapsed = std::chrono::steady_clock::now() - kProcessStart;
  unsigned threads = std::thread::hardware_concurrency();
  if (threads == 0) threads = 1;
  if (elapsed <= Seconds::zero()) return 0.0;
  return 100.0 * cpu / (elapsed * threads);
}

}  // namespace

ModelValidation ApiServer::model_validation() const {
  std::lock_guard lock(validation_mutex_);
  if (!cached_validation_) {
    cached_validation_ =
        validate_model_package(config_.model.manifest, config_.model.require_signature, config_.model.public_key);
  }
  return *cached_validation_;
}

Json ApiServer::health_json() const {
  const ModelValidation validation = model_validation();

  const TaskManager::Counts tasks = tasks_.counts();
  const InferenceScheduler::Statistics stats = scheduler_.statistics();

  const bool ready = validation.valid && stats.ready;
  const std::string& error = validation.error.empty() ? stats.error : validation.error;
  return Json{{"status", ready && tasks.failed == 0 ? "ok" : "degraded"},
              {"service", kService},
              {"version", kVelmoVersion},
              {"phase", kPhase},
              {"time", unix_millis()},
              {"model",
               {{"ready", ready},
                {"name", validation.manifest.name},
                {"version", validation.manifest.version},
                {"error", error},
                {"execution_provider", stats.execution_provider}}},
              {"active_tasks", static_cast<std::uint64_t>(tasks.tasks)}};
}

Json ApiServer::capabilities_json() const {
  const InferenceScheduler::Statistics stats = scheduler_.statistics();
  return Json{{"service", kService},
              {"version", kVelmoVersion},
              {"phase", kPhase},
              {"max_active_tasks", static_cast<std::uint64_t>(tasks_.capacity())},
              {"stream_protocols", {"rtsp", "rtsps"}},
              {"stream_roles", {"auto", "sub", "main", "custom"}},
              {"rules", Json::array({rule_type_name(RuleType::intrusion)})},
              {"features",
               {{"scene_change", true},
                {"person_detection", true},
                {"tracking", true},
                {"http_events", true},
                {"websocket_detections", true},
                {"multi_channel", true},
                {"shared_inference_scheduler", true},
                {"stream_role_selection", true},
                {"gpu_inference", stats.execution_provider == "CUDAExecutionProvider"},
                {"cuda_runtime_pack_required", true},
                {"cuda_runtime_pack_installed", cuda_runtime_pack_installed()}}},
              {"limits",
               {{"max_channels", config_.ai.max_channels},
                {"max_queue_frames", config_.ai.max_queue_frames},
                {"inference_fps", config_.ai.inference_fps},
                {"active_fps", config_.ai.active_fps},
                {"idle_fps", config_.ai.idle_fps}}}};
}

Json ApiServer::metrics_json() const {
  Json tasks = Json::array();
  for (const auto& snapshot : tasks_.list()) {
    tasks.push_back(Json{{"task_id", snapshot.config.task_id},
                         {"stream_id", snapshot.config.stream_id},
                         {"phase", task_phase_name(snapshot.phase)},
                         {"statistics", task_snapshot_json(snapshot).at("statistics")}});
  }
  const InferenceScheduler::Statistics stats = scheduler_.statistics();
  Json document;
  document["time"] = unix_millis();
  document["process"] =
      Json{{"cpu_percent_average", cpu_percent_average()}, {"working_set_bytes", static_cast<std::uint64_t>(0)}};
  document["active_channels"] = static_cast<std::uint64_t>(tasks_.size());
  document["max_channels"] = static_cast<std::uint64_t>(tasks_.capacity());
  document["inference"] = Json{{"ready", stats.ready},
                               {"error", stats.error},
                               {"execution_provider", stats.execution_provider},
                               {"model", stats.model},
                               {"model_version", stats.model_version},
                               {"queue_depth", stats.queue_depth},
                               {"max_queue_depth", stats.max_queue_depth},
                               {"submitted", stats.submitted},
                               {"completed", stats.completed},
                               {"failed", stats.failed},
                               {"dropped", stats.dropped},
                               {"latency_p50_ms", stats.latency_p50_ms},
                               {"latency_p95_ms", stats.latency_p95_ms},
                               {"queue_wait_p50_ms", stats.queue_wait_p50_ms},
                               {"queue_wait_p95_ms", stats.queue_wait_p95_ms}};
  document["tasks"] = std::move(tasks);
  return document;
}

bool ApiServer::model_ready() const {
  const Json health = health_json();
  return health.at("model").at("ready").get<bool>();
}

}  // namespace velmo::ai
