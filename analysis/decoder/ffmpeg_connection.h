#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "analysis/decoder/decoder_log.h"
#include "analysis/decoder/ffmpeg_decoder.h"
#include "analysis/decoder/ffmpeg_handles.h"
#include "analysis/decoder/ffmpeg_input.h"
#include "analysis/decoder/read_policy.h"
#include "foundation/log.h"
#include "foundation/video_frame.h"

namespace velmo::ai {

// One connection's decoding, once its input is open: the codec (VAAPI first when wanted, else
// software), the read loop with its mode and stall rules, and the conversion and hand-over of each
// picture. Lives on the decoder's thread, for one connection; everything it is given by reference
// outlives it, and the options carry the clock (never empty). Stream and codec failures end it
// with a cause; only exhausted resources throw (std::runtime_error), and so does whatever the
// callbacks throw.
class FfmpegConnection {
 public:
  FfmpegConnection(const DecoderOptions& options, DecodeMode mode, std::atomic<std::uint64_t>& next_sequence,
                   const std::shared_ptr<FramePool>& pool, const std::stop_token& stop,
                   const DecoderCallbacks& callbacks, InterruptContext& interrupt, DecoderLog& decoder_log);
  FfmpegConnection(const FfmpegConnection&) = delete;
  FfmpegConnection& operator=(const FfmpegConnection&) = delete;
  // A starved or refused report does not outlive its connection.
  ~FfmpegConnection();

  // Opens the decoder for `stream`; false (after logging) when no decoder could be opened.
  bool open_codec(const AVStream* stream, bool hardware_wanted, unsigned attempt);
  // Reads and delivers until the connection ends; false when the hardware stall rule fired.
  bool read_loop(AVFormatContext* format);
  // Why the connection or its codec failed; empty when it ended for a stop.
  const std::string& cause() const { return cause_; }
  // The error of the read that ended the connection, when one did.
  std::optional<int> read_error() const { return read_error_; }

 private:
  enum class Received { more, ended };
  Received send_and_receive(const AVPacket* packet);
  Received receive_frames();
  bool deliver(AVFrame* decoded);
  void keep_for_replay(const AVPacket* packet, bool key);
  Received replay();
  void watch_starvation(std::int64_t now);
  void set_starved(bool starved);
  void packet_refused(int error);
  void packet_taken();

  const DecoderOptions& options_;
  const Clock& clock_;  // the options' own
  const DecodeMode mode_;
  std::atomic<std::uint64_t>& next_sequence_;
  const std::shared_ptr<FramePool>& pool_;
  const std::stop_token& stop_;
  const DecoderCallbacks& callbacks_;
  InterruptContext& interrupt_;
  DecoderLog& decoder_log_;
  std::span<const LogField> log_;  // the decoder log's context

  const AVStream* stream_ = nullptr;
  CodecPtr codec_;
  BufferPtr device_;
  bool hardware_active_ = false;
  AVPixelFormat hardware_format_ = AV_PIX_FMT_NONE;  // the get-format callback reads it via opaque
  FramePtr frame_;
  FramePtr software_frame_;
  ScalerPtr scaler_;
  std::int64_t last_frame_ms_ = 0;
  std::optional<std::int64_t> hardware_waiting_since_ms_;
  bool read_ended_ = false;
  std::string cause_;
  std::optional<int> read_error_;
  // Since when the video decoder has refused every packet, and whether that was reported.
  std::optional<std::int64_t> refusing_since_ms_;
  bool refusal_reported_ = false;
  // Adaptive mode: the packets since the last key frame (a complete run of them, or none).
  std::vector<PacketPtr> since_key_;
  std::size_t since_key_bytes_ = 0;
  bool replaying_ = false;  // pictures of kept packets are old: decoded, not delivered
  bool starved_ = false;    // keyframe mode: reported as starved
  StarvationWatch starvation_;
  LagWatch lag_;
};

}  // namespace velmo::ai
