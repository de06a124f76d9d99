#include "analysis/frame_sampler.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/errors.h"
#include "tests/support/manual_clock.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using namespace std::chrono_literals;

VideoFrame make_frame(std::uint64_t sequence, std::size_t bytes = 12) {
  VideoFrame frame;
  frame.sequence = sequence;
  frame.width = 2;
  frame.height = 2;
  frame.pixels.assign(bytes, static_cast<std::uint8_t>(sequence));
  return frame;
}

// ---- SamplingGate ----

TEST(SamplingGate, RefusesNonPositiveRates) {
  for (auto [idle, active] : std::vector<std::pair<int, int>>{{0, 3}, {1, 0}, {-1, 3}, {1, -5}}) {
    try {
      SamplingGate gate(idle, active);
      FAIL() << idle << "," << active << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "sampling FPS must be positive");
    }
  }
  EXPECT_NO_THROW(SamplingGate(1, 1));
}

struct GateStep {
  std::int64_t now_ms;
  bool active;
  bool accepted;
  std::int64_t period_ms = 0;  // spacing of the offered frames
};

struct GateCase {
  const char* name;
  int idle_fps;
  int active_fps;
  std::vector<GateStep> steps;
};

void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }

class SamplingGateSequence : public ::testing::TestWithParam<GateCase> {};

