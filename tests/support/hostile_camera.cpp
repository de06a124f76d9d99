#include "tests/support/hostile_camera.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "tests/support/rtsp_server.h"

namespace velmo::ai::test {

HostileCamera::HostileCamera(Options options) {
  std::string failure;
  // A port picked here may be taken by a parallel test before the camera binds it: pick again.
  for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
    port_ = free_tcp_port();
    process_ = start_until_ready({"/usr/bin/python3", std::string(VELMO_TEST_FIXTURES) + "/hostile_camera.py", "--port",
                                  std::to_string(port_), "--fps", std::to_string(options.fps), "--gop",
                                  std::to_string(options.gop), "--flood-after", std::to_string(options.flood_after_s),
                                  "--request-log", (dir_ / "requests.log").string()},
                                 std::chrono::seconds(10), failure);
  }
  if (!process_) throw std::runtime_error("hostile camera did not start: " + failure);
}

std::string HostileCamera::url(const std::string& path) const {
  return "rtsp://127.0.0.1:" + std::to_string(port_) + path;
}

std::string HostileCamera::tls_url(const std::string& path) const {
  return "rtsps://127.0.0.1:" + std::to_string(port_) + path;
}

std::size_t HostileCamera::requests(const std::string& method, const std::string& path) const {
  std::ifstream in(dir_ / "requests.log");
  std::size_t count = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string when, seen_method, seen_path;
    fields >> when >> seen_method >> seen_path;
    if (seen_method == method && seen_path.rfind(path, 0) == 0) ++count;
  }
  return count;
}

}  // namespace velmo::ai::test
