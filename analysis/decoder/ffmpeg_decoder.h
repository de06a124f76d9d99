#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "analysis/decoder/band_observer.h"
#include "foundation/clock.h"
#include "foundation/config.h"
#include "foundation/log.h"
#include "foundation/video_frame.h"

namespace velmo::ai {

struct DecoderOptions {
  std::int32_t reconnect_delay_ms = 1000;    // pause after a failed or ended attempt; 0: none
  std::string decode_mode = "adaptive";      // "adaptive", "keyframe" or "all": DecodeMode
  std::int32_t keyframe_fallback_ms = 5000;  // adaptive: no frame for this long means decode all
  std::string hardware_decode = "auto";      // HardwareDecode: "auto" tries VAAPI first, "off" is software only
  // Which task the stream belongs to, on every log line of the decoder (FFmpeg's own included);
  // empty ones are left out.
  std::string task_id;
  std::string stream_id;
  // Where the decoder reads time: its deadlines, pauses and fall-backs on steady_ms, the frames'
  // stamps on wall_ms. Empty: the system clock.
  std::shared_ptr<const Clock> clock;
  // Tests only: asked before each packet goes to the video decoder; a negative FFmpeg error code
  // stands for the decoder's refusal and the packet is not sent. Empty: every packet is sent.
  std::function<int()> packet_fault;
};

// What one camera connection may cost before it is closed (and reconnected like any other).
// A packet or the access unit that FFmpeg's demuxer gathers from RTP fragments: an 8K key frame
// takes a few MiB, so a camera past this is broken or hostile.
constexpr std::int64_t kMaxAccessUnitBytes = 64ll << 20;
// Any one block that FFmpeg allocates, process-wide: the largest picture plane FFmpeg decodes into
// (8K with 16-bit samples) takes about 64 MiB, while a camera's reply that claims gigabytes would
// be allocated as claimed.
constexpr std::size_t kMaxFfmpegBlockBytes = std::size_t{128} << 20;

enum class DecoderState : int { opening = 0, online = 1, reopening = 2, stopped = 3 };

// "opening stream", "stream online", "reopening stream", "stream stopped".
const char* decoder_state_text(DecoderState state);

// What the decoder guarantees about the connection to `url`: "none" for rtsp:// (no TLS), and
// "certificate not verified" for rtsps://: encrypted, but any certificate is taken, as FFmpeg's
// RTSP demuxer opens its TLS connection with no options at all (no CA file, no verification).
const char* stream_tls(std::string_view url);

struct DecoderCallbacks {
  std::function<void(DecoderState, const std::string&)> on_state;
  // Takes the frame; false ends the current connection.
  std::function<bool(VideoFrame&&)> on_frame;
  // Asked with each decoded picture's presentation time (ms) before it is converted; false: the
  // picture is left unconverted and on_frame is not called for it. Empty: every picture is wanted.
  std::function<bool(std::int64_t)> wants_frame;
  // Why a connection attempt failed or a connection ended, in plain words ("camera answered 401
  // Unauthorized", "no packet for 10 s"); called before the pause, never for a stop.
  std::function<void(const std::string&)> on_error;
  // Keyframe mode: true once no key frame came for several fall-back intervals while packets do (the
  // camera sends none: nothing reaches the analysis), false when a picture comes again or the
  // connection ends.
  std::function<void(bool)> on_starved;
  // Why nothing is decoded, once the video decoder has refused every packet for several seconds
  // ("video decoder refused every packet for 5 s: ..."); an empty text once it takes one again or
  // the connection ends.
  std::function<void(const std::string&)> on_packets_refused;
  // Sees each converted picture's rows a band at a time, while they are in cache; what it makes of
  // them travels with the frame as its summary. Called on the thread of `run`, which it outlives.
  BandObserver* band_observer = nullptr;
};

// Turns one RTSP stream into packed BGR frames, reconnecting after every failure until stopped.
// Lives on one thread.
class FfmpegDecoder {
 public:
  // Throws std::invalid_argument on an empty URL or options out of range.
  FfmpegDecoder(std::string url, DecoderOptions options);
  FfmpegDecoder(const FfmpegDecoder&) = delete;
  FfmpegDecoder& operator=(const FfmpegDecoder&) = delete;

  // Blocks until `stop` is requested, then reports `stopped` and returns. Stream and codec
  // failures are logged and retried; only exhausted resources throw std::runtime_error.
  void run(std::stop_token stop, const DecoderCallbacks& callbacks);

 private:
  std::string url_;
  DecoderOptions options_;
  DecodeMode mode_ = DecodeMode::adaptive;  // the options' texts, read once by the constructor
  HardwareDecode hardware_ = HardwareDecode::automatic;
  std::atomic<std::uint64_t> next_sequence_{1};  // survives reconnections
  std::array<LogField, 2> log_context_;          // task_id and stream_id
  std::shared_ptr<FramePool> pool_;              // the process's pixel blocks, handed back as frames end
};

}  // namespace velmo::ai
