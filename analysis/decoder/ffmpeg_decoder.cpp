#include "analysis/decoder/ffmpeg_decoder.h"

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "analysis/decoder/decoder_log.h"
#include "analysis/decoder/ffmpeg_connection.h"
#include "analysis/decoder/ffmpeg_input.h"
#include "analysis/decoder/ffmpeg_log.h"
#include "analysis/decoder/retry_policy.h"
#include "foundation/log.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace velmo::ai {
namespace {

struct NetworkRuntime {
  NetworkRuntime() { avformat_network_init(); }
  ~NetworkRuntime() { avformat_network_deinit(); }
  NetworkRuntime(const NetworkRuntime&) = delete;
  NetworkRuntime& operator=(const NetworkRuntime&) = delete;
};

// Once per process, whichever decoder starts first.
void process_setup() {
  static NetworkRuntime network;
  static const bool limited = [] {
    forward_ffmpeg_log();
    // A camera's reply says how much FFmpeg allocates for it: one that claims gigabytes is refused
    // at once instead of read in.
    av_max_alloc(kMaxFfmpegBlockBytes);
    return true;
  }();
  (void)network;
  (void)limited;
}

enum class AttemptEnd { retry, stop };

}  // namespace

const char* decoder_state_text(DecoderState state) {
  switch (state) {
    case DecoderState::opening: return "opening stream";
    case DecoderState::online: return "stream online";
    case DecoderState::reopening: return "reopening stream";
    case DecoderState::stopped: return "stream stopped";
  }
  return "";
}

const char* stream_tls(std::string_view url) {
  return url.starts_with("rtsps://") ? "certificate not verified" : "none";
}

FfmpegDecoder::FfmpegDecoder(std::string url, DecoderOptions options)
    : url_(std::move(url)), options_(std::move(options)), pool_(FramePool::process_pool()) {
  options_.clock = clock_or_system(std::move(options_.clock));
  if (url_.empty() || options_.reconnect_delay_ms < 0) {
    throw std::invalid_argument("invalid FFmpeg decoder configuration");
  }
  const std::optional<DecodeMode> mode = parse_decode_mode(options_.decode_mode);
  if (!mode) throw std::invalid_argument("invalid decoder mode");
  mode_ = *mode;
  if (!kKeyframeFallbackMsRange.holds(options_.keyframe_fallback_ms)) {
    throw std::invalid_argument("invalid keyframe fallback interval");
  }
  const std::optional<HardwareDecode> hardware = parse_hardware_decode(options_.hardware_decode);
  if (!hardware) throw std::invalid_argument("invalid hardware decode mode");
  hardware_ = *hardware;
  log_context_ = {LogField{"task_id", options_.task_id}, LogField{"stream_id", options_.stream_id}};
}

void FfmpegDecoder::run(std::stop_token stop, const DecoderCallbacks& callbacks) {
  process_setup();
  FfmpegMessageThrottle ffmpeg_repeats(*options_.clock);
  const FfmpegLogScope scoped_log(log_context_, &ffmpeg_repeats);
  const std::span<const LogField> context(log_context_);
  DecoderLog decoder_log(*options_.clock, context);
  bool hardware_wanted = hardware_ == HardwareDecode::automatic;
  unsigned attempt = 1;
  if (std::string_view(stream_tls(url_)) != "none") {
    log(LogLevel::warn, "decoder: camera certificate not verified", context,
        {{"reason", "FFmpeg's RTSP demuxer takes any TLS certificate"}});
  }

  auto send_state = [&](DecoderState state) {
    if (callbacks.on_state) callbacks.on_state(state, decoder_state_text(state));
  };

  // One connection attempt; every failure is logged and retried by the caller, which learns why.
  AttemptFailure failure;
  auto connect_once = [&]() -> AttemptEnd {
    const unsigned earlier = attempt - 1;
    const std::string count = std::to_string(attempt);
    send_state(earlier == 0 ? DecoderState::opening : DecoderState::reopening);

    InterruptContext interrupt;
    interrupt.clock = options_.clock.get();
    interrupt.arm(interrupt.clock->steady_ms());
    interrupt.stop = stop;
    interrupt.log = context;
    OpenedInput input = open_input(url_, interrupt, decoder_log, attempt);
    if (input.stopped) return AttemptEnd::stop;
    if (!input.format) {
      failure = std::move(input.failure);
      return AttemptEnd::retry;
    }

    FfmpegConnection connection(options_, mode_, next_sequence_, pool_, stop, callbacks, interrupt, decoder_log);
    if (!connection.open_codec(input.format->streams[input.video_stream], hardware_wanted, attempt)) {
      failure = {connection.cause()};
      return AttemptEnd::retry;
    }
    send_state(DecoderState::online);
    if (earlier > 0) log(LogLevel::info, "decoder: stream reconnected", context, {{"count", std::to_string(earlier)}});

    if (!connection.read_loop(input.format.get())) hardware_wanted = false;
    const std::optional<int> read_error = connection.read_error();
    if (stop.stop_requested()) {
      if (read_error)
        log(LogLevel::warn, "decoder: stream read interrupted", context, {{"err", ffmpeg_error(*read_error)}});
      return AttemptEnd::stop;
    }
    failure = {connection.cause()};
    decoder_log.failure(failure.cause);
    if (read_error) decoder_log.failure_line("decoder: stream read interrupted", {{"err", ffmpeg_error(*read_error)}});
    decoder_log.failure_line("decoder: stream offline", {{"reason", "reconnecting"}, {"count", count}});
    return AttemptEnd::retry;
  };

  unsigned lasting = 0;
  std::int32_t pause = options_.reconnect_delay_ms;
  while (!stop.stop_requested()) {
    failure = {};
    if (connect_once() == AttemptEnd::stop) break;
    if (callbacks.on_error) callbacks.on_error(failure.cause);
    lasting = failure.lasting ? lasting + 1 : 0;
    const std::int32_t next = retry_pause_ms(options_.reconnect_delay_ms, lasting);
    if (next > pause) {
      log(LogLevel::warn, "decoder: camera keeps refusing, retrying less often", context,
          {{"count", std::to_string(attempt)}, {"pause_ms", std::to_string(next)}, {"cause", failure.cause}});
    }
    pause = next;
    pause_before_retry(*options_.clock, pause, stop);
    ++attempt;
  }
  send_state(DecoderState::stopped);
}

}  // namespace velmo::ai
