// The scheduler's own cost per request: queueing, the hand-over to the worker and back, with an
// engine that does nothing. Run with --benchmark_filter=Overhead for that part alone.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <string>

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
  state.counters["per_request"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DirectEngineCall);

InferenceScheduler* g_scheduler = nullptr;

// Each benchmark thread is one caller (one task key) that submits and waits, back to back.
// per_request is wall time divided by all callers' requests together, since one worker serves them all.
void BM_SchedulerOverhead(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_scheduler = new InferenceScheduler([] { return std::make_unique<NoopEngine>(); },
                                         static_cast<std::size_t>(state.threads()));
    if (!g_scheduler->start()) state.SkipWithError("scheduler did not start");
  }
  const std::string key = "bench-" + std::to_string(state.thread_index()) + "#1";
  for (auto _ : state) {
    benchmark::DoNotOptimize(g_scheduler->infer(key, small_frame(), std::nullopt));
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["per_request"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (state.thread_index() == 0) {
    InferenceScheduler::Statistics stats = g_scheduler->statistics();
    state.counters["refused"] = static_cast<double>(stats.dropped);
    delete g_scheduler;
    g_scheduler = nullptr;
  }
}
BENCHMARK(BM_SchedulerOverhead)->Threads(4)->Threads(64)->UseRealTime();

}  // namespace
}  // namespace velmo::ai

BENCHMARK_MAIN();
