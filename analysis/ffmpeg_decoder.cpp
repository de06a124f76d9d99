#include "analysis/ffmpeg_decoder.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/log.h"
#include "foundation/time.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace velmo::ai {
namespace {

constexpr std::int64_t kAttemptDeadlineMs = 10000;
constexpr std::int64_t kSocketTimeoutMs = 5000;  // the socket time-out option below, in µs there
constexpr std::int64_t kHardwareStallMs = 2999;  // more than this without a picture is a stall
// Bands of about this many rows: few enough to stay in cache from their conversion to the band
// observer's pass, enough that the converter's cost per call stays small.
constexpr int kBandRows = 16;
// Decoding this far behind the stream's own pace is reported, at most once per interval.
constexpr std::int64_t kLagWarningMs = 2000;
constexpr std::int64_t kLagWarningEveryMs = 30000;
// A step in stream time this much beyond the time that passed is a new time line, not speed.
constexpr std::int64_t kStreamTimeJumpMs = 5000;
// Adaptive mode keeps the packets since the last key frame, up to this many bytes, so that the
// switch to all frames decodes from that key frame instead of waiting for the next one.
constexpr std::size_t kMaxReplayBytes = std::size_t{16} << 20;
// Keyframe mode: this many fall-back intervals without a key frame is reported, and again at
// most once per interval below while it lasts.
constexpr std::int64_t kStarvedFallbacks = 3;
constexpr std::int64_t kStarvedWarningEveryMs = 60000;
// Failures that a quick retry cannot mend: this many at the usual pause, then a pause from the
// first below, doubling up to the second.
constexpr unsigned kQuickLastingAttempts = 3;
constexpr std::int32_t kLastingPauseFirstMs = 10000;
constexpr std::int32_t kLastingPauseMostMs = 30000;

// The task and stream of the decoder running on this thread: FFmpeg calls its log callback on the
// thread that made the FFmpeg call, and every call of a connection runs on its decoder's thread
// (the codec is opened single-threaded), so a message is attributed to its connection here.
thread_local std::span<const LogField> t_log_context;

struct ScopedLogContext {
  explicit ScopedLogContext(std::span<const LogField> context) : previous(t_log_context) { t_log_context = context; }
  ~ScopedLogContext() { t_log_context = previous; }
  ScopedLogContext(const ScopedLogContext&) = delete;
  ScopedLogContext& operator=(const ScopedLogContext&) = delete;
  std::span<const LogField> previous;
};

// Bytes of the access unit that the demuxer's parsers are still gathering: FFmpeg joins a
// picture's RTP fragments there, inside av_read_frame, for as long as the picture's end does not come.
std::int64_t gathered_bytes(const AVFormatContext* format) {
  std::int64_t most = 0;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParserContext* parser = av_stream_get_parser(format->streams[i]);
    if (parser != nullptr) most = std::max(most, parser->cur_offset - parser->next_frame_offset);
  }
  return most;
}

std::string access_unit_cause() { return "access unit over " + std::to_string(kMaxAccessUnitBytes >> 20) + " MiB"; }

// Before 59 the RTSP socket timeout was "stimeout"; there "timeout" means listen.
#if LIBAVFORMAT_VERSION_MAJOR >= 59
constexpr const char* kSocketTimeoutOption = "timeout";
#else
constexpr const char* kSocketTimeoutOption = "stimeout";
#endif

struct InterruptContext {
  std::atomic<std::int64_t>* deadline = nullptr;
  std::stop_token stop;
  const AVFormatContext* format = nullptr;  // whose parsers gather access units
  std::string bound = {};  // why a bound of the connection ended it; empty while none did
  bool expired = false;    // the deadline cut the present call short
};

// Also ends the connection, for good, once the access unit being gathered grows past its bound.
int interrupt_callback(void* opaque) {
  auto* context = static_cast<InterruptContext*>(opaque);
  if (context->stop.stop_requested() || !context->bound.empty()) return 1;
  if (context->format != nullptr && gathered_bytes(context->format) > kMaxAccessUnitBytes) {
    context->bound = access_unit_cause();
    log(LogLevel::warn, "decoder: access unit too large, closing the connection", t_log_context,
        {{"limit_bytes", std::to_string(kMaxAccessUnitBytes)}});
    return 1;
  }
  if (steady_millis() <= context->deadline->load()) return 0;
  context->expired = true;
  return 1;
}

