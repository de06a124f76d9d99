// Preprocessing at common camera resolutions and decoding with suppression at growing row counts.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "inference/rtmdet.h"

namespace velmo::ai {
namespace {

ModelManifest bench_manifest() {
  ModelManifest m;
  m.name = "bench";
  m.version = "1";
  m.file = "model.onnx";
  m.mean = {123.675, 116.28, 103.53};
  m.stddev = {58.395, 57.12, 57.375};
  m.labels = {"person", "bicycle", "car"};
  return m;
}

VideoFrame noise_frame(int width, int height) {
  VideoFrame frame;
  frame.sequence = 1;
  frame.width = width;
  frame.height = height;
  frame.pixels.resize(static_cast<std::size_t>(width) * height * 3);
  std::mt19937 rng(7);
  for (auto& byte : frame.pixels) byte = static_cast<std::uint8_t>(rng());
  return frame;
}

void BM_Prepare(benchmark::State& state) {
  const RtmdetPreprocessor preprocessor(bench_manifest());
  const VideoFrame frame = noise_frame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    PreparedInput input = preprocessor.prepare(frame, std::nullopt);
    benchmark::DoNotOptimize(input.tensor.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Prepare)->ArgNames({"w", "h"})->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

void BM_PrepareRegion(benchmark::State& state) {
  const RtmdetPreprocessor preprocessor(bench_manifest());
  const VideoFrame frame = noise_frame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::optional<Rect> region = Rect{0.25, 0.25, 0.5, 0.5};
  for (auto _ : state) {
    PreparedInput input = preprocessor.prepare(frame, region);
    benchmark::DoNotOptimize(input.tensor.data());
  }
}
BENCHMARK(BM_PrepareRegion)
    ->ArgNames({"w", "h"})
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond);

// Rows of (x1, y1, x2, y2, score, class) spread over a 416 x 416 input, people clustered as a
// detector reports them: several overlapping boxes around each person.
std::vector<float> detector_rows(std::size_t rows) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> centre(20.0f, 396.0f);
  std::uniform_real_distribution<float> size(8.0f, 120.0f);
  std::uniform_real_distribution<float> jitter(-4.0f, 4.0f);
  std::uniform_real_distribution<float> score(0.0f, 1.0f);
  std::vector<float> values;
  values.reserve(rows * 6);
  float cx = 0, cy = 0, w = 0, h = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    if (i % 4 == 0) {
      cx = centre(rng);
      cy = centre(rng);
      w = size(rng);
      h = size(rng) * 2.0f;
    }
    const float x = cx + jitter(rng);
    const float y = cy + jitter(rng);
    values.insert(values.end(),
                  {x - w / 2, y - h / 2, x + w / 2, y + h / 2, score(rng), static_cast<float>(i % 5 == 4 ? 2 : 0)});
  }
  return values;
}

void BM_DecodeNms(benchmark::State& state) {
  const ModelManifest manifest = bench_manifest();
  const DetectionDecoder decoder(manifest);
  const VideoFrame frame = noise_frame(64, 36);
  const PreparedInput input = RtmdetPreprocessor(manifest).prepare(frame, std::nullopt);
  const auto rows = static_cast<std::size_t>(state.range(0));
  const std::vector<float> values = detector_rows(rows);
  std::size_t kept = 0;
  for (auto _ : state) {
    const auto detections =
        decoder.decode_end2end(std::span<const float>(values), rows, 6, std::nullopt, input, 1920, 1080);
    kept = detections.size();
    benchmark::DoNotOptimize(detections.data());
  }
  state.counters["kept"] = static_cast<double>(kept);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows));
}
BENCHMARK(BM_DecodeNms)->ArgName("rows")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmo::ai

BENCHMARK_MAIN();
