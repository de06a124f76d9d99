#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace velmo::ai::test {

// What the loopback server sends on "/live"; "/file" always serves the cached pedestrian video.
struct RtspServerOptions {
  int port = 0;  // 0: a free port, kept across restarts
  int width = 640;
  int height = 360;
  int fps = 25;
  double key_interval_s = 1.0;
  int bframes = 0;
  std::string pattern = "ball";  // videotestsrc pattern
  int bitrate_kbps = 0;          // 0: chosen from the picture size
  int frames = -1;               // > 0: the live stream ends after this many frames
  std::string switch_size;       // "WxH": the live picture changes size mid-stream
  double switch_after_s = 2.0;
  std::filesystem::path media_file;  // empty: the cached H.264 file
};

// Starts a fixture server and waits until it prints "READY "; empty, with `failure` set, when it
// exits first or does not get there in time (it is killed then).
std::unique_ptr<ChildProcess> start_until_ready(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                                std::string& failure);

// A GStreamer RTSP server on 127.0.0.1 run as a child process (tests/fixtures/rtsp_server.py).
// The constructor starts it and waits until it listens; the destructor kills it.
class RtspTestServer {
 public:
  explicit RtspTestServer(RtspServerOptions options = {});
  ~RtspTestServer();
  RtspTestServer(const RtspTestServer&) = delete;
  RtspTestServer& operator=(const RtspTestServer&) = delete;

  // Starts again on the same port (after stop or kill); waits until it listens.
  void start();
  // SIGTERM and wait: clients see their connections closed.
  void stop();
  // SIGKILL and wait, as a crashed camera.
  void kill();
  bool running();

  int port() const { return options_.port; }
  std::string url(const std::string& mount = "/live") const;
  std::string live_url() const { return url("/live"); }
  std::string file_url() const { return url("/file"); }

  // The H.264 pedestrian video made by scripts/install-deps.sh ($VELMO_CACHE or the build's cache).
  static std::filesystem::path cached_media_file();
  static bool media_available();

 private:
  bool launch(std::string& failure);
  void end(int signal);

  RtspServerOptions options_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace velmo::ai::test
