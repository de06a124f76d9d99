#include "analysis/decoder/read_policy.h"

namespace velmo::ai {
namespace {

// The hardware decoder owing a picture for this long has stalled.
constexpr std::int64_t kHardwareStallMs = 3000;
// Decoding this far behind the stream's own pace is reported, at most once per interval.
constexpr std::int64_t kLagWarningMs = 2000;
constexpr std::int64_t kLagWarningEveryMs = 30000;
// A step in stream time this much beyond the time that passed is a new time line, not speed.
constexpr std::int64_t kStreamTimeJumpMs = 5000;
// A read that waits this long found the socket empty: the camera paused, no backlog is waiting.
constexpr std::int64_t kIdleReadMs = 500;
// This many fall-back intervals without a key frame is reported, and again at most once per
// interval below while it lasts.
constexpr std::int64_t kStarvedFallbacks = 3;
constexpr std::int64_t kStarvedWarningEveryMs = 60000;

}  // namespace

PacketAction decide_packet(const PacketContext& c) {
  if (c.hardware_active && c.hardware_waiting_since_ms && c.now_ms - *c.hardware_waiting_since_ms >= kHardwareStallMs) {
    return PacketAction::hardware_stalled;
  }
  if (c.keyframes_only && c.adaptive && c.now_ms - c.last_frame_ms >= c.keyframe_fallback_ms) {
    return PacketAction::decode_all_from_now;
  }
  if (c.keyframes_only && !c.key_packet) return PacketAction::skip;
  return PacketAction::decode;
}

std::optional<std::int64_t> LagWatch::picture(std::int64_t pts_ms, std::int64_t now_ms) {
  const std::int64_t offset = now_ms - pts_ms;
  const bool jumped =
      pts_ms < previous_pts_ms_ || pts_ms - previous_pts_ms_ > kStreamTimeJumpMs + (now_ms - previous_now_ms_);
  if (!have_reference_ || jumped) {
    reference_offset_ms_ = offset;
    have_reference_ = true;
  } else if (offset < reference_offset_ms_) {
    reference_offset_ms_ = offset;
  }
  previous_pts_ms_ = pts_ms;
  previous_now_ms_ = now_ms;
  const std::int64_t lag = offset - reference_offset_ms_;
  if (lag <= kLagWarningMs || (last_warning_ms_ && now_ms - *last_warning_ms_ < kLagWarningEveryMs))
    return std::nullopt;
  last_warning_ms_ = now_ms;
  return lag;
}

void LagWatch::read_waited(std::int64_t waited_ms) {
  if (waited_ms >= kIdleReadMs) have_reference_ = false;
}

StarvationWatch::Verdict StarvationWatch::skipped(std::int64_t now_ms, std::int64_t last_frame_ms) {
  const std::int64_t waited = now_ms - last_frame_ms;
  if (waited < kStarvedFallbacks * fallback_ms_) return {};
  Verdict verdict{true, std::nullopt};
  if (last_warning_ms_ && now_ms - *last_warning_ms_ < kStarvedWarningEveryMs) return verdict;
  last_warning_ms_ = now_ms;
  verdict.warn_waited_ms = waited;
  return verdict;
}

}  // namespace velmo::ai
