// Latency of the compute-realistic generated detector (640x640, about 8 GFLOPs, the cost of an
// RTMDet-tiny export) on the CPU at 1, 2 and 4 intra-op threads. The time per iteration is one
// detect call on a 1280x720 frame (preprocessing, model run, decoding); "model_ms" is the model run
// alone as the engine reports it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "foundation/json.h"
#include "foundation/sha256.h"
#include "inference/onnx_engine.h"

namespace velmo::ai {
namespace {

namespace fs = std::filesystem;

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// An unsigned package for the realistic model in the build tree, generated anew by every run so
// it always matches the generator.
fs::path realistic_manifest() {
  const fs::path dir = fs::path(VELMO_BINARY_DIR) / "bench-models";
  const fs::path model = dir / "realistic_640.onnx";
  const fs::path manifest = dir / "realistic_640.json";
  {
    const std::string command = "/usr/bin/python3 " +
                                shell_quote(VELMO_SOURCE_DIR "/tests/fixtures/make_models.py") + " --out " +
                                shell_quote(dir.string()) + " realistic_640";
    if (std::system(command.c_str()) != 0 || !fs::exists(model)) {
      throw std::runtime_error("cannot generate the benchmark model: " + command);
    }
  }
  const Json doc = {
      {"name", "realistic_640"},
      {"version", "1"},
      {"file", model.filename().string()},
      {"sha256", sha256_hex(sha256_file(model))},
      {"input_width", 640},
      {"input_height", 640},
      {"mean", {0.0, 0.0, 0.0}},
      {"stddev", {255.0, 255.0, 255.0}},
      {"labels", {"person"}},
  };
  std::ofstream(manifest, std::ios::binary | std::ios::trunc) << doc.dump(2) << "\n";
  return manifest;
}

VideoFrame frame_with_person() {
  VideoFrame frame;
  frame.sequence = 1;
  frame.width = 1280;
  frame.height = 720;
  frame.pixels.assign(1280u * 720u * 3u, 40);
  for (int y = 180; y < 540; ++y) {
    for (int x = 320; x < 480; ++x) frame.pixels[(static_cast<size_t>(y) * 1280 + x) * 3 + 2] = 230;
  }
  return frame;
}

void BM_RealisticModel(benchmark::State& state) {
  static const fs::path manifest = realistic_manifest();
  OnnxEngine engine(manifest, "", false, "cpu", static_cast<int>(state.range(0)));
  engine.warmup();
  const VideoFrame frame = frame_with_person();
  double model_ms = 0.0;
  size_t detections = 0;
  for (auto _ : state) {
    const InferenceResult result = engine.detect(frame, std::nullopt);
    model_ms += result.latency_ms;
    detections = result.detections.size();
    benchmark::DoNotOptimize(detections);
  }
  state.counters["model_ms"] = benchmark::Counter(model_ms / static_cast<double>(state.iterations()));
  state.counters["detections"] = static_cast<double>(detections);
}
BENCHMARK(BM_RealisticModel)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
}  // namespace velmo::ai

BENCHMARK_MAIN();
