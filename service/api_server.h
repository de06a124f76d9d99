#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "foundation/config.h"
#include "foundation/json.h"
#include "inference/inference_scheduler.h"
#include "inference/manifest.h"
#include "service/detection_hub.h"
#include "service/task_manager.h"

namespace velmo::ai {

class HttpRoutes;
class HttpTransport;
struct HttpResponse;

// The service's HTTP and WebSocket front end: the task routes, the health, capabilities and
// metrics documents, and the detection stream of each stream id. Every response carries the
// cross-origin headers; task failures map to a status and a JSON error body per route.
class ApiServer {
 public:
  // Registers the routes; nothing is bound until start().
  ApiServer(AppConfig config, TaskManager& tasks, DetectionHub& hub, InferenceScheduler& scheduler);
  // Stops a running server.
  ~ApiServer();
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Checks the model package (hashing the model file) unless done before, binds
  // Server.Host:Server.Port and serves on a thread of its own. False (and logged) when the address
  // cannot be bound; true when serving, also when it already was. Throws ServiceUnavailable, with
  // nothing left running, when the system refuses a thread.
  bool start();
  // Closes the WebSocket connections with status 1000, stops accepting and returns once every
  // handler has ended. Does nothing when not running.
  void stop();
  // What stop() begins, without waiting: refuses tasks, closes the WebSocket connections with 1000
  // and stops accepting, so that their close handshakes run while the tasks stop; stop() then
  // waits for the rest. Does nothing when not running.
  void begin_stop();
  bool running() const { return running_.load(); }
  // From now on POST and PUT of tasks answer 503 "shutting_down"; everything else is served
  // until stop().
  void begin_shutdown();
  // The same refusal whenever `stop_requested` says so, asked on every POST and PUT (from any
  // worker, so it must be thread-safe): shutdown can begin at a signal, before the main thread
  // gets to begin_shutdown(). Call before start().
  void refuse_tasks_when(std::function<bool()> stop_requested);

 private:
  // Called once, by the constructor; the handlers call back into this object.
  HttpRoutes build_routes();
  // The package check: run by the first call, which start() makes before serving; its result is
  // kept for the server's life.
  ModelValidation model_validation() const;
  Json health_json() const;
  Json capabilities_json() const;
  Json metrics_json() const;
  bool model_ready() const;
  bool refusing_tasks() const;
  // Answers a POST or PUT that must not start a task now (shutting down, no model); true if it did.
  bool refuse_task_change(HttpResponse& response) const;

  AppConfig config_;
  TaskManager& tasks_;
  DetectionHub& hub_;
  InferenceScheduler& scheduler_;
  std::unique_ptr<HttpTransport> server_;
  std::thread server_thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> shutting_down_{false};
  std::atomic<bool> stop_begun_{false};
  std::function<bool()> stop_requested_;
  mutable std::mutex validation_mutex_;
  mutable std::optional<ModelValidation> cached_validation_;
};

}  // namespace velmo::ai
