// The scheduler's own cost per request (queueing, the hand-over to the worker and back) with an
// engine that does nothing, at 4 and 64 callers; then the service's stack end to end: the
// scheduler over the fall-back engine on the CPU with the compute-realistic generated model
// (640x640, about 8 GFLOPs), 1280x720 frames, 1 and 4 callers. Run with
// --benchmark_filter=Overhead for the first part alone (it needs no model).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "bench/realistic_model.h"
#include "foundation/config.h"
#include "foundation/json.h"
#include "foundation/sha256.h"
#include "inference/auto_provider_engine.h"
#include "inference/inference_scheduler.h"

namespace velmo::ai {
namespace {

class NoopEngine final : public InferenceEngine {
 public:
  void warmup() override {}
  InferenceResult detect(const VideoFrame&, const std::optional<Rect>&) override {
    InferenceResult result;
    result.execution_provider = "CPUExecutionProvider";
    return result;
  }
  std::string execution_provider() const override { return "CPUExecutionProvider"; }
  std::string model_name() const override { return "noop"; }
  std::string model_version() const override { return "1"; }
};

VideoFrame small_frame() {
  VideoFrame frame;
  frame.sequence = 1;
  frame.width = 16;
  frame.height = 16;
  frame.pixels.assign(16 * 16 * 3, 0);
  return frame;
}

// The engine called directly on one thread: the floor the scheduler adds to.
void BM_DirectEngineCall(benchmark::State& state) {
  NoopEngine engine;
  for (auto _ : state) {
    VideoFrame frame = small_frame();
    benchmark::DoNotOptimize(engine.detect(frame, std::nullopt));
  }
  state.counters["per_request"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DirectEngineCall);

InferenceScheduler* g_scheduler = nullptr;

// Each benchmark thread is one caller (one task key) that submits and waits, back to back.
// per_request is wall time divided by all callers' requests together, since one worker serves them all.
void BM_SchedulerOverhead(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_scheduler = new InferenceScheduler([] { return std::make_unique<NoopEngine>(); },
                                         static_cast<std::size_t>(state.threads()));
    g_scheduler->start();  // a failed start makes every infer throw, which skips the run
  }
  const std::string key = "bench-" + std::to_string(state.thread_index()) + "#1";
  for (auto _ : state) {
    try {
      benchmark::DoNotOptimize(g_scheduler->infer(key, small_frame(), std::nullopt));
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["per_request"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (state.thread_index() == 0) {
    InferenceScheduler::Statistics stats = g_scheduler->statistics();
    state.counters["refused"] = static_cast<double>(stats.dropped);
    delete g_scheduler;
    g_scheduler = nullptr;
  }
}
BENCHMARK(BM_SchedulerOverhead)->Threads(4)->Threads(64)->UseRealTime();

namespace fs = std::filesystem;

fs::path realistic_manifest() {
  return bench::realistic_manifest(fs::path(VELMO_BINARY_DIR) / "bench-models-scheduler");
}

using bench::frame_with_person;

// With several callers the time column is wall time per result of all callers together (the
// worker's throughput); caller_wait_ms is what one caller waits for its result, queueing included;
// model_p50/p95_ms are the scheduler's own figures for the model run alone. Two intra-op threads,
// AI.InferenceThreads' default; the capacity of 4 is AI.MaxChannels' default.
void BM_EndToEndRealisticModel(benchmark::State& state) {
  if (state.thread_index() == 0) {
    static const fs::path manifest = realistic_manifest();
    ModelConfig config;
    config.manifest = manifest;
    config.require_signature = false;
    g_scheduler =
        new InferenceScheduler([config] { return std::make_unique<AutoProviderEngine>(config, false, "cpu", 2); }, 4);
    g_scheduler->start();
  }
  const std::string key = "bench-" + std::to_string(state.thread_index()) + "#1";
  const VideoFrame frame = frame_with_person();
  double waited_ms = 0.0;
  for (auto _ : state) {
    VideoFrame copy = frame;  // the pipeline hands over a fresh decoded frame each time
    const auto t0 = std::chrono::steady_clock::now();
    try {
      benchmark::DoNotOptimize(g_scheduler->infer(key, std::move(copy), std::nullopt));
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    waited_ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  // What one caller waits per result, queueing behind the other callers included.
  state.counters["caller_wait_ms"] =
      benchmark::Counter(state.iterations() > 0 ? waited_ms / static_cast<double>(state.iterations()) : 0.0,
                         benchmark::Counter::kAvgThreads);
  if (state.thread_index() == 0) {
    InferenceScheduler::Statistics stats = g_scheduler->statistics();
    state.counters["model_p50_ms"] = stats.latency_p50_ms;
    state.counters["model_p95_ms"] = stats.latency_p95_ms;
    delete g_scheduler;
    g_scheduler = nullptr;
  }
}
BENCHMARK(BM_EndToEndRealisticModel)
    ->Threads(1)
    ->Threads(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);

}  // namespace
}  // namespace velmo::ai

BENCHMARK_MAIN();
