#include "inference/inference_scheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/manual_clock.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct EngineFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Shared between a test and the fake engines it makes: gates detect calls and records them.
struct Control {
  std::mutex mutex;
  std::condition_variable cv;
  bool hold = false;  // while true, each detect waits for a permit
  int permits = 0;
  std::vector<std::uint64_t> started;  // frame sequences in the order detect saw them
  std::vector<bool> had_region;
  std::set<std::string> thread_names;  // of the threads that ran detect
  int running = 0;
  std::map<std::uint64_t, std::string> fail;  // frame sequence -> EngineFailure text
  std::string warmup_error;
  std::atomic<int> factory_calls{0};
  std::atomic<int> warmups{0};
  std::atomic<int> live_engines{0};

  void release(int n = 1) {
    std::lock_guard<std::mutex> lock(mutex);
    permits += n;
    cv.notify_all();
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = false;
    cv.notify_all();
  }
  bool wait_started(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, seconds(10), [&] { return started.size() >= n; });
  }
  std::vector<std::uint64_t> order() {
    std::lock_guard<std::mutex> lock(mutex);
    return started;
  }
};

class BlockingEngine : public InferenceEngine {
 public:
  explicit BlockingEngine(Control& control) : control_(control) { ++control_.live_engines; }
  ~BlockingEngine() override { --control_.live_engines; }

  void warmup() override {
    ++control_.warmups;
    if (!control_.warmup_error.empty()) throw EngineFailure(control_.warmup_error);
  }

  InferenceResult detect(const VideoFrame& frame, const std::optional<Rect>& region) override {
    std::string failure;
    {
      std::unique_lock<std::mutex> lock(control_.mutex);
      control_.started.push_back(frame.sequence);
      control_.had_region.push_back(region.has_value());
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      control_.thread_names.insert(name);
      ++control_.running;
      control_.cv.notify_all();
      // Bounded, so a broken test cannot hang the suite.
      control_.cv.wait_for(lock, seconds(30), [&] { return !control_.hold || control_.permits > 0; });
      if (control_.hold && control_.permits > 0) --control_.permits;
      --control_.running;
      if (auto it = control_.fail.find(frame.sequence); it != control_.fail.end()) failure = it->second;
    }
    if (failure == "int") throw 42;
    if (!failure.empty()) throw EngineFailure(failure);
    InferenceResult result;
    result.latency_ms = static_cast<double>(frame.sequence);
    result.execution_provider = execution_provider();
    result.model_name = model_name();
    result.model_version = model_version();
    result.detections.push_back(Detection{"person", 0.5, region.value_or(Rect{0, 0, 1, 1})});
    return result;
  }

  std::string execution_provider() const override { return "CPUExecutionProvider"; }
  std::string model_name() const override { return "fake-detector"; }
  std::string model_version() const override { return "9"; }

 private:
  Control& control_;
};

EngineFactory factory_for(Control& control) {
  return [&control]() -> std::unique_ptr<InferenceEngine> {
    ++control.factory_calls;
    return std::make_unique<BlockingEngine>(control);
  };
}

VideoFrame frame(std::uint64_t sequence) {
  VideoFrame f;
  f.sequence = sequence;
  f.width = 2;
  f.height = 2;
  f.pixels.assign(12, 0);
  return f;
}

std::future<InferenceResult> infer_async(InferenceScheduler& scheduler, std::string key, std::uint64_t sequence,
                                         std::optional<Rect> roi = std::nullopt) {
  return std::async(std::launch::async, [&scheduler, key = std::move(key), sequence, roi] {
    return scheduler.infer(key, frame(sequence), roi);
  });
}

bool queue_reaches(const InferenceScheduler& scheduler, std::uint64_t depth) {
  return test::eventually([&] { return scheduler.statistics().queue_depth == depth; });
}

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

// ---- construction and start ----

