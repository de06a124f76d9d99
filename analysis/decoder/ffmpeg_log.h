#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "analysis/decoder/rtsp_answers.h"
#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/log_throttle.h"

namespace velmo::ai {

// Makes FFmpeg's messages this system's log lines ("decoder: ffmpeg message", with the FFmpeg
// component as "source" and the text, camera credentials masked, as "text"), and sets FFmpeg's
// level: debug when VELMO_AI_FFMPEG_DEBUG is exactly "1", read on the first call, else warnings
// and errors only. Once per process; any thread may call it any number of times.
void forward_ffmpeg_log();

// One decoder's repeats of an FFmpeg message: each text is written the first time, then at most
// once a minute with the count of those left out, as a camera that stays down makes FFmpeg say the
// same at every attempt. Lives on the decoder's thread.
class FfmpegMessageThrottle {
 public:
  explicit FfmpegMessageThrottle(const Clock& clock) : clock_(clock) {}
  // Empty: leave the line out; otherwise write it, the value counting the repeats left out.
  std::optional<std::uint64_t> admit(const std::string& text);

 private:
  struct Seen {
    LogThrottle throttle;
    std::int64_t last_ms = 0;
  };
  const Clock& clock_;
  std::map<std::string, Seen> seen_;  // a bounded few texts, the least recently seen forgotten first
};

// While it lives, FFmpeg's messages that this thread causes carry `context` (the decoder's task and
// stream), which must outlive it, and repeats are held back by `throttle` when given. FFmpeg calls
// its log callback on the thread that made the call, and every call of a connection runs on its
// decoder's thread (the codec is opened single-threaded), so a message is attributed to its
// connection. Scopes nest.
class FfmpegLogScope {
 public:
  explicit FfmpegLogScope(std::span<const LogField> context, FfmpegMessageThrottle* throttle = nullptr);
  ~FfmpegLogScope();
  FfmpegLogScope(const FfmpegLogScope&) = delete;
  FfmpegLogScope& operator=(const FfmpegLogScope&) = delete;

 private:
  std::span<const LogField> previous_;
  FfmpegMessageThrottle* previous_throttle_;
};

// While it lives, the bytes that FFmpeg's RTSP demuxer reads of the camera's answers on this
// thread go to `answers`, which must outlive it.
class RtspAnswersScope {
 public:
  explicit RtspAnswersScope(RtspAnswers& answers);
  ~RtspAnswersScope();
  RtspAnswersScope(const RtspAnswersScope&) = delete;
  RtspAnswersScope& operator=(const RtspAnswersScope&) = delete;

 private:
  RtspAnswers* previous_;
};

}  // namespace velmo::ai
