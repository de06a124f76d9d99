// velmo-ai: the analysis service's entry point.
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "analysis/analysis_pipeline.h"
#include "analysis/event_sink/http_event_sink.h"
#include "foundation/config.h"
#include "foundation/errors.h"
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

// Events a task's sink holds while its callback server falls behind; the oldest go first.
constexpr std::size_t kEventQueueLimit = 64;

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

// SIGHUP (a closed terminal, a careless reload) stops the service as SIGTERM does: there is
// nothing to reload, and dying at once would lose queued events. Unless it was ignored when the
// process started (nohup), which is a wish to outlive the terminal.
bool sighup_ignored_at_start() {
  struct sigaction current {};
  return sigaction(SIGHUP, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

const sigset_t& shutdown_signals() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    if (!sighup_ignored_at_start()) sigaddset(&s, SIGHUP);
    return s;
  }();
  return set;
}

// A shutdown signal has been sent: it stays pending (see ShutdownSignalWatcher), so any thread can
// ask, at any time, from the moment it was sent.
bool shutdown_signal_pending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  const sigset_t& watched = shutdown_signals();
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&watched, sig) == 1 && sigismember(&pending, sig) == 1) return true;
  }
  return false;
}

// The shutdown signals (SIGINT, SIGTERM, SIGHUP) are blocked in every thread of the service and never taken off the
// pending set. A handler, or a thread that takes the signal, leaves a moment in which the signal is gone and its effect
// not yet there, and a busy machine stretches that moment past the next request; a signal left pending is seen by the
// API's threads the instant it is sent. The watcher waits for one without taking it: before arm() it lets the signal
// end the process by its default action, as if nothing were blocked; after arm() it ends, which is the main thread's
// cue to shut down.
class ShutdownSignalWatcher {
 public:
  // Before any other thread exists, so that every thread inherits the blocked signals.
  ShutdownSignalWatcher() {
    const sigset_t& signals = shutdown_signals();
    pthread_sigmask(SIG_BLOCK, &signals, &previous_mask_);
    signal_fd_ = signalfd(-1, &signals, SFD_CLOEXEC);
    quit_fd_ = eventfd(0, EFD_CLOEXEC);
    if (signal_fd_ < 0 || quit_fd_ < 0) {
      const int error = errno;
      give_up();
      throw std::system_error(error, std::generic_category(), "cannot watch for the shutdown signals");
    }
    try {
      watcher_ = start_thread<std::thread>([this] { watch(); });
    } catch (...) {
      give_up();
      throw;
    }
  }
  ~ShutdownSignalWatcher() {
    if (watcher_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t written = write(quit_fd_, &one, sizeof one);
      watcher_.join();
    }
    close_fds();
  }
  ShutdownSignalWatcher(const ShutdownSignalWatcher&) = delete;
  ShutdownSignalWatcher& operator=(const ShutdownSignalWatcher&) = delete;

  // From now on a signal shuts the service down cleanly.
  void arm() { armed_ = true; }
  // Returns once a signal has come after arm().
  void wait() { watcher_.join(); }

 private:
  void watch() {
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {quit_fd_, POLLIN, 0}};
    while (true) {
      if (poll(fds, 2, -1) < 0) continue;  // interrupted
      if (fds[1].revents != 0) return;
      if (fds[0].revents == 0) continue;
      if (armed_) return;
      // The signal's own disposition: unblocked, it is delivered here at once and ends the process
      // (or is dropped, when the parent had it ignored).
      const sigset_t& signals = shutdown_signals();
      pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
      pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    }
  }
  // A watcher that could not start leaves the signals as it found them.
  void give_up() {
    close_fds();
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
  }
  void close_fds() {
    if (signal_fd_ >= 0) close(signal_fd_);
    if (quit_fd_ >= 0) close(quit_fd_);
  }

  sigset_t previous_mask_{};
  int signal_fd_ = -1;
  int quit_fd_ = -1;
  std::atomic<bool> armed_{false};
  std::thread watcher_;
};

int parse_port(const std::string& text) {
  size_t used = 0;
  int value = std::stoi(text, &used, 10);
  if (used != text.size() || !valid_port(value)) {
    throw std::invalid_argument("--port must be in " + kPortRange.text());
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
    log(LogLevel::info, "cli: analysis disabled", {{"reason", "set AI.Enabled=true before launching velmo-ai"}});
    return 0;
  }

  ShutdownSignalWatcher signals;
  // Built in this order and destroyed in reverse on every path out of this function, so a
  // throwing constructor leaves nothing running when the guard in main reports it.
  const std::size_t capacity = static_cast<std::size_t>(config.ai.max_channels);
  InferenceScheduler scheduler(
      [&config]() -> std::unique_ptr<InferenceEngine> {
        return std::make_unique<AutoProviderEngine>(config.model, config.model.require_signature, config.ai.device,
                                                    config.ai.inference_threads);
      },
      capacity);
  if (!scheduler.start()) {
    log(LogLevel::warn, "inference: shared scheduler unavailable", {{"err", scheduler.statistics().error}});
  }
  DetectionHub hub;
  TaskManager tasks(capacity, [&config, &hub, &scheduler](const TaskConfig& task) -> std::unique_ptr<TaskRunner> {
    PipelineSeams seams;
    // Asked only for a task that names a callback URL.
    seams.sink = [](const TaskConfig& t) -> std::unique_ptr<EventSink> {
      return std::make_unique<HttpEventSink>(t.callback_url, kEventQueueLimit, EventSinkOwner{t.task_id, t.stream_id});
    };
    return std::make_unique<AnalysisPipeline>(
        task, config.ai, scheduler, [&hub](const Json& message) { hub.publish(message); }, std::move(seams));
  });
  ApiServer api(config, tasks, hub, scheduler);
  // From the signal on, not from the main thread's next look, no task may start.
  api.refuse_tasks_when(shutdown_signal_pending);
  if (!api.start()) return 1;  // the server logged "api: bind failed"

  signals.arm();
  signals.wait();

  log(LogLevel::info, "cli: shutdown requested");
  // The WebSocket close handshakes run while the tasks drain their events: shutdown takes the
  // longer of the two, not their sum.
  api.begin_stop();
  // Tasks before the scheduler, so an inference in flight for a stopping task still completes.
  tasks.stop_all();
  api.stop();
  scheduler.stop();
  return 0;
}

}  // namespace
}  // namespace velmo::ai

int main(int argc, char** argv) {
  // Each decoder and analysis thread would otherwise get a malloc arena of its own (up to eight per
  // core), each holding its freed memory. Too few, and the decoders queue on the arenas' locks
  // (FFmpeg allocates and frees a buffer for every packet). Measured on 8 cores: 64 key-frame
  // streams cost 1.085x the decode floor's CPU with four arenas, 1.05 with sixteen; 16 streams
  // decoding every picture may hold 0.2-0.4 MiB more each. So two per core, bounded.
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) {
    const auto cores = static_cast<int>(std::thread::hardware_concurrency());
    // Before any thread but this one exists, which is all mallopt asks.
    mallopt(M_ARENA_MAX, std::clamp(2 * cores, 4, 32));  // NOLINT(concurrency-mt-unsafe)
  }
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