TEST(InferenceSchedulerTest, RejectsAnEmptyFactoryOrZeroCapacity) {
  Control control;
  struct Case {
    EngineFactory factory;
    std::size_t capacity;
  };
  for (const Case& c : {Case{EngineFactory{}, 4}, Case{factory_for(control), 0}}) {
    try {
      InferenceScheduler scheduler(c.factory, c.capacity);
      FAIL() << "constructor did not throw";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "invalid inference scheduler configuration");
    }
  }
  EXPECT_EQ(control.factory_calls.load(), 0);
}

TEST(InferenceSchedulerTest, FailedStartsReportTheirReasonAndLeaveNoEngine) {
  struct Case {
    std::string name;
    std::function<EngineFactory(Control&)> factory;
    std::string warmup_error;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"null engine", [](Control&) { return EngineFactory([] { return std::unique_ptr<InferenceEngine>(); }); }, "",
       "inference factory returned null"},
      {"factory throws",
       [](Control&) {
         return EngineFactory([]() -> std::unique_ptr<InferenceEngine> {
           throw std::runtime_error("model package validation failed: bad signature");
         });
       },
       "", "model package validation failed: bad signature"},
      {"warm-up throws", [](Control& c) { return factory_for(c); }, "CUDA warmup exploded", "CUDA warmup exploded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Control control;
    control.warmup_error = c.warmup_error;
    InferenceScheduler scheduler(c.factory(control), 2);
    EXPECT_FALSE(scheduler.start());
    EXPECT_FALSE(scheduler.ready());
    EXPECT_EQ(control.live_engines.load(), 0);
    InferenceScheduler::Statistics stats = scheduler.statistics();
    EXPECT_FALSE(stats.ready);
    EXPECT_EQ(stats.error, c.want);
    EXPECT_EQ(stats.execution_provider, "unavailable");
    EXPECT_EQ(stats.model, "");
    EXPECT_EQ(stats.model_version, "");
    // The refusal carries the start's reason, not the generic text.
    EXPECT_EQ(error_of([&] { scheduler.infer("t#1", frame(1), std::nullopt); }), c.want);
    EXPECT_EQ(scheduler.statistics().submitted, 0u);
  }
}

TEST(InferenceSchedulerTest, StartIsIdempotentAndARetryAfterFailureClearsTheError) {
  Control control;
  control.warmup_error = "not yet";
  InferenceScheduler scheduler(factory_for(control), 2);
  EXPECT_EQ(error_of([&] { scheduler.infer("t#1", frame(1), std::nullopt); }), "inference scheduler is not ready");
  EXPECT_FALSE(scheduler.start());
  EXPECT_EQ(scheduler.statistics().error, "not yet");

  control.warmup_error.clear();
  EXPECT_TRUE(scheduler.start());
  EXPECT_TRUE(scheduler.start());
  EXPECT_EQ(control.factory_calls.load(), 2);
  EXPECT_EQ(control.live_engines.load(), 1);
  InferenceScheduler::Statistics stats = scheduler.statistics();
  EXPECT_TRUE(stats.ready);
  EXPECT_EQ(stats.error, "");
  EXPECT_EQ(stats.execution_provider, "CPUExecutionProvider");
  EXPECT_EQ(stats.model, "fake-detector");
  EXPECT_EQ(stats.model_version, "9");
  EXPECT_EQ(stats.max_queue_depth, 2u);
}

// ---- serving ----

