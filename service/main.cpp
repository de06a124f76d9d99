// velmo-ai: the analysis service's entry point.
#include <malloc.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

#include "analysis/analysis_pipeline.h"
#include "foundation/config.h"
#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/version.h"
#include "inference/auto_provider_engine.h"
#include "inference/inference_scheduler.h"
#include "service/api_server.h"
#include "service/detection_hub.h"
#include "service/task_manager.h"

namespace velmo::ai {
namespace {


std::atomic<bool> g_running{true};

struct Arguments {
  std::filesystem::path config_path = "config.toml";
  std::string host;
  int port = 0;
  bool port_given = false;
  bool version_requested = false;
};

void print_usage() {
  std::cout << "Usage: velmo-ai --config <path> [--host <host>] [--port <port>]\n"
            << "       velmo-ai --version\n";
  std::cout.flush();
}

void handle_signal(int) { g_running.store(false); }

int parse_port(const std::string& text) {
  size_t used = 0;
  int value = std::stoi(text, &used, 10);
  if (used != text.size() || !valid_port(value)) {
    throw std::invalid_argument(std::string("--port must be in ") + kPortRangeText);
  }
  return value;
}

// Returns false when "--help" asked the process to end at once.
bool parse_arguments(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--config" && has_value) {
      args.config_path = argv[++i];
    } else if (arg == "--host" && has_value) {
      args.host = argv[++i];
    } else if (arg == "--port" && has_value) {
      args.port = parse_port(argv[++i]);
      args.port_given = true;
    } else if (arg == "--version") {
      args.version_requested = true;
    } else if (arg == "--help" || arg == "-h") {
      print_usage();
      return false;
    } else {
      throw std::invalid_argument("unknown argument: " + arg);
    }
  }
  return true;
}

// Sleeps 200 ms; a signal that interrupts the sleep lets it finish the remaining time.
void sleep_poll_interval() {
  timespec request{0, 200000000};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = handle_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int run(int argc, char** argv) {
  Arguments args;
  if (!parse_arguments(argc, argv, args)) return 0;
  if (args.version_requested) {
    std::cout << "velmo-ai " << kVelmoVersion << "\n";
    return 0;
  }

  AppConfig config = load_config(args.config_path);
  if (!args.host.empty()) config.server_host = args.host;
  if (args.port_given) config.server_port = static_cast<std::uint16_t>(args.port);
  validate_config(config);
  set_log_level(config.logging_level);

  if (!config.ai.enabled) {
    log(LogLevel::info, "cli: analysis disabled",
        {{"reason", "set AI.Enabled=true before launching velmo-ai"}});
    return 0;
  }

  // Built in this order and destroyed in reverse on every path out of this function, so a
  // throwing constructor leaves nothing running when the guard in main reports it.
  const std::size_t capacity = static_cast<std::size_t>(config.ai.max_channels);
  InferenceScheduler scheduler(
      [&config]() -> std::unique_ptr<InferenceEngine> {
        return std::make_unique<AutoProviderEngine>(config.model, config.model.require_signature,
                                                    config.ai.device, config.ai.inference_threads);
      },
      capacity);
  if (!scheduler.start()) {
    log(LogLevel::warn, "inference: shared scheduler unavailable", {{"err", scheduler.statistics().error}});
  }
  DetectionHub hub;
  TaskManager tasks(capacity, [&config, &hub, &scheduler](const TaskConfig& task) -> std::unique_ptr<TaskRunner> {
    return std::make_unique<AnalysisPipeline>(task, config.ai, scheduler,
                                              [&hub](const Json& message) { hub.publish(message); });
  });
  ApiServer api(config, tasks, hub, scheduler);
  if (!api.start()) return 1;  // the server logged "api: bind failed"

  install_signal_handlers();
  while (g_running.load()) sleep_poll_interval();

  log(LogLevel::info, "cli: shutdown requested");
  // No new task may start behind stop_all's back; reads are still answered meanwhile.
  api.begin_shutdown();
  // Tasks first, so an inference in flight for a stopping task still completes.
  tasks.stop_all();
  api.stop();
  scheduler.stop();
  return 0;
}

}  // namespace
}  // namespace velmo::ai

int main(int argc, char** argv) {
  // Each decoder and analysis thread would otherwise get a malloc arena of its own (up to eight per
  // core), each holding its freed memory: two serve them all as fast, for over a MiB less per stream.
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) mallopt(M_ARENA_MAX, 2);
  // A peer that closes its socket must never end the process.
  signal(SIGPIPE, SIG_IGN);
  try {
    return velmo::ai::run(argc, argv);
  } catch (const std::exception& e) {
    velmo::ai::log(velmo::ai::LogLevel::error, "cli: startup failed", {{"err", e.what()}});
    velmo::ai::print_usage();
    return 1;
  }
}
