#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "foundation/video_frame.h"

namespace velmo::ai {

// Thins frames to an idle or an active rate, measured from the last accepted frame.
// Belongs to one thread; takes no lock.
class SamplingGate {
 public:
  // Throws std::invalid_argument when either rate is 0 or negative.
  SamplingGate(int idle_fps, int active_fps);

  // True when the frame at `now_ms` is due. A clock that steps backwards past the last accepted
  // time accepts and re-anchors there, so the gate never stays shut for the size of the step.
  // `frame_period_ms`: the spacing of the frames offered (0: unknown). A frame up to half of it
  // early is taken, since the next one would come later still: key frames a second apart,
  // arriving a millisecond early, are not all skipped at 1 fps. Never more than half the interval.
  bool accept(std::int64_t now_ms, bool active, std::int64_t frame_period_ms = 0);
  // Forgets the last accepted time: the next accept succeeds.
  void reset();

  // 1000 / fps of the rate in force while the scene is (not) active.
  std::int64_t interval_ms(bool active) const;
  // 0 while nothing has been accepted.
  std::int64_t last_accepted_ms() const { return last_accepted_ms_; }

 private:
  int idle_fps_;
  int active_fps_;
  std::int64_t last_accepted_ms_ = 0;  // 0: nothing accepted yet
};

// The gate's rule on its own, for a thread that must foresee the gate's answer: true when a frame
// at `now_ms` is due `interval_ms` after `last_accepted_ms` (0: none yet), allowing half of
// `frame_period_ms` (at most half the interval) early; a clock stepped back before the last
// accepted time makes it due too.
bool sampling_due(std::int64_t last_accepted_ms, std::int64_t now_ms, std::int64_t interval_ms,
                  std::int64_t frame_period_ms);

// Bounded hand-over from one producer to one consumer that never blocks the producer: when full,
// the oldest frames are dropped so the consumer always sees the newest pictures.
class LatestFrameQueue {
 public:
  // Throws InvalidInput when capacity is 0.
  explicit LatestFrameQueue(std::size_t capacity);
  LatestFrameQueue(const LatestFrameQueue&) = delete;
  LatestFrameQueue& operator=(const LatestFrameQueue&) = delete;

  // False (the frame is discarded) once closed.
  bool push(VideoFrame frame);
  std::optional<VideoFrame> pop();
  // Waits up to timeout_ms (one fixed deadline) for a frame; returns at once when closed.
  std::optional<VideoFrame> wait_pop(int timeout_ms);
  // Final: refuses later pushes and wakes every waiter. Frames already queued stay available.
  void close();

  std::size_t size() const;
  std::uint64_t dropped() const;

 private:
  std::optional<VideoFrame> take_oldest();

  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<VideoFrame> frames_;
  std::uint64_t dropped_ = 0;
  bool closed_ = false;
};

}  // namespace velmo::ai