TEST(InferenceSchedulerTest, ServesRequestsOneAtATimeInOrderOfAcceptance) {
  Control control;
  control.hold = true;
  InferenceScheduler scheduler(factory_for(control), 8);
  ASSERT_TRUE(scheduler.start());

  auto first = infer_async(scheduler, "a#1", 1, Rect{0.1, 0.2, 0.3, 0.4});
  ASSERT_TRUE(control.wait_started(1));
  std::vector<std::future<InferenceResult>> waiting;
  for (std::uint64_t seq = 2; seq <= 5; ++seq) {
    waiting.push_back(infer_async(scheduler, "task" + std::to_string(seq) + "#1", seq));
    ASSERT_TRUE(queue_reaches(scheduler, seq - 1));
  }
  EXPECT_EQ(control.order(), std::vector<std::uint64_t>{1});  // nothing overtakes the running one
  control.open();

  InferenceResult r1 = first.get();
  EXPECT_EQ(r1.latency_ms, 1.0);
  ASSERT_EQ(r1.detections.size(), 1u);
  EXPECT_EQ(r1.detections[0].box.x, 0.1);  // the region reached the engine
  for (std::uint64_t i = 0; i < waiting.size(); ++i) EXPECT_EQ(waiting[i].get().latency_ms, double(i + 2));
  EXPECT_THAT(control.order(), ElementsAre(1, 2, 3, 4, 5));
  EXPECT_THAT(control.had_region, ElementsAre(true, false, false, false, false));
  EXPECT_EQ(control.running, 0);
  EXPECT_THAT(control.thread_names, ElementsAre("sched"));  // one worker, named for top -H

  InferenceScheduler::Statistics stats = scheduler.statistics();
  EXPECT_EQ(stats.submitted, 5u);
  EXPECT_EQ(stats.completed, 5u);
  EXPECT_EQ(stats.failed, 0u);
  EXPECT_EQ(stats.dropped, 0u);
  EXPECT_EQ(stats.queue_depth, 0u);
  EXPECT_EQ(stats.latency_p50_ms, 3.0);
  EXPECT_EQ(stats.latency_p95_ms, 5.0);
}

TEST(InferenceSchedulerTest, AFullQueueRefusesAtOnceAndCountsTheDrop) {
  Control control;
  control.hold = true;
  InferenceScheduler scheduler(factory_for(control), 2);
  ASSERT_TRUE(scheduler.start());

  auto running = infer_async(scheduler, "a#1", 1);
  ASSERT_TRUE(control.wait_started(1));
  auto second = infer_async(scheduler, "b#2", 2);
  ASSERT_TRUE(queue_reaches(scheduler, 1));
  auto third = infer_async(scheduler, "c#3", 3);
  ASSERT_TRUE(queue_reaches(scheduler, 2));

  EXPECT_EQ(error_of([&] { scheduler.infer("d#4", frame(4), std::nullopt); }), "inference scheduler queue is full");
  InferenceScheduler::Statistics stats = scheduler.statistics();
  EXPECT_EQ(stats.dropped, 1u);
  EXPECT_EQ(stats.submitted, 3u);
  EXPECT_EQ(stats.queue_depth, 2u);
  EXPECT_EQ(stats.max_queue_depth, 2u);

  control.open();
  running.get();
  second.get();
  third.get();
  // The refused key was never held: it is accepted now.
  EXPECT_EQ(scheduler.infer("d#4", frame(4), std::nullopt).latency_ms, 4.0);
  EXPECT_THAT(control.order(), ElementsAre(1, 2, 3, 4));
}

TEST(InferenceSchedulerTest, OneRequestPerTaskKeyWhileWaitingOrRunning) {
  Control control;
  control.hold = true;
  InferenceScheduler scheduler(factory_for(control), 4);
  ASSERT_TRUE(scheduler.start());

  auto running = infer_async(scheduler, "cam#1", 1);
  ASSERT_TRUE(control.wait_started(1));
  auto waiting = infer_async(scheduler, "cam#2", 2);
  ASSERT_TRUE(queue_reaches(scheduler, 1));

  for (const char* key : {"cam#1", "cam#2"}) {
    EXPECT_EQ(error_of([&] { scheduler.infer(key, frame(9), std::nullopt); }),
              "task already has an inference request in progress")
        << key;
  }
  InferenceScheduler::Statistics stats = scheduler.statistics();
  EXPECT_EQ(stats.submitted, 2u);
  EXPECT_EQ(stats.dropped, 0u);
  EXPECT_EQ(stats.queue_depth, 1u);

  control.open();
  running.get();
  waiting.get();
  EXPECT_EQ(scheduler.infer("cam#1", frame(3), std::nullopt).latency_ms, 3.0);
  EXPECT_EQ(scheduler.infer("cam#1", frame(4), std::nullopt).latency_ms, 4.0);
  EXPECT_THAT(control.order(), ElementsAre(1, 2, 3, 4));
}

