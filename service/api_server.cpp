#include "service/api_server.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/task.h"
#include "foundation/errors.h"
#include "foundation/log.h"
#include "foundation/url.h"
#include "service/http_transport.h"

namespace velmo::ai {

namespace {

constexpr int kMaxJsonDepth = 64;

// Documents nested deeper than anything the API takes are refused before parsing: the parser
// would build every level first, some twenty bytes of memory for each byte of "[[[[".
void check_json_depth(const std::string& text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) {
        throw InvalidInput("invalid JSON: nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

Json parse_body(const std::string& body) {
  check_json_depth(body);
  return parse_json(body);
}

// The message is made valid UTF-8 first: a parser message may quote the offending bytes.
Json error_json(const std::string& code, const std::string& message) {
  const std::string quoted = Json(message).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return Json{{"error", {{"code", code}, {"message", parse_json(quoted).get<std::string>()}}}};
}

// Invalid UTF-8 (a configured path quoted in a model error, say) is written replaced, so a
// document is never lost to one odd byte.
void set_json(HttpResponse& response, unsigned status, const Json& value) {
  response.status = status;
  response.body = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  response.content_type = "application/json; charset=utf-8";
}

// An answer that refuses the request: the error body, and the message for the transport's log.
void set_error(HttpResponse& response, unsigned status, const std::string& code, const std::string& message) {
  set_json(response, status, error_json(code, message));
  response.refusal = message;
}

void answer_not_found(HttpResponse& response) { set_error(response, 404, "not_found", "task not found"); }

// The routes that change tasks, each with its own answers to failures.
enum class TaskRoute { create, replace, remove };

struct FailureAnswer {
  unsigned status;
  const char* code;
};

// How `route` answers the failure being handled (call from inside a catch block); empty where the
// route leaves it to the transport, which answers 500 without a body. Only the system's own error
// types carry a status of their own: any other exception, a standard one from a stray `.at()`
// included, is an internal error.
std::optional<FailureAnswer> task_failure_answer(TaskRoute route) {
  const bool deleting = route == TaskRoute::remove;
  try {
    throw;
  } catch (const TaskNotFound&) {
    // POST names no existing task, so there an unknown one is the service's own fault.
    if (route != TaskRoute::create) return FailureAnswer{404, "not_found"};
  } catch (const InvalidInput&) {
    if (!deleting) return FailureAnswer{400, "invalid_request"};
  } catch (const TaskConflict&) {
    if (!deleting) return FailureAnswer{409, "task_conflict"};
  } catch (const ServiceUnavailable&) {
    if (!deleting) return FailureAnswer{503, "service_unavailable"};
  } catch (...) {
  }
  if (deleting) return std::nullopt;
  return FailureAnswer{500, "internal_error"};
}

// Runs the work of a task route and answers its failure as the route does.
template <class Work>
void run_task_route(TaskRoute route, HttpResponse& response, Work&& work) {
  try {
    work();
  } catch (const std::exception& e) {
    const std::optional<FailureAnswer> answer = task_failure_answer(route);
    if (!answer) throw;
    set_error(response, answer->status, answer->code, e.what());
  }
}

void answer_model_unavailable(HttpResponse& response) {
  set_error(response, 503, "model_unavailable", "a validated and warmed model package is required");
}

void answer_shutting_down(HttpResponse& response) {
  set_error(response, 503, "shutting_down", "the service is shutting down");
}

// What a client may read of a task: any web page on the machine can, so no password or query
// secret of a URL is served; the runner keeps the real URLs.
Json served_status_json(TaskSnapshot snapshot) {
  TaskConfig& config = snapshot.config;
  for (std::string* url :
       {&config.stream_url, &config.streams.main, &config.streams.sub, &config.streams.custom, &config.callback_url}) {
    *url = mask_url_secrets(*url);
  }
  return task_snapshot_json(snapshot);
}

// The answer to an accepted POST or PUT. Callers may send keys of their own, so unknown keys are
// named, in the log and in the answer, rather than refused: a mistyped one is no silent no-op.
void answer_task(HttpResponse& response, unsigned status, const TaskSnapshot& snapshot,
                 const std::vector<std::string>& ignored_keys) {
  Json body = served_status_json(snapshot);
  if (!ignored_keys.empty()) {
    std::string keys;
    for (const std::string& key : ignored_keys) keys += (keys.empty() ? "" : ", ") + key;
    log(LogLevel::warn, "api: unknown task keys ignored", {{"task_id", snapshot.config.task_id}, {"keys", keys}});
    body["ignored_keys"] = ignored_keys;
  }
  set_json(response, status, body);
}

}  // namespace

ApiServer::ApiServer(AppConfig config, TaskManager& tasks, DetectionHub& hub, InferenceScheduler& scheduler)
    : config_(std::move(config)),
      tasks_(tasks),
      hub_(hub),
      scheduler_(scheduler),
      server_(std::make_unique<HttpTransport>(build_routes())) {}

ApiServer::~ApiServer() {
  stop();
  std::lock_guard lock(validation_mutex_);
  cached_validation_.reset();
}

HttpRoutes ApiServer::build_routes() {
  HttpRoutes routes;
  routes.set_default_headers({{"Access-Control-Allow-Origin", "*"},
                              {"Access-Control-Allow-Methods", "GET, POST, PUT, DELETE, OPTIONS"},
                              {"Access-Control-Allow-Headers", "Content-Type"},
                              {"Access-Control-Allow-Private-Network", "true"}});

  // Preflights and health are asked often, health mostly on a fresh connection each time: both
  // are answered on the I/O thread, which saves the hand-off to a worker and back.
  routes.add_route(
      HttpMethod::options, "/.*", [](const HttpRequest&, HttpResponse& res) { res.status = 204; },
      HttpRoutes::Pool::io);

  // Fit for the I/O thread: the package check ran in start(), so health copies its result, and
  // otherwise waits only for locks held for moments. The task manager's is held while a runner is
  // built and started (its threads started, nothing waited for; stopping runs outside it), each
  // runner's while its status is copied or updated; the scheduler's while its statistics are
  // copied or a request queued, and through the engine's build and warm-up, which are over before
  // the server starts.
  routes.add_route(
      HttpMethod::get, "/v1/health",
      [this](const HttpRequest&, HttpResponse& res) {
        const Json health = health_json();
        set_json(res, health.at("status") == "ok" ? 200 : 503, health);
      },
      HttpRoutes::Pool::io);
  routes.add_route(HttpMethod::get, "/v1/capabilities",
                   [this](const HttpRequest&, HttpResponse& res) { set_json(res, 200, capabilities_json()); });
  routes.add_route(HttpMethod::get, "/v1/metrics",
                   [this](const HttpRequest&, HttpResponse& res) { set_json(res, 200, metrics_json()); });

  routes.add_route(HttpMethod::get, "/v1/tasks", [this](const HttpRequest&, HttpResponse& res) {
    Json list = Json::array();
    for (const auto& snapshot : tasks_.list()) list.push_back(served_status_json(snapshot));
    const auto count = static_cast<std::uint64_t>(list.size());
    set_json(res, 200, Json{{"count", count}, {"tasks", std::move(list)}});
  });

  routes.add_route(HttpMethod::get, "/v1/tasks/([^/]+)", [this](const HttpRequest& req, HttpResponse& res) {
    const auto snapshot = tasks_.get(req.captures.at(1));
    if (!snapshot) {
      answer_not_found(res);
      return;
    }
    set_json(res, 200, served_status_json(*snapshot));
  });

  // Creating a task is quick; replacing or deleting one waits for a task to stop, so those run
  // on workers of their own and never hold up the other routes.
  routes.add_route(HttpMethod::post, "/v1/tasks", [this](const HttpRequest& req, HttpResponse& res) {
    run_task_route(TaskRoute::create, res, [&] {
      if (refuse_task_change(res)) return;
      const Json body = parse_body(req.body);
      const TaskConfig config = parse_task_config(body);
      tasks_.create(config);
      const auto snapshot = tasks_.get(config.task_id);
      if (!snapshot) {
        answer_not_found(res);  // removed again before it could be read
        return;
      }
      answer_task(res, 201, *snapshot, ignored_task_keys(body));
    });
  });

  routes.add_route(
      HttpMethod::put, "/v1/tasks/([^/]+)",
      [this](const HttpRequest& req, HttpResponse& res) {
        run_task_route(TaskRoute::replace, res, [&] {
          if (refuse_task_change(res)) return;
          const std::string& task_id = req.captures.at(1);
          const Json body = parse_body(req.body);
          const TaskConfig config = parse_task_config(body);
          if (config.task_id != task_id) throw InvalidInput("task_id in path and body must match");
          answer_task(res, 200, tasks_.replace(task_id, config), ignored_task_keys(body));
        });
      },
      HttpRoutes::Pool::blocking);

  routes.add_route(
      HttpMethod::delete_, "/v1/tasks/([^/]+)",
      [this](const HttpRequest& req, HttpResponse& res) {
        run_task_route(TaskRoute::remove, res, [&] {
          tasks_.remove(req.captures.at(1));
          set_json(res, 200, Json{{"deleted", true}});
        });
      },
      HttpRoutes::Pool::blocking);

  routes.add_websocket("/v1/streams/([^/]+)/detections",
                       [this](WebSocketConnection& socket, const std::vector<std::string>& captures) {
                         const std::string& stream_id = captures.at(1);
                         const std::uint64_t id = hub_.subscribe(stream_id, socket);
                         std::function<void()> on_end = [this, id] { hub_.unsubscribe(id); };
                         std::string greeting;
                         try {
                           greeting = dump_json(Json{{"stream_id", stream_id}, {"type", "connected"}});
                         } catch (const std::exception&) {
                           // A stream id that is not valid UTF-8 cannot be named in JSON.
                           socket.close(kClosePolicyViolation, "stream id is not valid UTF-8");
                           return on_end;
                         }
                         try {
                           if (socket.is_open()) socket.send_text(greeting);
                         } catch (const std::exception&) {
                           socket.close(kCloseInternalError, "");
                         }
                         return on_end;
                       });
  return routes;
}

void ApiServer::begin_shutdown() { shutting_down_ = true; }

void ApiServer::refuse_tasks_when(std::function<bool()> stop_requested) { stop_requested_ = std::move(stop_requested); }

bool ApiServer::refuse_task_change(HttpResponse& response) const {
  if (refusing_tasks()) {
    answer_shutting_down(response);
    return true;
  }
  if (!model_ready()) {
    answer_model_unavailable(response);
    return true;
  }
  return false;
}

bool ApiServer::refusing_tasks() const { return shutting_down_.load() || (stop_requested_ && stop_requested_()); }

bool ApiServer::start() {
  if (running_.load()) return true;
  // Hashing the model file is no work for a request, least of all for health on the I/O thread.
  (void)model_validation();
  const std::string port = std::to_string(config_.server_port);
  std::string error;
  if (!server_->bind(config_.server_host, config_.server_port, error)) {
    log(LogLevel::error, "api: bind failed", {{"host", config_.server_host}, {"port", port}, {"err", error}});
    return false;
  }
  stop_begun_ = false;
  server_thread_ = start_thread<std::thread>([this] { server_->run(); });
  running_ = true;
  log(LogLevel::info, "api: server listening", {{"host", config_.server_host}, {"port", port}});
  return true;
}

void ApiServer::begin_stop() {
  shutting_down_ = true;
  if (!running_.load() || stop_begun_.exchange(true)) return;
  hub_.close_all();
  server_->stop();
}

void ApiServer::stop() {
  begin_stop();
  if (!running_.exchange(false)) return;
  if (server_thread_.joinable()) server_thread_.join();
}

}  // namespace velmo::ai
