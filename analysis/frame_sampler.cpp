#include "analysis/frame_sampler.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "foundation/errors.h"

namespace velmo::ai {

SamplingGate::SamplingGate(int idle_fps, int active_fps) : idle_fps_(idle_fps), active_fps_(active_fps) {
  if (idle_fps <= 0 || active_fps <= 0) throw std::invalid_argument("sampling FPS must be positive");
}

std::optional<std::int64_t> sampling_slot(std::int64_t slot_ms, std::int64_t now_ms, std::int64_t interval_ms,
                                          std::int64_t frame_period_ms) {
  if (slot_ms == 0) return now_ms;
  const std::int64_t allowance = std::clamp<std::int64_t>(frame_period_ms / 2, 0, interval_ms / 2);
  const std::int64_t due = slot_ms + interval_ms;
  if (now_ms < due - allowance) return std::nullopt;
  return now_ms - due > allowance ? now_ms : due;
}

std::int64_t SamplingGate::interval_ms(bool active) const {
  return 1000 / std::max(1, active ? active_fps_ : idle_fps_);
}

bool SamplingGate::accept(std::int64_t now_ms, bool active, std::int64_t frame_period_ms) {
  const std::optional<std::int64_t> slot = sampling_slot(slot_ms_, now_ms, interval_ms(active), frame_period_ms);
  if (!slot) return false;
  slot_ms_ = *slot;
  return true;
}

void SamplingGate::reset() { slot_ms_ = 0; }

SharedSamplingGate::SharedSamplingGate(int idle_fps, int active_fps, double phase)
    : gate_(idle_fps, active_fps), phase_(phase) {
  if (!(phase >= 0.0 && phase < 1.0)) throw std::invalid_argument("sampling phase must be in [0, 1)");
}

bool SharedSamplingGate::wants(std::int64_t pts_ms, std::int64_t now_ms) {
  std::lock_guard lock(mutex_);
  if (previous_pts_ && pts_ms > *previous_pts_) frame_period_ms_ = pts_ms - *previous_pts_;
  previous_pts_ = pts_ms;
  const std::int64_t interval = gate_.interval_ms(active_);
  std::int64_t slot = std::max(handed_slot_, gate_.slot_ms());
  // The spacing is known from the second picture on; the phase waits for it.
  const bool shifting = slot != 0 && shift_pending_ && frame_period_ms_ > 0;
  if (shifting) {
    // On the clock, not from the stream's own start, which differs from task to task by however
    // long each camera took to answer.
    const std::int64_t target = static_cast<std::int64_t>(phase_ * static_cast<double>(interval));
    std::int64_t shift = ((target - (slot + interval)) % interval + interval) % interval;
    // A slot up to a picture past its place is on it: the consumer's own slot lags by a conversion.
    if (interval - shift <= frame_period_ms_) shift = 0;
    slot += std::min(shift, std::max<std::int64_t>(0, interval - frame_period_ms_));
  }
  const std::optional<std::int64_t> next = sampling_slot(slot, now_ms, interval, frame_period_ms_);
  if (!next) return false;
  handed_slot_ = *next;
  if (shifting) shift_pending_ = false;
  // Off its schedule (the first picture, or one after a gap): the next picture takes the phase again.
  if (slot == 0 || *next != slot + interval) shift_pending_ = true;
  return true;
}

bool SharedSamplingGate::accept(std::int64_t now_ms) {
  std::lock_guard lock(mutex_);
  return gate_.accept(now_ms, active_, frame_period_ms_);
}

void SharedSamplingGate::set_active(bool active) {
  std::lock_guard lock(mutex_);
  active_ = active;
}

std::int64_t SharedSamplingGate::frame_period_ms() const {
  std::lock_guard lock(mutex_);
  return frame_period_ms_;
}

LatestFrameQueue::LatestFrameQueue(std::size_t capacity) : capacity_(capacity) {
  if (capacity == 0) throw InvalidInput("frame queue capacity must be positive");
}

bool LatestFrameQueue::push(VideoFrame frame) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    while (frames_.size() >= capacity_) {
      frames_.pop_front();
      ++dropped_;
    }
    frames_.push_back(std::move(frame));
  }
  ready_.notify_one();
  return true;
}

std::optional<VideoFrame> LatestFrameQueue::take_oldest() {
  if (frames_.empty()) return std::nullopt;
  std::optional<VideoFrame> frame(std::move(frames_.front()));
  frames_.pop_front();
  return frame;
}

std::optional<VideoFrame> LatestFrameQueue::pop() {
  std::lock_guard lock(mutex_);
  return take_oldest();
}

std::optional<VideoFrame> LatestFrameQueue::wait_pop(int timeout_ms) {
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (frames_.empty() && !closed_) {
    if (ready_.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  return take_oldest();
}

void LatestFrameQueue::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

std::size_t LatestFrameQueue::size() const {
  std::lock_guard lock(mutex_);
  return frames_.size();
}

std::uint64_t LatestFrameQueue::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace velmo::ai
