#pragma once

// The read loop's rules, free of FFmpeg and of clocks so that they can be checked on scripted
// times: which packets are decoded, when the hardware decoder has stalled, when decoding lags
// behind the stream and when a keyframe-mode camera starves the analysis. Every time is a monotonic
// millisecond that the caller reads; nothing here locks, and each object serves one connection.

#include <cstdint>
#include <optional>

namespace velmo::ai {

// What the read loop does with one packet of the video stream.
enum class PacketAction {
  decode,
  skip,                 // a non-key packet while only key frames are decoded
  decode_all_from_now,  // adaptive fall-back: decode this and every later packet of the connection,
                        // picking up from the last key frame
  hardware_stalled,     // the hardware decoder was fed but gave nothing: reconnect in software
};

struct PacketContext {
  std::int64_t now_ms = 0;
  bool key_packet = false;
  bool keyframes_only = false;
  bool adaptive = false;
  std::int32_t keyframe_fallback_ms = 5000;
  std::int64_t last_frame_ms = 0;  // last delivered frame, or the start of the connection
  bool hardware_active = false;
  // When the hardware decoder was first fed a packet that has not yet produced a picture.
  // Empty while it owes nothing, so time spent skipping packets on purpose never counts.
  std::optional<std::int64_t> hardware_waiting_since_ms;
};

PacketAction decide_packet(const PacketContext& context);

// A live source sends in real time, so stream time and the monotonic clock advance together; when
// the pictures come out later and later, decoding has fallen behind (the backlog waits in socket
// buffers, where the frame queue's drop count never sees it). The earliest arrival seen is the
// reference; a jump in the stream's time starts a new one, and so does a read that had to wait:
// with nothing buffered the decoder is not behind, whatever the camera's pause did to the times.
class LagWatch {
 public:
  // A picture of stream time pts_ms came out at now_ms: the lag to report (more than 2 s behind the
  // reference), at most once per 30 s; none otherwise.
  std::optional<std::int64_t> picture(std::int64_t pts_ms, std::int64_t now_ms);
  // A packet read took waited_ms.
  void read_waited(std::int64_t waited_ms);

 private:
  bool have_reference_ = false;
  std::int64_t reference_offset_ms_ = 0;  // the smallest (arrival - stream time) seen
  std::int64_t previous_pts_ms_ = 0;
  std::int64_t previous_now_ms_ = 0;
  std::optional<std::int64_t> last_warning_ms_;
};

// Keyframe mode: a camera that sends packets but no key frame for three fall-back intervals
// starves the analysis.
class StarvationWatch {
 public:
  struct Verdict {
    bool starved = false;
    std::optional<std::int64_t> warn_waited_ms;  // say so, with the time waited: at most once a minute
  };
  explicit StarvationWatch(std::int32_t keyframe_fallback_ms) : fallback_ms_(keyframe_fallback_ms) {}
  // A packet was skipped at now_ms, the last picture having come at last_frame_ms.
  Verdict skipped(std::int64_t now_ms, std::int64_t last_frame_ms);

 private:
  std::int32_t fallback_ms_;
  std::optional<std::int64_t> last_warning_ms_;
};

}  // namespace velmo::ai