TEST(InferenceSchedulerTest, TheEnginesOwnExceptionReachesItsCallerAndTheWorkerGoesOn) {
  Control control;
  control.fail[2] = "bad frame";
  control.fail[3] = "int";
  InferenceScheduler scheduler(factory_for(control), 4);
  ASSERT_TRUE(scheduler.start());

  EXPECT_EQ(scheduler.infer("t#1", frame(1), std::nullopt).latency_ms, 1.0);
  try {
    scheduler.infer("t#1", frame(2), std::nullopt);
    FAIL() << "no exception";
  } catch (const EngineFailure& e) {
    EXPECT_STREQ(e.what(), "bad frame");
  }
  try {
    scheduler.infer("t#1", frame(3), std::nullopt);
    FAIL() << "no exception";
  } catch (int value) {
    EXPECT_EQ(value, 42);
  }
  EXPECT_EQ(scheduler.infer("t#1", frame(4), std::nullopt).latency_ms, 4.0);

  InferenceScheduler::Statistics stats = scheduler.statistics();
  EXPECT_EQ(stats.submitted, 4u);
  EXPECT_EQ(stats.completed, 2u);
  EXPECT_EQ(stats.failed, 2u);
  // Failed runs record no latency: the window holds 1 and 4 only.
  EXPECT_EQ(stats.latency_p50_ms, 1.0);
  EXPECT_EQ(stats.latency_p95_ms, 4.0);
}

TEST(InferenceSchedulerTest, PercentilesCoverTheLastTwoHundredRuns) {
  Control control;
  InferenceScheduler scheduler(factory_for(control), 1);
  ASSERT_TRUE(scheduler.start());
  EXPECT_EQ(scheduler.statistics().latency_p50_ms, 0.0);
  EXPECT_EQ(scheduler.statistics().latency_p95_ms, 0.0);

  scheduler.infer("t#1", frame(7), std::nullopt);
  EXPECT_EQ(scheduler.statistics().latency_p50_ms, 7.0);
  EXPECT_EQ(scheduler.statistics().latency_p95_ms, 7.0);

  // Latencies 2..250 after the first run of 7; the window then holds 51..250.
  for (std::uint64_t seq = 2; seq <= 250; ++seq) scheduler.infer("t#1", frame(seq), std::nullopt);
  InferenceScheduler::Statistics stats = scheduler.statistics();
  EXPECT_EQ(stats.completed, 250u);
  EXPECT_EQ(stats.latency_p50_ms, 150.0);
  EXPECT_EQ(stats.latency_p95_ms, 240.0);
}

// A run's wait counts from its acceptance to its turn, on the scheduler's clock.
TEST(InferenceSchedulerTest, QueueWaitsRunFromAcceptanceToTheTurn) {
  Control control;
  control.hold = true;
  auto clock = std::make_shared<test::ManualClock>();
  InferenceScheduler scheduler(factory_for(control), 8, clock);
  ASSERT_TRUE(scheduler.start());
  auto first = infer_async(scheduler, "a#1", 1);
  ASSERT_TRUE(control.wait_started(1));
  auto second = infer_async(scheduler, "b#2", 2);
  ASSERT_TRUE(queue_reaches(scheduler, 1));
  clock->advance(1000);
  auto third = infer_async(scheduler, "c#3", 3);
  ASSERT_TRUE(queue_reaches(scheduler, 2));
  clock->advance(500);
  control.open();
  for (auto* done : {&first, &second, &third}) done->get();
  // Waits 0, 1500 and 500.
  EXPECT_EQ(scheduler.statistics().queue_wait_p50_ms, 500.0);
  EXPECT_EQ(scheduler.statistics().queue_wait_p95_ms, 1500.0);
}

// ---- stop ----

