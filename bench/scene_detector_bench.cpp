// Cost of one SceneDetector::observe per stream resolution. The work after the resize is on a
// fixed 320 x 180 picture, so what grows with the resolution is reading the frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/scene_detector.h"

namespace {

using velmo::ai::SceneConfig;
using velmo::ai::SceneDetector;
using velmo::ai::VideoFrame;

VideoFrame to_frame(const cv::Mat& bgr) {
  VideoFrame f;
  f.width = bgr.cols;
  f.height = bgr.rows;
  f.pixels.resize(bgr.total() * 3);
  std::memcpy(f.pixels.data(), bgr.data, f.pixels.size());
  return f;
}

// A textured empty scene, and the same scene with two people-sized bright blocks in it.
void make_frames(int width, int height, VideoFrame& empty, VideoFrame& busy) {
  cv::Mat scene(height, width, CV_8UC3);
  cv::RNG rng(12345);
  rng.fill(scene, cv::RNG::UNIFORM, cv::Scalar::all(40), cv::Scalar::all(200));
  cv::GaussianBlur(scene, scene, cv::Size(5, 5), 0);
  empty = to_frame(scene);
  cv::rectangle(scene, cv::Rect(width / 5, height / 3, width / 12, height / 3), cv::Scalar(230, 230, 230), cv::FILLED);
  cv::rectangle(scene, cv::Rect(width * 3 / 5, height / 4, width / 10, height / 2), cv::Scalar(20, 20, 20), cv::FILLED);
  busy = to_frame(scene);
}

SceneConfig bench_config(bool with_zones) {
  SceneConfig c;
  c.trigger_ms = 0;
  c.cooldown_ms = 30000;
  c.hold_ms = 4000;
  if (with_zones) {
    c.rois = {{{0.05, 0.05}, {0.95, 0.05}, {0.95, 0.95}, {0.05, 0.95}}};
    c.ignore_zones = {{{0.0, 0.0}, {0.3, 0.0}, {0.3, 0.2}}};
  }
  return c;
}

// Args: width, height, zones (0/1), changing (0: the empty scene every frame, 1: alternating).
void BM_SceneObserve(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const bool zones = state.range(2) != 0;
  const bool changing = state.range(3) != 0;
  VideoFrame empty;
  VideoFrame busy;
  make_frames(width, height, empty, busy);
  SceneDetector detector(bench_config(zones));
  std::int64_t now = 1'700'000'000'000;
  detector.observe(empty, now);  // baseline
  std::int64_t actives = 0;
  std::uint64_t i = 0;
  for (auto _ : state) {
    now += 100;
    const VideoFrame& frame = (changing && (i++ % 2 == 0)) ? busy : empty;
    auto obs = detector.observe(frame, now);
    actives += obs.active ? 1 : 0;
    benchmark::DoNotOptimize(obs);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(empty.pixels.size()));
  state.counters["active_share"] =
      state.iterations() > 0 ? static_cast<double>(actives) / static_cast<double>(state.iterations()) : 0.0;
}

void resolutions(benchmark::internal::Benchmark* b) {
  for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}, std::pair{3840, 2160}}) {
    b->Args({w, h, 0, 1});
  }
  b->Args({1920, 1080, 0, 0});
  b->Args({1920, 1080, 1, 1});
  b->ArgNames({"w", "h", "zones", "changing"});
}

BENCHMARK(BM_SceneObserve)->Apply(resolutions)->Unit(benchmark::kMicrosecond);

// The reduction as the decoder runs it: two output rows at a time, on a band it has just converted
// and so still in cache (here the frame's first band, a whole frame's worth of times).
// Args: width, height.
void BM_ReduceBands(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  VideoFrame empty;
  VideoFrame busy;
  make_frames(width, height, empty, busy);
  const auto factors =
      velmo::ai::whole_reduction_factors(width, height, velmo::ai::kAnalysisWidth, velmo::ai::kAnalysisHeight);
  if (!factors) {
    state.SkipWithError("not a whole multiple of the analysis size");
    return;
  }
  const std::size_t stride = static_cast<std::size_t>(width) * 3u;
  std::vector<std::uint8_t> reduced(static_cast<std::size_t>(velmo::ai::kAnalysisWidth) * velmo::ai::kAnalysisHeight *
                                    3u);
  const int band = 2 * factors->y;
  for (auto _ : state) {
    for (int top = 0; top < height; top += band) {
      velmo::ai::reduce_bgr_rows(busy.pixels.data(), stride, width, *factors, 2,
                                 reduced.data() +
                                     static_cast<std::size_t>(top / factors->y) * velmo::ai::kAnalysisWidth * 3u);
    }
    benchmark::DoNotOptimize(reduced.data());
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ReduceBands)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->ArgNames({"w", "h"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
