#pragma once

// Owners of the decoder's FFmpeg handles, each released by FFmpeg's own call, and FFmpeg's error
// texts. A handle is used by one thread at a time, as FFmpeg requires; nothing here locks.

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace velmo::ai {

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
// The same for a frame's pictures; a null frame is left alone.
struct FrameRelease {
  AVFrame* frame;
  ~FrameRelease() {
    if (frame != nullptr) av_frame_unref(frame);
  }
};

// FFmpeg's text for an error code, at most 63 characters.
inline std::string ffmpeg_error(int code) {
  char text[64] = {};
  av_strerror(code, text, sizeof text);
  return std::string(text);
}

}  // namespace velmo::ai
