#pragma once

#include <span>

#include "foundation/log.h"

namespace velmo::ai {

// Makes FFmpeg's messages this system's log lines ("decoder: ffmpeg message", with the FFmpeg
// component as "source" and the text, camera credentials masked, as "text"), and sets FFmpeg's
// level: debug when VELMO_AI_FFMPEG_DEBUG is exactly "1", read on the first call, else warnings
// and errors only. Once per process; any thread may call it any number of times.
void forward_ffmpeg_log();

// While it lives, FFmpeg's messages that this thread causes carry `context` (the decoder's task and
// stream), which must outlive it. FFmpeg calls its log callback on the thread that made the call,
// and every call of a connection runs on its decoder's thread (the codec is opened single-threaded),
// so a message is attributed to its connection. Scopes nest.
class FfmpegLogScope {
 public:
  explicit FfmpegLogScope(std::span<const LogField> context);
  ~FfmpegLogScope();
  FfmpegLogScope(const FfmpegLogScope&) = delete;
  FfmpegLogScope& operator=(const FfmpegLogScope&) = delete;

 private:
  std::span<const LogField> previous_;
};

}  // namespace velmo::ai