TEST_P(SamplingGateSequence, AcceptsExactlyOnTheIntervalBoundary) {
  const GateCase& c = GetParam();
  SamplingGate gate(c.idle_fps, c.active_fps);
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const GateStep& s = c.steps[i];
    EXPECT_EQ(gate.accept(s.now_ms, s.active, s.period_ms), s.accepted)
        << "step " << i << " at " << s.now_ms << " active=" << s.active;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, SamplingGateSequence,
    ::testing::Values(
        GateCase{"idle_one_fps", 1, 3, {{5000, false, true}, {5999, false, false}, {6000, false, true}}},
        GateCase{"active_three_fps", 1, 3, {{5000, true, true}, {5332, true, false}, {5333, true, true}}},
        GateCase{"seven_fps_is_142ms", 7, 7, {{100, false, true}, {241, false, false}, {242, false, true}}},
        GateCase{"thirty_fps_is_33ms", 30, 30, {{100, true, true}, {132, true, false}, {133, true, true}}},
        // A rejected call does not move the anchor.
        GateCase{"rejection_keeps_anchor",
                 1,
                 3,
                 {{1000, false, true}, {1400, false, false}, {1800, false, false}, {2000, false, true}}},
        // The rate is chosen per call: the active interval applies from the same anchor.
        GateCase{"rate_switch_uses_same_anchor",
                 1,
                 3,
                 {{1000, false, true}, {1200, false, false}, {1333, true, true}, {1500, false, false}}},
        // Time 0 counts as "nothing accepted yet".
        GateCase{"zero_is_none", 1, 1, {{0, false, true}, {1, false, true}, {2, false, false}}},
        GateCase{"equal_time_is_rejected", 1, 1, {{5000, false, true}, {5000, false, false}}},
        // Key frames a second apart with a few milliseconds of jitter are all taken at 1 fps.
        GateCase{
            "key_frames_early_by_jitter",
            1,
            3,
            {{5000, false, true, 1000}, {5999, false, true, 999}, {6996, false, true, 997}, {8001, false, true, 1005}}},
        // At 25 fps a frame is taken up to 20 ms before its slot, not earlier; taken early, it
        // keeps its slot, so the next one is due an interval after the slot, not after the frame.
        GateCase{"half_a_frame_period_early",
                 1,
                 3,
                 {{5000, false, true, 40},
                  {5979, false, false, 40},
                  {5980, false, true, 40},
                  {6312, true, false, 40},
                  {6313, true, true, 40}}},
        // A frame later than the allowance starts the schedule again at its own time.
        GateCase{"late_frame_moves_the_schedule",
                 1,
                 1,
                 {{5000, false, true, 40}, {6021, false, true, 40}, {7000, false, false, 40}, {7001, false, true, 40}}},
        // Widely spaced frames never halve the interval: the tolerance stops at half of it.
        GateCase{"tolerance_capped_at_half_the_interval",
                 1,
                 1,
                 {{5000, false, true, 4000}, {5499, false, false, 4000}, {5500, false, true, 4000}}}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

// Taking frames a little early must not raise the rate: over 20 s of a live source the gate takes
// no more than the rate allows, and no two frames closer than the interval less a frame period.
TEST(SamplingGate, EarlyFramesNeverRaiseTheRate) {
  for (const int fps : {1, 3, 5, 7}) {
    for (const int source_fps : {10, 25, 30}) {
      SCOPED_TRACE(std::to_string(fps) + " fps of a " + std::to_string(source_fps) + " fps source");
      SamplingGate gate(fps, fps);
      const std::int64_t period = 1000 / source_fps;
      const std::int64_t interval = 1000 / fps;
      std::vector<std::int64_t> taken;
      for (std::int64_t now = 10000; now < 30000; now += period) {
        if (gate.accept(now, false, period)) taken.push_back(now);
      }
      EXPECT_LE(taken.size(), static_cast<std::size_t>(20 * fps + 1));
      EXPECT_GE(taken.size(), static_cast<std::size_t>(20 * fps * 9 / 10)) << "the rate itself is kept";
      for (std::size_t i = 1; i < taken.size(); ++i) {
        ASSERT_GE(taken[i] - taken[i - 1], interval - period) << "frame " << i;
      }
    }
  }
}

TEST(SamplingGate, ResetMakesTheNextFrameDue) {
  SamplingGate gate(1, 1);
  EXPECT_TRUE(gate.accept(10000, false));
  EXPECT_FALSE(gate.accept(10001, false));
  gate.reset();
  EXPECT_TRUE(gate.accept(10002, false));
  EXPECT_FALSE(gate.accept(10003, false));
}

// ---- SharedSamplingGate: the phase ----

struct PhaseCase {
  const char* name;
  double phase;
  std::int64_t spacing_ms;           // of the pictures offered
  std::vector<std::int64_t> gaps;    // pictures are not offered from a gap's start for 3 s
  std::vector<std::int64_t> wanted;  // the pictures the producer asks for, at 1 fps
};

void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.name; }

class SamplingPhase : public ::testing::TestWithParam<PhaseCase> {};

// The phase moves a schedule once it starts (and after a gap), never takes a key frame away, and
// every picture the producer asked for is one the consumer takes.
TEST_P(SamplingPhase, MovesTheScheduleOnceItStarts) {
  const PhaseCase& c = GetParam();
  SharedSamplingGate gate(1, 3, c.phase);
  std::vector<std::int64_t> wanted;
  for (std::int64_t t = 1000; t <= 8000; t += c.spacing_ms) {
    if (std::any_of(c.gaps.begin(), c.gaps.end(), [t](std::int64_t g) { return t >= g && t < g + 3000; })) continue;
    if (!gate.wants(t, t)) continue;
    wanted.push_back(t);
    EXPECT_TRUE(gate.accept(t + 5)) << "the consumer refused the picture at " << t;
  }
  EXPECT_EQ(wanted, c.wanted);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, SamplingPhase,
    ::testing::Values(
        PhaseCase{"none", 0.0, 40, {}, {1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000}},
        // Half an interval past the clock's whole seconds, on the 40 ms grid.
        PhaseCase{"half", 0.5, 40, {}, {1000, 2480, 3480, 4480, 5480, 6480, 7480}},
        PhaseCase{"key_frames_never_skipped", 0.5, 1000, {}, {1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000}},
        PhaseCase{"again_after_a_gap", 0.25, 40, {2800}, {1000, 2240, 5800, 7240}}),
    [](const ::testing::TestParamInfo<PhaseCase>& info) { return std::string(info.param.name); });

TEST(SamplingPhase, RefusesAPhaseOutsideTheInterval) {
  for (const double phase : {-0.01, 1.0, std::nan("")}) {
    EXPECT_THROW(SharedSamplingGate(1, 3, phase), std::invalid_argument) << phase;
  }
}

// ---- LatestFrameQueue ----

TEST(LatestFrameQueue, RefusesZeroCapacity) {
  try {
    LatestFrameQueue queue(0);
    FAIL() << "capacity 0 accepted";
  } catch (const InvalidInput& e) {
    EXPECT_STREQ(e.what(), "frame queue capacity must be positive");
  }
}

TEST(LatestFrameQueue, DropsTheOldestWhenFull) {
  LatestFrameQueue queue(2);
  for (std::uint64_t i = 1; i <= 3; ++i) EXPECT_TRUE(queue.push(make_frame(i)));
  EXPECT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue.dropped(), 1u);
  auto a = queue.wait_pop(200);
  auto b = queue.wait_pop(200);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->sequence, 2u);
  EXPECT_EQ(b->sequence, 3u);
  EXPECT_EQ(a->pixels, PixelBuffer(12, 2));
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_FALSE(queue.pop().has_value());
}

TEST(LatestFrameQueue, CapacityOneKeepsOnlyTheNewest) {
  LatestFrameQueue queue(1);
  for (std::uint64_t i = 1; i <= 5; ++i) queue.push(make_frame(i));
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue.dropped(), 4u);
  auto f = queue.pop();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->sequence, 5u);
}

