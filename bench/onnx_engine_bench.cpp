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
#include "bench/realistic_model.h"
#include "foundation/sha256.h"
#include "inference/onnx_engine.h"

namespace velmo::ai {
namespace {

namespace fs = std::filesystem;

fs::path realistic_manifest() { return bench::realistic_manifest(fs::path(VELMO_BINARY_DIR) / "bench-models"); }

using bench::frame_with_person;

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
    ->MinTime(1.0);

}  // namespace
}  // namespace velmo::ai

BENCHMARK_MAIN();
