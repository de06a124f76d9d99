#include "tests/support/rtsp_server.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace velmo::ai::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kReadyTimeout = 20s;  // the first GStreamer start of a machine scans its plugins

std::string number(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

std::unique_ptr<ChildProcess> start_until_ready(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                                std::string& failure) {
  auto process = std::make_unique<ChildProcess>(argv);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (process->stdout_so_far().find("READY ") != std::string::npos) return process;
    if (!process->running()) {
      process->wait(1s);
      failure = process->result().err;
      return nullptr;
    }
    std::this_thread::sleep_for(20ms);
  }
  failure = "no ready line within the time-out; stderr: " + process->stderr_so_far();
  process->send_signal(SIGKILL);
  process->wait(5s);
  return nullptr;
}

std::filesystem::path RtspTestServer::cached_media_file() {
  const char* cache = std::getenv("VELMO_CACHE");
  std::filesystem::path root =
      (cache != nullptr && *cache != '\0') ? std::filesystem::path(cache) : std::filesystem::path(VELMO_CACHE_DIR);
  return root / "media" / "vtest.mp4";
}

bool RtspTestServer::media_available() {
  std::error_code ec;
  return std::filesystem::is_regular_file(cached_media_file(), ec);
}

RtspTestServer::RtspTestServer(RtspServerOptions options) : options_(std::move(options)) {
  if (options_.media_file.empty()) options_.media_file = cached_media_file();
  const bool pick_port = options_.port == 0;
  std::string failure;
  // A port picked here may be taken by a parallel test before the server binds it: pick again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (pick_port) options_.port = free_tcp_port();
    if (launch(failure)) return;
    if (!pick_port) break;
  }
  throw std::runtime_error("RTSP test server did not start: " + failure);
}

RtspTestServer::~RtspTestServer() {
  if (process_) end(SIGKILL);
}

void RtspTestServer::start() {
  if (process_ && process_->running()) return;
  process_.reset();
  std::string failure;
  // The old listener may linger for a moment after a kill.
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (launch(failure)) return;
    std::this_thread::sleep_for(200ms);
  }
  throw std::runtime_error("RTSP test server did not restart: " + failure);
}

bool RtspTestServer::launch(std::string& failure) {
  std::vector<std::string> argv = {
      "/usr/bin/python3",
      std::string(VELMO_TEST_FIXTURES) + "/rtsp_server.py",
      "--port",
      std::to_string(options_.port),
      "--width",
      std::to_string(options_.width),
      "--height",
      std::to_string(options_.height),
      "--fps",
      std::to_string(options_.fps),
      "--key-interval",
      number(options_.key_interval_s),
      "--bframes",
      std::to_string(options_.bframes),
      "--pattern",
      options_.pattern,
      "--bitrate",
      std::to_string(options_.bitrate_kbps),
      "--frames",
      std::to_string(options_.frames),
      "--file",
      options_.media_file.string(),
  };
  if (!options_.switch_size.empty()) {
    argv.insert(argv.end(), {"--switch-size", options_.switch_size, "--switch-after", number(options_.switch_after_s)});
  }
  process_ = start_until_ready(argv, kReadyTimeout, failure);
  return process_ != nullptr;
}

void RtspTestServer::end(int signal) {
  if (!process_) return;
  if (process_->running()) {
    process_->send_signal(signal);
    if (!process_->wait(5s)) {
      process_->send_signal(SIGKILL);
      process_->wait(5s);
    }
  }
  process_.reset();
}

void RtspTestServer::stop() { end(SIGTERM); }

void RtspTestServer::kill() { end(SIGKILL); }

bool RtspTestServer::running() { return process_ && process_->running(); }

std::string RtspTestServer::url(const std::string& mount) const {
  return "rtsp://127.0.0.1:" + std::to_string(options_.port) + mount;
}

}  // namespace velmo::ai::test