TEST(LatestFrameQueue, MovesPixelBuffersWithoutCopying) {
  LatestFrameQueue queue(4);
  VideoFrame frame = make_frame(1, 1 << 20);
  const std::uint8_t* data = frame.pixels.data();
  queue.push(std::move(frame));
  auto out = queue.pop();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->pixels.data(), data);
}

TEST(LatestFrameQueue, ZeroOrNegativeTimeoutNeverWaits) {
  LatestFrameQueue queue(2);
  EXPECT_FALSE(queue.wait_pop(0).has_value());
  EXPECT_FALSE(queue.wait_pop(-50).has_value());
  queue.push(make_frame(7));
  auto f = queue.wait_pop(0);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->sequence, 7u);
}

TEST(LatestFrameQueue, WaitOnAnEmptyQueueTimesOut) {
  LatestFrameQueue queue(2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.wait_pop(200).has_value());
  // The deadline is fixed at entry: it never returns early.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

TEST(LatestFrameQueue, CloseRefusesPushesButKeepsQueuedFrames) {
  LatestFrameQueue queue(4);
  queue.push(make_frame(1));
  queue.push(make_frame(2));
  queue.close();
  queue.close();  // idempotent
  EXPECT_FALSE(queue.push(make_frame(3)));
  EXPECT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue.dropped(), 0u);
  auto a = queue.wait_pop(60000);
  auto b = queue.wait_pop(60000);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->sequence, 1u);
  EXPECT_EQ(b->sequence, 2u);
  // Closed and empty: returns at once even with a long time-out.
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.wait_pop(60000).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(LatestFrameQueue, PushFromAnotherThreadWakesTheWaiter) {
  LatestFrameQueue queue(2);
  std::atomic<bool> waiting{false};
  std::thread producer([&] {
    while (!waiting.load()) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);
    queue.push(make_frame(42));
  });
  waiting = true;
  auto start = std::chrono::steady_clock::now();
  auto frame = queue.wait_pop(60000);
  auto waited = std::chrono::steady_clock::now() - start;
  producer.join();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->sequence, 42u);
  EXPECT_LT(waited, 30s);
}

TEST(LatestFrameQueue, CloseWakesEveryWaiter) {
  LatestFrameQueue queue(2);
  constexpr int kWaiters = 4;
  std::atomic<int> returned{0};
  std::atomic<int> got_frame{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (queue.wait_pop(60000)) ++got_frame;
      ++returned;
    });
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(returned.load(), 0);
  queue.close();
  EXPECT_TRUE(test::eventually([&] { return returned.load() == kWaiters; }, 10s));
  for (auto& t : waiters) t.join();
  EXPECT_EQ(got_frame.load(), 0);
}

// A producer that never outruns the capacity loses nothing; every frame arrives once, in order.
TEST(LatestFrameQueue, NothingLostOrDuplicatedBelowCapacity) {
  constexpr std::uint64_t kFrames = 20000;
  constexpr std::size_t kCapacity = 8;
  LatestFrameQueue queue(kCapacity);
  std::atomic<std::uint64_t> consumed{0};
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (std::uint64_t i = 1; i <= kFrames; ++i) {
      // Stay below capacity: wait until the consumer has caught up enough.
      while (i - consumed.load() > kCapacity - 1) std::this_thread::yield();
      ASSERT_TRUE(queue.push(make_frame(i, 3)));
    }
    queue.close();
    done = true;
  });
  std::vector<std::uint64_t> seen;
  seen.reserve(kFrames);
  for (;;) {
    const bool was_done = done.load();
    auto frame = queue.wait_pop(200);
    if (!frame) {
      if (was_done) break;  // closed before this call: nothing more can come
      continue;
    }
    seen.push_back(frame->sequence);
    ++consumed;
  }
  producer.join();
  EXPECT_EQ(queue.dropped(), 0u);
  ASSERT_EQ(seen.size(), kFrames);
  for (std::uint64_t i = 0; i < kFrames; ++i) ASSERT_EQ(seen[i], i + 1);
}

// Above capacity the consumer gets an increasing subsequence, and each frame is either
// delivered or counted as dropped, never both and never twice.
TEST(LatestFrameQueue, FastProducerDropsOnlyTheOldest) {
  constexpr std::uint64_t kFrames = 20000;
  LatestFrameQueue queue(3);
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (std::uint64_t i = 1; i <= kFrames; ++i) queue.push(make_frame(i, 3));
    queue.close();
    done = true;
  });
  std::vector<std::uint64_t> seen;
  for (;;) {
    const bool was_done = done.load();
    auto frame = queue.wait_pop(200);
    if (!frame) {
      if (was_done) break;
      continue;
    }
    seen.push_back(frame->sequence);
    if (seen.size() % 64 == 0) std::this_thread::sleep_for(1ms);  // a slow consumer
  }
  producer.join();
  ASSERT_FALSE(seen.empty());
  for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1], seen[i]);
  EXPECT_EQ(seen.back(), kFrames);  // the newest frame is never the one dropped
  EXPECT_EQ(seen.size() + queue.dropped(), kFrames);
  EXPECT_GT(queue.dropped(), 0u);
}