TEST(InferenceSchedulerTest, StopLetsTheRunningRequestFinishAndFailsTheWaitingOnes) {
  Control control;
  control.hold = true;
  InferenceScheduler scheduler(factory_for(control), 4);
  ASSERT_TRUE(scheduler.start());

  auto running = infer_async(scheduler, "a#1", 1);
  ASSERT_TRUE(control.wait_started(1));
  std::vector<std::future<InferenceResult>> waiting;
  for (std::uint64_t seq = 2; seq <= 4; ++seq) {
    waiting.push_back(infer_async(scheduler, "k" + std::to_string(seq), seq));
    ASSERT_TRUE(queue_reaches(scheduler, seq - 1));
  }

  std::thread stopper([&] { scheduler.stop(); });
  // Released only once stop has emptied the queue, so no waiting request can reach the engine.
  EXPECT_TRUE(test::eventually([&] { return !scheduler.ready(); }));
  control.release();
  EXPECT_EQ(running.get().latency_ms, 1.0);
  for (auto& f : waiting) {
    EXPECT_EQ(error_of([&] { f.get(); }), "inference scheduler stopped");
  }
  stopper.join();

  InferenceScheduler::Statistics stats = scheduler.statistics();
  EXPECT_FALSE(stats.ready);
  EXPECT_EQ(stats.execution_provider, "unavailable");
  EXPECT_EQ(stats.completed, 1u);
  EXPECT_EQ(stats.dropped, 3u);
  EXPECT_EQ(stats.submitted, 4u);
  EXPECT_EQ(stats.queue_depth, 0u);
  EXPECT_EQ(control.live_engines.load(), 0);
  EXPECT_THAT(control.order(), ElementsAre(1));
  EXPECT_EQ(error_of([&] { scheduler.infer("a#1", frame(5), std::nullopt); }), "inference scheduler is not ready");

  scheduler.stop();
  EXPECT_EQ(scheduler.statistics().dropped, 3u);
}

TEST(InferenceSchedulerTest, StopIsSafeInEveryStateAndFromSeveralThreads) {
  {
    Control control;
    InferenceScheduler never_started(factory_for(control), 1);
    never_started.stop();
    EXPECT_EQ(control.factory_calls.load(), 0);
  }
  {
    Control control;
    InferenceScheduler idle(factory_for(control), 1);
    ASSERT_TRUE(idle.start());
    idle.stop();
    EXPECT_FALSE(idle.ready());
  }
  {
    // Concurrent stops while a request is running: each returns, the worker is joined once.
    Control control;
    control.hold = true;
    InferenceScheduler busy(factory_for(control), 2);
    ASSERT_TRUE(busy.start());
    auto running = infer_async(busy, "a#1", 1);
    ASSERT_TRUE(control.wait_started(1));
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 4; ++i) stoppers.emplace_back([&] { busy.stop(); });
    control.open();
    for (auto& t : stoppers) t.join();
    EXPECT_EQ(running.get().latency_ms, 1.0);
    EXPECT_EQ(control.live_engines.load(), 0);
  }
  {
    // Destruction with waiting requests fails them rather than leaving callers blocked.
    Control control;
    control.hold = true;
    std::future<InferenceResult> running;
    std::future<InferenceResult> waiting;
    std::thread releaser;
    {
      InferenceScheduler scheduler(factory_for(control), 2);
      ASSERT_TRUE(scheduler.start());
      running = infer_async(scheduler, "a#1", 1);
      ASSERT_TRUE(control.wait_started(1));
      waiting = infer_async(scheduler, "b#1", 2);
      ASSERT_TRUE(queue_reaches(scheduler, 1));
      // The destructor's stop waits for the running request; let it end once the queue is emptied.
      releaser = std::thread([&] {
        test::eventually([&] { return !scheduler.ready(); });
        control.open();
      });
    }
    if (releaser.joinable()) releaser.join();
    EXPECT_EQ(running.get().latency_ms, 1.0);
    EXPECT_EQ(error_of([&] { waiting.get(); }), "inference scheduler stopped");
  }
}

