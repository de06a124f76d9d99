#include "analysis/decoder/ffmpeg_connection.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <utility>

#include "analysis/decoder/picture_conversion.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

namespace velmo::ai {
namespace {

// Adaptive mode keeps the packets since the last key frame, up to this many bytes, so that the
// switch to all frames decodes from that key frame instead of waiting for the next one.
constexpr std::size_t kMaxReplayBytes = std::size_t{16} << 20;
// A video decoder that refuses every packet for this long is reported: nothing is decoded.
constexpr std::int64_t kRefusedPacketsMs = 5000;

AVPixelFormat select_hardware_format(AVCodecContext* codec, const AVPixelFormat* offered) {
  const AVPixelFormat wanted = *static_cast<const AVPixelFormat*>(codec->opaque);
  for (const AVPixelFormat* format = offered; *format != AV_PIX_FMT_NONE; ++format) {
    if (*format == wanted) return wanted;
  }
  return AV_PIX_FMT_NONE;
}

}  // namespace

FfmpegConnection::FfmpegConnection(const DecoderOptions& options, DecodeMode mode,
                                   std::atomic<std::uint64_t>& next_sequence, const std::shared_ptr<FramePool>& pool,
                                   const std::stop_token& stop, const DecoderCallbacks& callbacks,
                                   InterruptContext& interrupt, DecoderLog& decoder_log)
    : options_(options),
      clock_(*options.clock),
      mode_(mode),
      next_sequence_(next_sequence),
      pool_(pool),
      stop_(stop),
      callbacks_(callbacks),
      interrupt_(interrupt),
      decoder_log_(decoder_log),
      log_(decoder_log.context()),
      starvation_(options.keyframe_fallback_ms) {}

FfmpegConnection::~FfmpegConnection() {
  set_starved(false);
  if (refusal_reported_ && callbacks_.on_packets_refused) callbacks_.on_packets_refused("");
}

bool FfmpegConnection::open_codec(const AVStream* stream, bool hardware_wanted, unsigned attempt) {
  stream_ = stream;
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  if (decoder != nullptr) codec_.reset(avcodec_alloc_context3(decoder));
  if (decoder == nullptr || !codec_ || avcodec_parameters_to_context(codec_.get(), stream->codecpar) < 0) {
    cause_ = decoder == nullptr ? "no decoder for the video codec" : "video codec initialization failed";
    decoder_log_.failure(cause_);
    decoder_log_.failure_line("decoder: video codec initialization failed", {{"count", std::to_string(attempt)}});
    return false;
  }

  if (hardware_wanted) {
    AVBufferRef* device = nullptr;
    const int rc = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
    if (rc < 0) {
      // Once per run: a machine without VAAPI would say so at every reconnection.
      if (decoder_log_.first_hardware_fallback()) {
        log(LogLevel::warn, "decoder: hardware decode unavailable, falling back to software", log_,
            {{"decoder", "VAAPI"}, {"err", ffmpeg_error(rc)}});
      }
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
  auto open = [this, decoder] {
    codec_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    codec_->thread_count = 1;
    return avcodec_open2(codec_.get(), decoder, nullptr);
  };
  int rc = open();
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
      if (rc >= 0) rc = open();
    }
  }
  if (rc < 0) {
    codec_.reset();
    device_.reset();
    hardware_active_ = false;
    cause_ = "video codec initialization failed: " + ffmpeg_error(rc);
    decoder_log_.failure(cause_);
    decoder_log_.failure_line("decoder: video codec initialization failed",
                              {{"count", std::to_string(attempt)}, {"err", ffmpeg_error(rc)}});
    return false;
  }
  if (hardware_active_) log(LogLevel::info, "decoder: hardware decode enabled", log_, {{"decoder", "VAAPI"}});
  return true;
}

bool FfmpegConnection::read_loop(AVFormatContext* format) {
  PacketPtr packet(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!packet || !frame_) throw std::runtime_error("cannot allocate FFmpeg frame buffers");

  bool keyframes_only = mode_ != DecodeMode::all;
  const bool adaptive = mode_ == DecodeMode::adaptive;
  last_frame_ms_ = clock_.steady_ms();
  hardware_waiting_since_ms_.reset();
  read_ended_ = false;

  while (!stop_.stop_requested() && !read_ended_) {
    const std::int64_t armed = clock_.steady_ms();
    interrupt_.arm(armed);
    const int rc = av_read_frame(format, packet.get());
    if (rc < 0) {
      read_error_ = rc;
      cause_ = interrupt_.read_failed(rc, clock_.steady_ms() - armed);
      break;
    }
    lag_.read_waited(clock_.steady_ms() - armed);
    PacketRelease release{packet.get()};
    // A read cut short hands out the part of a picture its parser had gathered: never decoded.
    if (std::string refused = interrupt_.packet_refused(packet->size); !refused.empty()) {
      cause_ = std::move(refused);
      break;
    }
    if (packet->stream_index != stream_->index) continue;

    PacketContext context;
    context.now_ms = clock_.steady_ms();
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

FfmpegConnection::Received FfmpegConnection::send_and_receive(const AVPacket* packet) {
  const int fault = options_.packet_fault ? options_.packet_fault() : 0;
  const int rc = fault < 0 ? fault : avcodec_send_packet(codec_.get(), packet);
  // EAGAIN: pictures are waiting to be taken first; the packet is lost, the decoder is not stuck.
  if (rc < 0 && rc != AVERROR(EAGAIN)) {
    packet_refused(rc);
    return Received::more;
  }
  packet_taken();
  if (hardware_active_ && !hardware_waiting_since_ms_) hardware_waiting_since_ms_ = clock_.steady_ms();
  return receive_frames();
}

void FfmpegConnection::packet_refused(int error) {
  const std::string text = ffmpeg_error(error);
  decoder_log_.packet_refused(text);
  const std::int64_t now = clock_.steady_ms();
  if (!refusing_since_ms_) refusing_since_ms_ = now;
  if (refusal_reported_ || now - *refusing_since_ms_ < kRefusedPacketsMs) return;
  refusal_reported_ = true;
  if (callbacks_.on_packets_refused) {
    callbacks_.on_packets_refused("video decoder refused every packet for " + std::to_string(kRefusedPacketsMs / 1000) +
                                  " s: " + text);
  }
}

void FfmpegConnection::packet_taken() {
  refusing_since_ms_.reset();
  if (!refusal_reported_) return;
  refusal_reported_ = false;
  if (callbacks_.on_packets_refused) callbacks_.on_packets_refused("");
}

// A key packet starts the run afresh; a run that outgrows its bound is given up until the next.
void FfmpegConnection::keep_for_replay(const AVPacket* packet, bool key) {
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

FfmpegConnection::Received FfmpegConnection::replay() {
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

void FfmpegConnection::watch_starvation(std::int64_t now) {
  const StarvationWatch::Verdict verdict = starvation_.skipped(now, last_frame_ms_);
  if (verdict.starved) set_starved(true);
  if (verdict.warn_waited_ms) {
    log(LogLevel::warn, "decoder: no key frame, nothing reaches the analysis", log_,
        {{"waited_ms", std::to_string(*verdict.warn_waited_ms)}});
  }
}

void FfmpegConnection::set_starved(bool starved) {
  if (starved_ == starved) return;
  starved_ = starved;
  if (callbacks_.on_starved) callbacks_.on_starved(starved);
}

FfmpegConnection::Received FfmpegConnection::receive_frames() {
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
bool FfmpegConnection::deliver(AVFrame* decoded) {
  set_starved(false);
  const std::int64_t timestamp = decoded->best_effort_timestamp;
  std::int64_t pts_ms = 0;
  if (timestamp == AV_NOPTS_VALUE) {
    pts_ms = clock_.wall_ms();
  } else {
    const double base = static_cast<double>(stream_->time_base.num) / static_cast<double>(stream_->time_base.den);
    pts_ms = static_cast<std::int64_t>(base * static_cast<double>(timestamp) * 1000.0);
    if (const auto lag = lag_.picture(pts_ms, clock_.steady_ms())) {
      log(LogLevel::warn, "decoder: decoding lags behind real time", log_, {{"lag_ms", std::to_string(*lag)}});
    }
  }
  // A picture came out of the decoder, so it is alive whether or not the picture is converted.
  hardware_waiting_since_ms_.reset();
  if (callbacks_.wants_frame && !callbacks_.wants_frame(pts_ms)) {
    last_frame_ms_ = clock_.steady_ms();
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
  scaler_.reset(sws_getCachedContext(scaler_.release(), picture->width, picture->height, source_format, picture->width,
                                     picture->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr));
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
  frame.wall_ms = clock_.wall_ms();
  last_frame_ms_ = clock_.steady_ms();

  if (!callbacks_.on_frame) return true;
  return callbacks_.on_frame(std::move(frame));
}

}  // namespace velmo::ai