AVPixelFormat select_hardware_format(AVCodecContext* codec, const AVPixelFormat* offered) {
  const AVPixelFormat wanted = *static_cast<const AVPixelFormat*>(codec->opaque);
  for (const AVPixelFormat* format = offered; *format != AV_PIX_FMT_NONE; ++format) {
    if (*format == wanted) return wanted;
  }
  return AV_PIX_FMT_NONE;
}

std::string ffmpeg_error(int code) {
  char text[64] = {};
  av_strerror(code, text, sizeof text);
  return std::string(text);
}

struct NetworkRuntime {
  NetworkRuntime() { avformat_network_init(); }
  ~NetworkRuntime() { avformat_network_deinit(); }
  NetworkRuntime(const NetworkRuntime&) = delete;
  NetworkRuntime& operator=(const NetworkRuntime&) = delete;
};

std::atomic<bool> g_ffmpeg_debug{false};
// FFmpeg's log level as set here. FFmpeg calls the callback for every message, also the many below
// the level (its demuxer has some for each packet): asking libavutil for the level each time cost
// more than the rest of the early return.
std::atomic<int> g_ffmpeg_level{AV_LOG_WARNING};

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// Camera URLs carry user names and passwords, and FFmpeg's debug output carries the RTSP
// requests with their Authorization headers: neither may reach the log.
std::string without_credentials(std::string line) {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first != std::string::npos && starts_with_ignoring_case(std::string_view(line).substr(first), "authorization:")) {
    return line.substr(0, first) + "Authorization: ***";
  }
  for (std::size_t scheme = line.find("://"); scheme != std::string::npos; scheme = line.find("://", scheme + 3)) {
    const std::size_t start = scheme + 3;
    const std::size_t end = line.find_first_of("/ \t\"'?#<>", start);
    const std::size_t at = line.rfind('@', end == std::string::npos ? line.size() - 1 : end - 1);
    if (at != std::string::npos && at >= start && (end == std::string::npos || at < end)) {
      line.replace(start, at - start, "***");
    }
  }
  return line;
}

LogLevel mapped_level(int level) {
  // Without the debug switch only warnings and errors get here, all as warnings: the decoder's own
  // lines say what they cost.
  if (!g_ffmpeg_debug.load(std::memory_order_relaxed)) return LogLevel::warn;
  if (level <= AV_LOG_ERROR) return LogLevel::error;
  if (level <= AV_LOG_WARNING) return LogLevel::warn;
  if (level <= AV_LOG_INFO) return LogLevel::info;
  return LogLevel::debug;
}

// FFmpeg's log callback: its lines become the decoder's log lines. FFmpeg may build one line from
// several calls, so the text is gathered per thread up to its line feed.
void route_ffmpeg_log(void* object, int level, const char* format, va_list args) {
  level &= 0xff;
  if (level > g_ffmpeg_level.load(std::memory_order_relaxed)) return;
  thread_local std::string pending;
  thread_local std::string source;
  thread_local int pending_level = AV_LOG_INFO;
  thread_local std::vector<LogField> context;  // a copy: the decoder may be gone by the line feed
  char piece[1024];
  const int written = std::vsnprintf(piece, sizeof piece, format, args);
  if (written < 0) return;
  if (pending.empty()) {
    const AVClass* cls = object != nullptr ? *static_cast<const AVClass* const*>(object) : nullptr;
    const char* name = cls != nullptr && cls->item_name != nullptr ? cls->item_name(object) : nullptr;
    source = name != nullptr ? name : "ffmpeg";
    pending_level = level;
    context.assign(t_log_context.begin(), t_log_context.end());
  }
  pending += piece;
  if (pending.empty() || (pending.back() != '\n' && pending.size() < 4096)) return;
  std::string text;
  text.swap(pending);
  const LogLevel mapped = mapped_level(pending_level);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) {
      log(mapped, "decoder: ffmpeg message", context,
          {{"source", source}, {"text", without_credentials(std::move(line))}});
    }
    start = end + 1;
  }
}

void process_setup() {
  static NetworkRuntime network;
  static const bool debug_checked = [] {
    const char* value = std::getenv("VELMO_AI_FFMPEG_DEBUG");
    const bool debug = value != nullptr && std::string_view(value) == "1";
    g_ffmpeg_debug = debug;
    g_ffmpeg_level = debug ? AV_LOG_DEBUG : AV_LOG_WARNING;
    av_log_set_level(g_ffmpeg_level);
    av_log_set_callback(route_ffmpeg_log);
    // A camera's reply says how much FFmpeg allocates for it: one that claims gigabytes is refused
    // at once instead of read in.
    av_max_alloc(kMaxFfmpegBlockBytes);
    return true;
  }();
  (void)network;
  (void)debug_checked;
}