TEST(InferenceSchedulerTest, StartAndStopCyclesWithTrafficNeverHang) {
  Control control;
  InferenceScheduler scheduler(factory_for(control), 4);
  for (int cycle = 0; cycle < 50; ++cycle) {
    ASSERT_TRUE(scheduler.start());
    std::atomic<bool> go{true};
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c) {
      callers.emplace_back([&, c] {
        std::uint64_t seq = 1;
        while (go.load()) {
          try {
            scheduler.infer("c" + std::to_string(c), frame(seq++), std::nullopt);
          } catch (const std::runtime_error&) {
            // "stopped" or "not ready" once stop has run
          }
        }
      });
    }
    std::this_thread::sleep_for(milliseconds(cycle % 3));
    scheduler.stop();
    go = false;
    for (auto& t : callers) t.join();
    InferenceScheduler::Statistics stats = scheduler.statistics();
    EXPECT_EQ(stats.submitted, stats.completed + stats.failed + stats.dropped);
  }
  EXPECT_EQ(control.live_engines.load(), 0);
}

// ---- many callers at once (meant for the ThreadSanitizer build as well) ----

TEST(InferenceSchedulerTest, ManyCallersGetTheirOwnResultsAndTheCountersAddUp) {
  constexpr int kCallers = 32;
  constexpr int kRequestsEach = 60;
  Control control;
  // Every frame whose sequence ends in 7 fails.
  for (std::uint64_t caller = 0; caller < kCallers; ++caller) {
    for (std::uint64_t i = 0; i < kRequestsEach; ++i) {
      std::uint64_t seq = caller * 1000 + i;
      if (seq % 10 == 7) control.fail[seq] = "fail " + std::to_string(seq);
    }
  }
  InferenceScheduler scheduler(factory_for(control), 8);  // fewer slots than callers: some are refused
  ASSERT_TRUE(scheduler.start());

  std::atomic<bool> reading{true};
  std::thread reader([&] {
    while (reading.load()) {
      InferenceScheduler::Statistics stats = scheduler.statistics();
      EXPECT_LE(stats.queue_depth, 8u);
      (void)scheduler.ready();
    }
  });

  std::atomic<std::uint64_t> ok{0}, failed{0}, full{0}, wrong{0};
  std::vector<std::thread> callers;
  for (int caller = 0; caller < kCallers; ++caller) {
    callers.emplace_back([&, caller] {
      const std::string key = "task-" + std::to_string(caller) + "#" + std::to_string(caller + 1);
      for (std::uint64_t i = 0; i < kRequestsEach; ++i) {
        std::uint64_t seq = static_cast<std::uint64_t>(caller) * 1000 + i;
        try {
          InferenceResult result = scheduler.infer(key, frame(seq), std::nullopt);
          if (result.latency_ms != static_cast<double>(seq)) ++wrong;
          ++ok;
        } catch (const EngineFailure& e) {
          if (e.what() != "fail " + std::to_string(seq)) ++wrong;
          ++failed;
        } catch (const std::runtime_error& e) {
          if (std::string(e.what()) == "inference scheduler queue is full") {
            ++full;
          } else {
            ++wrong;
          }
        }
      }
    });
  }
  for (auto& t : callers) t.join();
  reading = false;
  reader.join();

  EXPECT_EQ(wrong.load(), 0u);
  EXPECT_EQ(ok + failed + full, static_cast<std::uint64_t>(kCallers * kRequestsEach));
  InferenceScheduler::Statistics stats = scheduler.statistics();
  EXPECT_EQ(stats.completed, ok.load());
  EXPECT_EQ(stats.failed, failed.load());
  EXPECT_EQ(stats.dropped, full.load());
  EXPECT_EQ(stats.submitted, ok + failed);
  EXPECT_EQ(stats.queue_depth, 0u);
  EXPECT_EQ(control.running, 0);
}

}  // namespace
}  // namespace velmo::ai
