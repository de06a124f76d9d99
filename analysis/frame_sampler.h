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
// allows. Times are monotonic milliseconds.
std::optional<std::int64_t> sampling_slot(std::int64_t slot_ms, std::int64_t now_ms, std::int64_t interval_ms,
                                          std::int64_t frame_period_ms);

// A task's one sampling schedule, asked from two threads: the producer asks before it converts a
// picture whether the gate will take it, the consumer takes the pictures handed over. A picture
// that was wanted waits in the queue until it is taken, so its slot counts as taken from the moment
// it is wanted. Thread-safe; times are monotonic milliseconds.
//
// `phase` (0 to 1) places the schedule on the monotonic clock: once a schedule has (re)started, its
// second picture is wanted that share of an interval past a whole number of intervals of the
// clock, waiting at most the room between the interval and the picture spacing for it. Tasks with
// different phases then convert in different instants, so fewer picture blocks are in flight at
// once. Pictures as far apart as the interval (key frames) are never skipped for it, and the
// consumer takes a delayed picture as a late one.
class SharedSamplingGate {
 public:
  // Throws std::invalid_argument when either rate is 0 or negative, or the phase is outside [0, 1).
  SharedSamplingGate(int idle_fps, int active_fps, double phase = 0.0);

  // Producer: true when a picture presented at pts_ms and decoded at now_ms is due. The spacing of
  // the presentation times is the frame period that both sides allow for.
  bool wants(std::int64_t pts_ms, std::int64_t now_ms);
  // Consumer: true when the picture in hand at now_ms is due (SamplingGate::accept).
  bool accept(std::int64_t now_ms);
  // The scene state whose rate is in force from now on.
  void set_active(bool active);
  // The stream's picture spacing as last seen by wants; 0 while unknown.
  std::int64_t frame_period_ms() const;

 private:
  mutable std::mutex mutex_;
  SamplingGate gate_;
  bool active_ = false;
  double phase_;
  bool shift_pending_ = true;     // the schedule (re)started and its phase is not yet applied
  std::int64_t handed_slot_ = 0;  // the slot of the last picture wanted
  std::int64_t frame_period_ms_ = 0;
  std::optional<std::int64_t> previous_pts_;
};

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