struct FormatCloser {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct BufferUnref {
  void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScalerFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFreer>;

// Drops the packet's payload when it leaves scope, whichever way the loop goes on.
struct PacketRelease {
  AVPacket* packet;
  ~PacketRelease() { av_packet_unref(packet); }
};
struct FrameRelease {
  AVFrame* frame;
  ~FrameRelease() {
    if (frame != nullptr) av_frame_unref(frame);
  }
};

// Waits out the reconnect pause; a stop request cuts it short.
void pause_before_retry(std::int32_t delay_ms, const std::stop_token& stop) {
  if (delay_ms <= 0) return;
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, std::chrono::milliseconds(delay_ms), [] { return false; });
}

enum class AttemptEnd { retry, stop };

}  // namespace

void convert_picture(SwsContext* scaler, const AVFrame* picture, VideoFrame& frame, BandObserver* observer) {
  const int width = picture->width;
  const int height = picture->height;
  const std::size_t stride = static_cast<std::size_t>(width) * 3u;
  frame.pixels.resize(stride * static_cast<std::size_t>(height));
  frame.summary.reset();
  std::uint8_t* planes[4] = {frame.pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(stride), 0, 0, 0};
  // Only 4:2:0 planar (what software H.264 and HEVC decoding give) is converted in bands: FFmpeg
  // converts it row for row, so a band's rows are final when its call returns. Other formats may
  // go through its filtering scaler, which holds rows back until the next band.
  const auto format = static_cast<AVPixelFormat>(picture->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const bool in_bands = desc != nullptr && (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P);
  const int unit = observer != nullptr && in_bands ? observer->begin(width, height) : 0;
  if (unit < 1) {
    sws_scale(scaler, picture->data, picture->linesize, 0, height, planes, strides);
    return;
  }
  // The observer reads each band right after its conversion, while it is still in cache, instead
  // of the whole picture again from memory. Bands are whole units of the observer's rows and whole
  // rows of chroma.
  const int step = std::lcm(unit, 1 << desc->log2_chroma_h);
  const int band = std::max(step, kBandRows / step * step);
  for (int top = 0; top < height; top += band) {
    const int rows = std::min(band, height - top);
    const std::uint8_t* source[4] = {};
    for (int p = 0; p < 4; ++p) {
      if (picture->data[p] == nullptr) continue;
      const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
      source[p] = picture->data[p] + static_cast<std::ptrdiff_t>(top >> shift) * picture->linesize[p];
    }
    sws_scale(scaler, source, picture->linesize, top, rows, planes, strides);
    observer->band(frame.pixels.data() + static_cast<std::size_t>(top) * stride, stride, top, rows);
  }
  frame.summary = observer->finish();
}

namespace {

// Why an attempt ended, and whether a quick retry can mend it.
struct Failure {
  std::string cause;
  bool lasting = false;
};

// Why the open failed, in plain words.
Failure open_failure(int code, bool deadline_passed) {
  switch (code) {
    case AVERROR_HTTP_BAD_REQUEST: return {"camera answered 400 Bad Request"};
    case AVERROR_HTTP_UNAUTHORIZED: return {"camera answered 401 Unauthorized", true};
    case AVERROR_HTTP_FORBIDDEN: return {"camera answered 403 Forbidden", true};
    case AVERROR_HTTP_NOT_FOUND: return {"camera answered 404 Not Found", true};
    case AVERROR_HTTP_OTHER_4XX: return {"camera refused the request (4xx)"};
    case AVERROR_HTTP_SERVER_ERROR: return {"camera answered a server error (5xx)"};
    case AVERROR(ECONNREFUSED): return {"connection refused"};
    case AVERROR(ETIMEDOUT): return {"connection timed out"};
    case AVERROR(EHOSTUNREACH): return {"host unreachable"};
    case AVERROR(ENETUNREACH): return {"network unreachable"};
    // Also what a reply larger than FFmpeg may allocate in one block ends in.
    case AVERROR_INVALIDDATA:
      return {"camera's description unreadable (invalid, or over " + std::to_string(kMaxFfmpegBlockBytes >> 20) +
              " MiB)"};
    default: break;
  }
  if (deadline_passed) return {"no answer within 10 s"};
  return {"stream open failed: " + ffmpeg_error(code)};
}

// Why reading ended, in plain words. FFmpeg reports a silent socket and the deadline as the end of
// the stream, so the time waited and the deadline tell them apart.
std::string read_failure(int code, std::int64_t waited_ms, bool deadline_expired) {
  if (deadline_expired) return "no packet for 10 s";
  if (code == AVERROR_EOF && waited_ms >= kSocketTimeoutMs) return "no data for 5 s";
  if (code == AVERROR_EOF) return "camera ended the stream";
  return "stream read failed: " + ffmpeg_error(code);
}

// The per-connection decoder: codec, hardware device and colour converter.
class Connection {
 public:
  Connection(const DecoderOptions& options, DecodeMode mode, std::atomic<std::uint64_t>& next_sequence,
             const std::shared_ptr<FramePool>& pool, const std::stop_token& stop, const DecoderCallbacks& callbacks,
             InterruptContext& interrupt, std::span<const LogField> log_context)
      : options_(options),
        mode_(mode),
        next_sequence_(next_sequence),
        pool_(pool),
        stop_(stop),
        callbacks_(callbacks),
        interrupt_(interrupt),
        log_(log_context) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { set_starved(false); }

  // Opens the decoder for `stream`; false (after logging) when no decoder could be opened.
  bool open_codec(const AVStream* stream, bool hardware_wanted, unsigned attempt);
  // Reads and delivers until the connection ends; false when the hardware stall rule fired.
  bool read_loop(AVFormatContext* format);
  // Why the connection or its codec failed; empty when it ended for a stop.
  const std::string& cause() const { return cause_; }

 private:
  enum class Received { more, ended };
  Received send_and_receive(const AVPacket* packet);
  Received receive_frames();
  bool deliver(AVFrame* decoded);
  void watch_real_time(std::int64_t pts_ms);
  void keep_for_replay(const AVPacket* packet, bool key);
  Received replay();
  void watch_starvation(std::int64_t now);
  void set_starved(bool starved);

  const DecoderOptions& options_;
  const DecodeMode mode_;
  std::atomic<std::uint64_t>& next_sequence_;
  const std::shared_ptr<FramePool>& pool_;
  const std::stop_token& stop_;
  const DecoderCallbacks& callbacks_;
  InterruptContext& interrupt_;
  std::span<const LogField> log_;

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
  // Adaptive mode: the packets since the last key frame (a complete run of them, or none).
  std::vector<PacketPtr> since_key_;
  std::size_t since_key_bytes_ = 0;
  bool replaying_ = false;  // pictures of kept packets are old: decoded, not delivered
  // Keyframe mode: no key frame for several fall-back intervals.
  bool starved_ = false;
  std::int64_t last_starved_warning_ms_ = 0;
  // Real-time watch: the smallest (arrival - stream time) seen, and when it last warned.
  bool have_reference_ = false;
  std::int64_t reference_offset_ms_ = 0;
  std::int64_t previous_pts_ms_ = 0;
  std::int64_t previous_now_ms_ = 0;
  std::int64_t last_lag_warning_ms_ = 0;
};

bool Connection::open_codec(const AVStream* stream, bool hardware_wanted, unsigned attempt) {
  stream_ = stream;
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  if (decoder != nullptr) codec_.reset(avcodec_alloc_context3(decoder));
  if (decoder == nullptr || !codec_ || avcodec_parameters_to_context(codec_.get(), stream->codecpar) < 0) {
    log(LogLevel::warn, "decoder: video codec initialization failed", log_, {{"count", std::to_string(attempt)}});
    cause_ = decoder == nullptr ? "no decoder for the video codec" : "video codec initialization failed";
    return false;
  }

  if (hardware_wanted) {
    AVBufferRef* device = nullptr;
    const int rc = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
    if (rc < 0) {
      log(LogLevel::warn, "decoder: hardware decode unavailable, falling back to software", log_,
          {{"decoder", "VAAPI"}, {"err", ffmpeg_error(rc)}});
    } else {
      device_.reset(device);
      hardware_format_ = AV_PIX_FMT_VAAPI;
      codec_->opaque = &hardware_format_;
      codec_->get_format = select_hardware_format;
      codec_->hw_device_ctx = av_buffer_ref(device_.get());
      hardware_active_ = codec_->hw_device_ctx != nullptr;
    }
  }

  // Must be set before opening: the decoder reads it only at open. One thread: FFmpeg's messages
  // about this codec then come on the decoder's thread, which names their task.
  codec_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  codec_->thread_count = 1;
  int rc = avcodec_open2(codec_.get(), decoder, nullptr);
  if (rc < 0 && hardware_active_) {
    log(LogLevel::warn, "decoder: hardware codec initialization failed, falling back to software", log_,
        {{"decoder", "VAAPI"}, {"err", ffmpeg_error(rc)}});
    codec_.reset(avcodec_alloc_context3(decoder));
    device_.reset();
    hardware_active_ = false;
    hardware_format_ = AV_PIX_FMT_NONE;
    if (!codec_) {
      rc = AVERROR(ENOMEM);
    } else {
      rc = avcodec_parameters_to_context(codec_.get(), stream->codecpar);
      if (rc >= 0) {
        codec_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        codec_->thread_count = 1;
        rc = avcodec_open2(codec_.get(), decoder, nullptr);
      }
    }
  }
  if (rc < 0) {
    codec_.reset();
    device_.reset();
    hardware_active_ = false;
    log(LogLevel::warn, "decoder: video codec initialization failed", log_,
        {{"count", std::to_string(attempt)}, {"err", ffmpeg_error(rc)}});
    cause_ = "video codec initialization failed: " + ffmpeg_error(rc);
    return false;
  }
  if (hardware_active_) log(LogLevel::info, "decoder: hardware decode enabled", log_, {{"decoder", "VAAPI"}});
  return true;
}

bool Connection::read_loop(AVFormatContext* format) {
  PacketPtr packet(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!packet || !frame_) throw std::runtime_error("cannot allocate FFmpeg frame buffers");

  bool keyframes_only = mode_ != DecodeMode::all;
  const bool adaptive = mode_ == DecodeMode::adaptive;
  last_frame_ms_ = steady_millis();
  hardware_waiting_since_ms_.reset();
  read_ended_ = false;

  while (!stop_.stop_requested() && !read_ended_) {
    const std::int64_t armed = steady_millis();
    interrupt_.deadline->store(armed + kAttemptDeadlineMs);
    interrupt_.expired = false;
    const int rc = av_read_frame(format, packet.get());
    if (rc < 0) {
      log(LogLevel::warn, "decoder: stream read interrupted", log_, {{"err", ffmpeg_error(rc)}});
      cause_ = !interrupt_.bound.empty() ? interrupt_.bound
                                         : read_failure(rc, steady_millis() - armed, interrupt_.expired);
      break;
    }
    PacketRelease release{packet.get()};
    // A read cut short hands out the part of a picture its parser had gathered: never decoded.
    if (!interrupt_.bound.empty() || interrupt_.expired || packet->size > kMaxAccessUnitBytes) {
      if (interrupt_.bound.empty() && !interrupt_.expired) {
        log(LogLevel::warn, "decoder: access unit too large, closing the connection", log_,
            {{"limit_bytes", std::to_string(kMaxAccessUnitBytes)}});
      }
      cause_ = !interrupt_.bound.empty() ? interrupt_.bound
               : interrupt_.expired      ? read_failure(AVERROR_EXIT, kAttemptDeadlineMs, true)
                                         : access_unit_cause();
      break;
    }
    if (packet->stream_index != stream_->index) continue;

    PacketContext context;
    context.now_ms = steady_millis();
    context.key_packet = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    context.keyframes_only = keyframes_only;
    context.adaptive = adaptive;
    context.keyframe_fallback_ms = options_.keyframe_fallback_ms;
    context.last_frame_ms = last_frame_ms_;
    context.hardware_active = hardware_active_;
    context.hardware_waiting_since_ms = hardware_waiting_since_ms_;
    switch (decide_packet(context)) {
      case PacketAction::hardware_stalled:
        log(LogLevel::warn, "decoder: hardware frames unavailable, falling back to software", log_,
            {{"decoder", "VAAPI"}});
        cause_ = "hardware decoder gave no pictures";
        return false;
      case PacketAction::skip:
        if (adaptive) {
          keep_for_replay(packet.get(), false);
        } else {
          watch_starvation(context.now_ms);
        }
        continue;
      case PacketAction::decode_all_from_now:
        log(LogLevel::warn, "decoder: adaptive keyframe timeout, switching to all frames", log_,
            {{"fallback_ms", std::to_string(options_.keyframe_fallback_ms)}});
        keyframes_only = false;
        // From the last key frame on, so that this packet's picture decodes whole at once.
        if (context.key_packet) {
          since_key_.clear();
        } else if (replay() == Received::ended) {
          return true;
        }
        break;
      case PacketAction::decode:
        if (keyframes_only && adaptive) keep_for_replay(packet.get(), true);
        break;
    }

    if (send_and_receive(packet.get()) == Received::ended) break;
    if (keyframes_only) {
      // Reordering (B-frames) makes the decoder hold a picture until later packets arrive, and
      // those are skipped here: drain so this key packet gives its picture now, then start afresh.
      if (avcodec_send_packet(codec_.get(), nullptr) >= 0 && receive_frames() == Received::ended) break;
      avcodec_flush_buffers(codec_.get());
    }
  }
  return true;
}

Connection::Received Connection::send_and_receive(const AVPacket* packet) {
  if (avcodec_send_packet(codec_.get(), packet) < 0) return Received::more;
  if (hardware_active_ && !hardware_waiting_since_ms_) hardware_waiting_since_ms_ = steady_millis();
  return receive_frames();
}

// A key packet starts the run afresh; a run that outgrows its bound is given up until the next.
void Connection::keep_for_replay(const AVPacket* packet, bool key) {
  if (key) {
    since_key_.clear();
    since_key_bytes_ = 0;
  } else if (since_key_.empty()) {
    return;
  }
  since_key_bytes_ += static_cast<std::size_t>(packet->size);
  PacketPtr kept(av_packet_clone(packet));
  if (!kept || since_key_bytes_ > kMaxReplayBytes) {
    since_key_.clear();
    return;
  }
  since_key_.push_back(std::move(kept));
}

Connection::Received Connection::replay() {
  replaying_ = true;
  Received received = Received::more;
  for (const PacketPtr& kept : since_key_) {
    received = send_and_receive(kept.get());
    if (received == Received::ended) break;
  }
  replaying_ = false;
  since_key_.clear();
  return received;
}

void Connection::watch_starvation(std::int64_t now) {
  const std::int64_t waited = now - last_frame_ms_;
  if (waited < kStarvedFallbacks * options_.keyframe_fallback_ms) return;
  set_starved(true);
  if (last_starved_warning_ms_ != 0 && now - last_starved_warning_ms_ < kStarvedWarningEveryMs) return;
  last_starved_warning_ms_ = now;
  log(LogLevel::warn, "decoder: no key frame, nothing reaches the analysis", log_,
      {{"waited_ms", std::to_string(waited)}});
}

void Connection::set_starved(bool starved) {
  if (starved_ == starved) return;
  starved_ = starved;
  if (callbacks_.on_starved) callbacks_.on_starved(starved);
}

Connection::Received Connection::receive_frames() {
  while (!stop_.stop_requested()) {
    const int rc = avcodec_receive_frame(codec_.get(), frame_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return Received::more;
    if (rc < 0) {
      read_ended_ = true;
      cause_ = "video decoding failed: " + ffmpeg_error(rc);
      return Received::ended;
    }
    FrameRelease release{frame_.get()};
    if (replaying_) {
      hardware_waiting_since_ms_.reset();
      continue;
    }
    if (!deliver(frame_.get())) {
      read_ended_ = true;
      cause_ = "frame consumer ended the connection";
      return Received::ended;
    }
  }
  return Received::ended;
}

// Converts one decoded picture and hands it over; false when the consumer ends the connection.
bool Connection::deliver(AVFrame* decoded) {
  set_starved(false);
  const std::int64_t timestamp = decoded->best_effort_timestamp;
  std::int64_t pts_ms = 0;
  if (timestamp == AV_NOPTS_VALUE) {
    pts_ms = unix_millis();
  } else {
    const double base = static_cast<double>(stream_->time_base.num) / static_cast<double>(stream_->time_base.den);
    pts_ms = static_cast<std::int64_t>(base * static_cast<double>(timestamp) * 1000.0);
    watch_real_time(pts_ms);
  }
  // A picture came out of the decoder, so it is alive whether or not the picture is converted.
  hardware_waiting_since_ms_.reset();
  if (callbacks_.wants_frame && !callbacks_.wants_frame(pts_ms)) {
    last_frame_ms_ = steady_millis();
    return true;
  }

  AVFrame* picture = decoded;
  if (hardware_active_ && decoded->format == hardware_format_) {
    if (!software_frame_) software_frame_.reset(av_frame_alloc());
    if (!software_frame_ || av_hwframe_transfer_data(software_frame_.get(), decoded, 0) < 0) {
      if (software_frame_) av_frame_unref(software_frame_.get());
      log(LogLevel::warn, "decoder: hardware frame transfer failed", log_, {});
      return true;
    }
    picture = software_frame_.get();
  }
  FrameRelease release_software{picture != decoded ? picture : nullptr};
  if (picture->width < 1 || picture->height < 1) return true;

  // Follows each picture: a new size or pixel format (a camera reconfigured, or a switch between
  // hardware and software frames) gets a matching converter instead of overrunning a buffer.
  const auto source_format = static_cast<AVPixelFormat>(picture->format);
  scaler_.reset(sws_getCachedContext(scaler_.release(), picture->width, picture->height, source_format,
                                     picture->width, picture->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr,
                                     nullptr, nullptr));
  if (!scaler_) throw std::runtime_error("cannot create FFmpeg color converter");

  VideoFrame frame;
  frame.width = picture->width;
  frame.height = picture->height;
  // Converted straight into the frame's own buffer, a block of the process's pool recycled from
  // earlier frames and not cleared first: each frame owns its pixels, with no extra copy.
  frame.pixels = PixelBuffer(PixelAllocator<std::uint8_t>(pool_));
  convert_picture(scaler_.get(), picture, frame, callbacks_.band_observer);

  frame.pts_ms = pts_ms;
  frame.sequence = next_sequence_.fetch_add(1);
  frame.wall_ms = unix_millis();
  last_frame_ms_ = steady_millis();

  if (!callbacks_.on_frame) return true;
  return callbacks_.on_frame(std::move(frame));
}

// A live source sends in real time, so stream time and the monotonic clock advance together;
// when the pictures come out later and later, decoding has fallen behind (the backlog waits in
// socket buffers, where the frame queue's drop count never sees it). The earliest arrival seen
// is the reference; a jump in the stream's time starts a new one.
void Connection::watch_real_time(std::int64_t pts_ms) {
  const std::int64_t now = steady_millis();
  const std::int64_t offset = now - pts_ms;
  const bool jumped = pts_ms < previous_pts_ms_ || pts_ms - previous_pts_ms_ > kStreamTimeJumpMs + (now - previous_now_ms_);
  if (!have_reference_ || jumped) {
    reference_offset_ms_ = offset;
    have_reference_ = true;
  } else if (offset < reference_offset_ms_) {
    reference_offset_ms_ = offset;
  }
  previous_pts_ms_ = pts_ms;
  previous_now_ms_ = now;
  const std::int64_t lag = offset - reference_offset_ms_;
  if (lag > kLagWarningMs && (last_lag_warning_ms_ == 0 || now - last_lag_warning_ms_ >= kLagWarningEveryMs)) {
    last_lag_warning_ms_ = now;
    log(LogLevel::warn, "decoder: decoding lags behind real time", log_, {{"lag_ms", std::to_string(lag)}});
  }
}

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

std::int32_t retry_pause_ms(std::int32_t reconnect_delay_ms, unsigned lasting) {
  if (lasting < kQuickLastingAttempts) return reconnect_delay_ms;
  const unsigned doublings = std::min(lasting - kQuickLastingAttempts, 8u);
  const std::int32_t pause = std::min(kLastingPauseMostMs, kLastingPauseFirstMs << doublings);
  return std::max(pause, reconnect_delay_ms);
}

PacketAction decide_packet(const PacketContext& c) {
  if (c.hardware_active && c.hardware_waiting_since_ms && c.now_ms - *c.hardware_waiting_since_ms > kHardwareStallMs) {
    return PacketAction::hardware_stalled;
  }
  if (c.keyframes_only && c.adaptive && c.now_ms - c.last_frame_ms >= c.keyframe_fallback_ms) {
    return PacketAction::decode_all_from_now;
  }
  if (c.keyframes_only && !c.key_packet) return PacketAction::skip;
  return PacketAction::decode;
}

FfmpegDecoder::FfmpegDecoder(std::string url, DecoderOptions options)
    : url_(std::move(url)), options_(std::move(options)), pool_(FramePool::process_pool()) {
  if (url_.empty() || options_.reconnect_delay_ms < 0) {
    throw std::invalid_argument("invalid FFmpeg decoder configuration");
  }
  const std::string& mode = options_.decode_mode;
  if (mode == "adaptive") {
    mode_ = DecodeMode::adaptive;
  } else if (mode == "keyframe") {
    mode_ = DecodeMode::keyframe;
  } else if (mode == "all") {
    mode_ = DecodeMode::all;
  } else {
    throw std::invalid_argument("invalid decoder mode");
  }
  if (options_.keyframe_fallback_ms < 1000 || options_.keyframe_fallback_ms > 60000) {
    throw std::invalid_argument("invalid keyframe fallback interval");
  }
  if (options_.hardware_decode != "auto" && options_.hardware_decode != "off") {
    throw std::invalid_argument("invalid hardware decode mode");
  }
  hardware_ = options_.hardware_decode == "auto" ? HardwareDecode::automatic : HardwareDecode::off;
  log_context_ = {LogField{"task_id", options_.task_id}, LogField{"stream_id", options_.stream_id}};
}

void FfmpegDecoder::run(std::stop_token stop, const DecoderCallbacks& callbacks) {
  process_setup();
  const ScopedLogContext scoped_log(log_context_);
  const std::span<const LogField> context(log_context_);
  bool hardware_wanted = hardware_ == HardwareDecode::automatic;
  unsigned attempt = 1;

  auto send_state = [&](DecoderState state) {
    if (callbacks.on_state) callbacks.on_state(state, decoder_state_text(state));
  };

  // One connection attempt; every failure is logged here and retried by the caller, which learns why.
  Failure failure;
  auto connect_once = [&]() -> AttemptEnd {
    const unsigned earlier = attempt - 1;
    const std::string count = std::to_string(attempt);
    send_state(earlier == 0 ? DecoderState::opening : DecoderState::reopening);

    std::atomic<std::int64_t> deadline{steady_millis() + kAttemptDeadlineMs};
    InterruptContext interrupt{&deadline, stop};
    auto deadline_passed = [&] { return steady_millis() > deadline.load(); };
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) throw std::runtime_error("cannot allocate FFmpeg format context");
    raw->interrupt_callback.callback = interrupt_callback;
    raw->interrupt_callback.opaque = &interrupt;
    interrupt.format = raw;

    AVDictionary* dictionary = nullptr;
    av_dict_set(&dictionary, "rtsp_transport", "tcp", 0);
    av_dict_set(&dictionary, kSocketTimeoutOption, "5000000", 0);
    av_dict_set(&dictionary, "fflags", "nobuffer", 0);
    // Discovery would read on until it has guessed the frame rate, which nothing here uses: it then
    // holds a probing decoder and its packets three times as long, and many cameras starting at
    // once pile all of it up (and their first pictures) in the same seconds.
    av_dict_set(&dictionary, "fpsprobesize", "0", 0);
    int rc = avformat_open_input(&raw, url_.c_str(), nullptr, &dictionary);  // frees `raw` on failure
    av_dict_free(&dictionary);
    if (rc < 0) {
      interrupt.format = nullptr;
      if (stop.stop_requested()) return AttemptEnd::stop;
      log(LogLevel::warn, "decoder: stream open failed", context, {{"err", ffmpeg_error(rc)}, {"count", count}});
      failure = open_failure(rc, deadline_passed());
      return AttemptEnd::retry;
    }
    FormatPtr format(raw);

    // With "nobuffer" FFmpeg throws away the packets it reads while it discovers the stream, and
    // with them the connection's first key frame: discovery keeps them, later reads don't buffer.
    format->flags &= ~AVFMT_FLAG_NOBUFFER;
    const int discovered = avformat_find_stream_info(format.get(), nullptr);
    format->flags |= AVFMT_FLAG_NOBUFFER;
    if (discovered < 0 || !interrupt.bound.empty()) {
      log(LogLevel::warn, "decoder: stream info discovery failed", context, {{"count", count}});
      failure = {!interrupt.bound.empty() ? interrupt.bound
                 : deadline_passed()      ? std::string("no stream information within 10 s")
                                          : "stream information unreadable: " + ffmpeg_error(discovered)};
      return AttemptEnd::retry;
    }
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
      log(LogLevel::warn, "decoder: stream has no video track", context, {{"count", count}});
      failure = {"no video stream in the camera's description", true};
      return AttemptEnd::retry;
    }

    Connection connection(options_, mode_, next_sequence_, pool_, stop, callbacks, interrupt, context);
    if (!connection.open_codec(format->streams[index], hardware_wanted, attempt)) {
      failure = {connection.cause()};
      return AttemptEnd::retry;
    }
    send_state(DecoderState::online);
    if (earlier > 0) log(LogLevel::info, "decoder: stream reconnected", context, {{"count", std::to_string(earlier)}});

    if (!connection.read_loop(format.get())) hardware_wanted = false;
    if (stop.stop_requested()) return AttemptEnd::stop;
    log(LogLevel::warn, "decoder: stream offline", context, {{"reason", "reconnecting"}, {"count", count}});
    failure = {connection.cause()};
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
    pause_before_retry(pause, stop);
    ++attempt;
  }
  send_state(DecoderState::stopped);
}

}  // namespace velmo::ai
