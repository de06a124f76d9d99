#pragma once

#include <memory>
#include <string>

#include "tests/support/test_support.h"

namespace velmo::ai::test {

// A loopback RTSP camera that misbehaves on purpose (tests/fixtures/hostile_camera.py), run as a
// child process on a free port and killed with it. The URL's path picks the behaviour: "/relay",
// "/flood", "/huge-describe", "/unauthorized", "/no-video", "/udp-only", "/mute", "/close",
// "/not-rtsp" (see the script); each over rtsps too, with a self-signed certificate.
class HostileCamera {
 public:
  struct Options {
    int fps = 25;
    int gop = 25;                // frames between key frames of "/relay"
    double flood_after_s = 2.0;  // "/flood": seconds of a good stream before the flood
  };

  HostileCamera() : HostileCamera(Options{}) {}
  explicit HostileCamera(Options options);
  HostileCamera(const HostileCamera&) = delete;
  HostileCamera& operator=(const HostileCamera&) = delete;

  std::string url(const std::string& path) const;
  std::string tls_url(const std::string& path) const;
  // Requests of `method` ("DESCRIBE") the camera was sent on URLs whose path begins with `path`.
  std::size_t requests(const std::string& method, const std::string& path) const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace velmo::ai::test