// ---- FramePool ----

constexpr std::size_t kBytes = 1920 * 1080 * 3;

// Blocks are shared by the process: one comes back wherever its frame ends (dropped by the queue,
// or destroyed by the consumer on its own thread) and goes out again, the warmest first, while it
// keeps being wanted; one that waits longer than the keep time goes. Sizes are kept apart, and the
// free blocks stay within their byte bound.
TEST(FramePool, KeepsTheBlocksInFlightAtOnceWarmWhileTheyAreWanted) {
  auto clock = std::make_shared<test::ManualClock>();
  constexpr std::int64_t kKeep = 2500;
  auto pool = std::make_shared<FramePool>(kKeep, 3 * kBytes, clock);
  auto pooled_frame = [&](std::uint64_t sequence, std::size_t bytes = kBytes) {
    VideoFrame frame = make_frame(sequence, 0);
    frame.pixels = PixelBuffer(PixelAllocator<std::uint8_t>(pool));
    frame.pixels.resize(bytes);
    frame.pixels[0] = static_cast<std::uint8_t>(sequence);
    return frame;
  };

  // Pictures `step` ms apart, one at a time, all get the same block, which is returned.
  auto one_at_a_time = [&](std::uint64_t from, std::uint64_t to, std::int64_t step) {
    const std::uint8_t* block = nullptr;
    for (std::uint64_t i = from; i <= to; ++i) {
      clock->advance(step);
      VideoFrame frame = pooled_frame(i);
      if (block == nullptr) block = frame.pixels.data();
      EXPECT_EQ(frame.pixels.data(), block) << i;
    }
    return block;
  };

  // Streams that take turns share one warm block.
  one_at_a_time(1, 64, 15);
  EXPECT_EQ(pool->free_blocks(), 1u);

  // Three at once, handed back by the queue and by a consumer thread.
  std::vector<const std::uint8_t*> blocks;
  {
    LatestFrameQueue queue(1);
    std::vector<VideoFrame> held;
    for (std::uint64_t i = 1; i <= 3; ++i) {
      held.push_back(pooled_frame(i));
      blocks.push_back(held.back().pixels.data());
    }
    EXPECT_EQ(pool->blocks_in_use(), 3u);
    for (VideoFrame& frame : held) EXPECT_TRUE(queue.push(std::move(frame)));
    EXPECT_EQ(queue.dropped(), 2u);
    std::thread consumer([&] { EXPECT_EQ(queue.wait_pop(0)->pixels[0], 3); });
    consumer.join();
  }
  EXPECT_EQ(pool->blocks_in_use(), 0u);
  EXPECT_EQ(pool->free_blocks(), 3u);

  // Another size neither takes nor evicts these, and is not kept beyond the byte bound.
  { VideoFrame small = pooled_frame(4, 640 * 360 * 3); }
  EXPECT_EQ(pool->free_blocks(), 3u);

  // One at a time from now on: the block in use stays warm, the two left waiting go.
  const std::uint8_t* warm = one_at_a_time(5, 8, 1000);
  EXPECT_NE(std::find(blocks.begin(), blocks.end(), warm), blocks.end());
  EXPECT_EQ(pool->free_blocks(), 1u);

  // A quiet spell lets the last one go too: only the small block just used is left.
  clock->advance(kKeep + 1);
  { VideoFrame small = pooled_frame(9, 640 * 360 * 3); }
  EXPECT_EQ(pool->free_blocks(), 1u);
  EXPECT_EQ(pool->blocks_in_use(), 0u);
}

// A fresh block comes in with its pages already there: its first conversion must not fault them in
// one at a time. Kernels before 5.14 cannot fill a mapping at once, and there it is skipped.
TEST(FramePool, AFreshBlockIsResidentBeforeItIsWritten) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* probe = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(probe, MAP_FAILED);
  const bool fills = ::madvise(probe, page, MADV_POPULATE_WRITE) == 0;
  ::munmap(probe, page);
  if (!fills) GTEST_SKIP() << "this kernel does not fill mappings at once";

  FramePool pool(2500, kBytes, std::make_shared<test::ManualClock>());
  void* block = pool.take(kBytes);
  const std::size_t pages = (kBytes + page - 1) / page;
  std::vector<unsigned char> resident(pages);
  ASSERT_EQ(::mincore(block, kBytes, resident.data()), 0);
  EXPECT_EQ(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return (r & 1) != 0; }),
            static_cast<std::ptrdiff_t>(pages));
  pool.give(block, kBytes);
}

}  // namespace
}  // namespace velmo::ai
