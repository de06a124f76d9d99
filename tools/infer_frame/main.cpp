// velmo-ai-infer-frame: times the detector on one raw BGR frame and prints a JSON report.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "foundation/json.h"
#include "foundation/percentile.h"
#include "foundation/video_frame.h"
#include "inference/auto_provider_engine.h"

namespace velmo::ai {
namespace {

void print_usage() {
  std::cout << "Usage: velmo-ai-infer-frame --manifest <path> --public-key <path> --raw-bgr <path>\n"
               "                            --width <pixels> --height <pixels> [--iterations <count>]\n"
               "                            [--device cpu|gpu|auto]\n"
               "Runs the detector on one raw frame of packed BGR bytes (width x height x 3) and prints\n"
               "the latencies and the last run's detections as JSON.\n";
  std::cout.flush();
}

bool is_help(const std::string& option) { return option == "--help" || option == "-h"; }

struct Arguments {
  std::string manifest;
  std::string public_key;
  std::string raw_bgr;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t iterations = 1;
  InferenceDevice device = InferenceDevice::cpu;
};

std::int32_t parse_integer(const std::string& text, const std::string& option) {
  std::size_t used = 0;
  // std::stoi's own failures ("stoi") pass through for text without a number or out of range.
  const int value = std::stoi(text, &used, 10);
  if (used != text.size() || value < 1) throw std::invalid_argument(option + " must be a positive integer");
  return value;
}

Arguments parse_arguments(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument("missing value for " + option);
    const std::string value = argv[i + 1];
    if (option == "--manifest") {
      args.manifest = value;
    } else if (option == "--public-key") {
      args.public_key = value;
    } else if (option == "--raw-bgr") {
      args.raw_bgr = value;
    } else if (option == "--width") {
      args.width = parse_integer(value, option);
    } else if (option == "--height") {
      args.height = parse_integer(value, option);
    } else if (option == "--iterations") {
      args.iterations = parse_integer(value, option);
    } else if (option == "--device") {
      args.device = require_inference_device(value, option);
    } else {
      throw std::invalid_argument("unknown argument: " + option);
    }
  }
  if (args.manifest.empty() || args.public_key.empty() || args.raw_bgr.empty() || args.width <= 0 || args.height <= 0) {
    throw std::invalid_argument("--manifest, --public-key, --raw-bgr, --width and --height are required");
  }
  return args;
}

// The first `size` bytes of the file. The buffer grows with the data that actually arrives, so
// a frame size far beyond the file never allocates (and zero-fills) memory for it.
PixelBuffer read_raw_frame(const std::string& path, std::uint64_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open raw frame: " + path);
  PixelBuffer pixels;
  constexpr std::uint64_t kChunk = 1u << 20;
  while (pixels.size() < size) {
    const std::size_t have = pixels.size();
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - have));
    pixels.resize(have + want);
    const ssize_t n = ::read(fd, pixels.data() + have, want);
    if (n < 0 && errno == EINTR) {
      pixels.resize(have);
      continue;
    }
    if (n < 0) {
      // A directory or an unreadable device opens but yields no frame.
      ::close(fd);
      throw std::runtime_error("cannot open raw frame: " + path);
    }
    pixels.resize(have + static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  ::close(fd);
  if (pixels.size() < size) throw std::runtime_error("raw frame is smaller than expected");
  return pixels;
}

Json detection_json(const Detection& d) {
  return Json{{"box", {{"x", d.box.x}, {"y", d.box.y}, {"w", d.box.w}, {"h", d.box.h}}},
              {"label", d.label},
              {"score", d.score}};
}

int run(int argc, char** argv) {
  // Asking for help, or nothing at all, gets the usage text rather than a list of what is missing.
  if (argc < 2) {
    print_usage();
    return 1;
  }
  for (int i = 1; i < argc; i += 2) {
    if (is_help(argv[i])) {
      print_usage();
      return 0;
    }
  }
  const Arguments args = parse_arguments(argc, argv);
  // Built before the frame is read: a bad package is reported whatever the frame path.
  // The service's device policy over the one package: "auto" falls back to the CPU as the service does.
  ModelConfig package;
  package.manifest = args.manifest;
  package.public_key = args.public_key;
  AutoProviderEngine engine(package, true, args.device, 2);
  engine.warmup();

  VideoFrame frame;
  frame.sequence = 0;
  frame.width = args.width;
  frame.height = args.height;
  frame.pixels = read_raw_frame(args.raw_bgr,
                                static_cast<std::uint64_t>(args.width) * static_cast<std::uint64_t>(args.height) * 3u);
  frame.pts_ms = 0;
  frame.wall_ms = 0;

  std::vector<double> latencies;
  latencies.reserve(static_cast<std::size_t>(args.iterations));
  InferenceResult last;
  for (std::int32_t i = 0; i < args.iterations; ++i) {
    last = engine.detect(frame, std::nullopt);
    latencies.push_back(last.latency_ms);
  }
  std::sort(latencies.begin(), latencies.end());
  double sum = 0.0;
  for (double latency : latencies) sum += latency;

  Json detections = Json::array();
  for (const Detection& d : last.detections) detections.push_back(detection_json(d));
  const Json report = {
      {"average_latency_ms", sum / static_cast<double>(latencies.size())},
      {"detections", std::move(detections)},
      {"execution_provider", engine.execution_provider()},
      {"iterations", args.iterations},
      {"latency_ms", last.latency_ms},
      {"latency_p50_ms", nearest_rank_percentile(latencies, 0.5)},
      {"latency_p95_ms", nearest_rank_percentile(latencies, 0.95)},
      {"model", engine.model_name()},
      {"model_version", engine.model_version()},
  };
  const std::string text = report.dump(2) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0) throw std::runtime_error("cannot write the report");
  return 0;
}

}  // namespace
}  // namespace velmo::ai

int main(int argc, char** argv) {
  try {
    return velmo::ai::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "velmo-ai-infer-frame: " << e.what() << "\n" << std::flush;
    return 1;
  }
}
