// Latency of the compute-realistic generated detector (640x640, about 8 GFLOPs, the cost of an
// RTMDet-tiny export) on the CPU at 1, 2 and 4 intra-op threads. The time per iteration is one
// detect call on a 1280x720 frame (preprocessing, model run, decoding); "model_ms" is the model run
// alone as the engine reports it. The same for the demo's HOG people detector on a 768x576 frame of
// the pedestrian clip.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include "bench/realistic_model.h"
#include "foundation/json.h"
#include "foundation/sha256.h"
#include "inference/onnx_engine.h"

namespace velmo::ai {
namespace {

namespace fs = std::filesystem;

fs::path realistic_manifest() { return bench::realistic_manifest(fs::path(VELMO_BINARY_DIR) / "bench-models"); }

using bench::frame_with_person;

// Whole detect calls on one frame, with the model's own share of each reported beside them.
void measure_detector(benchmark::State& state, const fs::path& manifest, const VideoFrame& frame) {
  OnnxEngine engine(manifest, "", false, ExecutionProvider::cpu, static_cast<int>(state.range(0)));
  engine.warmup();
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

void BM_RealisticModel(benchmark::State& state) {
  static const fs::path manifest = realistic_manifest();
  measure_detector(state, manifest, frame_with_person());
}
BENCHMARK(BM_RealisticModel)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);

// The HOG people detector's package, generated anew in the build tree from OpenCV's weights.
fs::path hog_manifest() {
  const fs::path dir = fs::path(VELMO_BINARY_DIR) / "bench-models";
  const std::string command = "/usr/bin/python3 " + bench::shell_quote(VELMO_SOURCE_DIR "/models/make_models.py") +
                              " --out " + bench::shell_quote(dir.string()) + " --hog-weights " +
                              bench::shell_quote(VELMO_HOG_WEIGHTS_BIN) + " hog_people";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot generate the HOG model: " + command);
  std::ifstream index_file(dir / "models.json", std::ios::binary);
  const std::string index_text((std::istreambuf_iterator<char>(index_file)), std::istreambuf_iterator<char>());
  Json manifest = parse_json(index_text).at("hog_people").at("manifest");
  manifest["sha256"] = sha256_hex(sha256_file(dir / manifest.at("file").get<std::string>()));
  manifest.erase("signature_file");
  const fs::path path = dir / "hog_people.json";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << manifest.dump(2) << "\n";
  return path;
}

// Frame 200 of the pedestrian clip (eight people walking), 768x576 BGR.
VideoFrame clip_frame() {
  const fs::path raw = fs::path(VELMO_BINARY_DIR) / "bench-models" / "vtest-frame.bgr";
  const std::string command = "ffmpeg -nostdin -loglevel error -y -i " +
                              bench::shell_quote(VELMO_CACHE_DIR "/media/vtest.mp4") + " -vf " +
                              bench::shell_quote("select=eq(n\\,200)") + " -frames:v 1 -f rawvideo -pix_fmt bgr24 " +
                              bench::shell_quote(raw.string());
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot decode a frame of the clip: " + command);
  std::ifstream in(raw, std::ios::binary);
  VideoFrame frame;
  frame.sequence = 1;
  frame.width = 768;
  frame.height = 576;
  frame.pixels.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (frame.pixels.size() != 768u * 576u * 3u) throw std::runtime_error("unexpected frame size in " + raw.string());
  return frame;
}

void BM_HogPeopleModel(benchmark::State& state) {
  static const fs::path manifest = hog_manifest();
  static const VideoFrame frame = clip_frame();
  measure_detector(state, manifest, frame);
}
BENCHMARK(BM_HogPeopleModel)
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
