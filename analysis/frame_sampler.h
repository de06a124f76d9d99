#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "foundation/video_frame.h"

namespace velmo::ai {

// Thins frames to an idle or an active rate on a schedule of slots one interval apart.
// Belongs to one thread; takes no lock.
class SamplingGate {
 public:
  // Throws std::invalid_argument when either rate is 0 or negative.
  SamplingGate(int idle_fps, int active_fps);

  // True when the frame at `now_ms` is due (see sampling_slot). `frame_period_ms`: the spacing of
  // the frames offered (0: unknown). The rate in force is chosen per call, from the same schedule.
  bool accept(std::int64_t now_ms, bool active, std::int64_t frame_period_ms = 0);
  // Forgets the schedule: the next accept succeeds.
  void reset();

  // 1000 / fps of the rate in force while the scene is (not) active.
  std::int64_t interval_ms(bool active) const;
  // The slot of the last frame taken; 0 while nothing has been taken.
  std::int64_t slot_ms() const { return slot_ms_; }

 private:
  int idle_fps_;
  int active_fps_;
  std::int64_t slot_ms_ = 0;  // 0: nothing taken yet
};

// The rule of a rate: the slot that a frame at `now_ms` takes on a schedule of one frame per
// `interval_ms` whose last slot is `slot_ms` (0: none yet), or empty when the frame is not due.
// The next slot lies one interval after the last; a frame is due from an allowance before it (half
// of `frame_period_ms`, at most half the interval), so key frames a second apart that arrive a
// millisecond early are all taken at 1 fps. A frame taken within the allowance either side of its
// slot keeps the schedule; one later than that (after a gap) starts it again at its own time. So
// slots are never closer than the interval and no stretch of time holds more frames than the rate
// allows. A clock stepped back by more than an interval starts the schedule again too.
std::optional<std::int64_t> sampling_slot(std::int64_t slot_ms, std::int64_t now_ms, std::int64_t interval_ms,
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
