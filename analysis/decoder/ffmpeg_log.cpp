#include "analysis/decoder/ffmpeg_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/url.h"

extern "C" {
#include <libavutil/log.h>
}

namespace velmo::ai {
namespace {

// The level of a message, without the flags FFmpeg may keep in the bits above it.
constexpr int kLevelMask = 0xff;
// A message without a line feed is written out once it is this long.
constexpr std::size_t kMostPendingBytes = 4096;

// One byte read by the RTSP demuxer's answer reader, with the read's result: its one trace.
constexpr const char* kAnswerByteTrace = "ret=%d c=%02x [%c]\n";
// Texts a decoder's throttle keeps apart; FFmpeg's few repeating complaints fit many times over.
constexpr std::size_t kThrottledTexts = 32;

thread_local std::span<const LogField> t_log_context;
thread_local FfmpegMessageThrottle* t_throttle = nullptr;
thread_local RtspAnswers* t_answers = nullptr;

std::atomic<bool> g_ffmpeg_debug{false};
// FFmpeg's log level as set here. FFmpeg calls the callback for every message, also the many below
// the level (its demuxer has some for each packet): asking libavutil for the level each time cost
// more than the rest of the early return.
std::atomic<int> g_ffmpeg_level{AV_LOG_WARNING};

LogLevel mapped_level(int level) {
  // Without the debug switch only warnings and errors get here, all as warnings: the decoder's own
  // lines say what they cost.
  if (!g_ffmpeg_debug.load(std::memory_order_relaxed)) return LogLevel::warn;
  if (level <= AV_LOG_ERROR) return LogLevel::error;
  if (level <= AV_LOG_WARNING) return LogLevel::warn;
  if (level <= AV_LOG_INFO) return LogLevel::info;
  return LogLevel::debug;
}

// FFmpeg's log callback. FFmpeg may build one line from several calls, so the text is gathered per
// thread up to its line feed.
void route_ffmpeg_log(void* object, int level, const char* format, va_list args) {
  level &= kLevelMask;
  if (level > g_ffmpeg_level.load(std::memory_order_relaxed)) {
    if (t_answers != nullptr && level == AV_LOG_TRACE && std::strcmp(format, kAnswerByteTrace) == 0) {
      va_list copy;
      va_copy(copy, args);
      const int result = va_arg(copy, int);
      const int byte = va_arg(copy, int);
      va_end(copy);
      t_answers->read(result, static_cast<unsigned char>(byte));
    }
    return;
  }
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
  if (pending.empty() || (pending.back() != '\n' && pending.size() < kMostPendingBytes)) return;
  std::string text;
  text.swap(pending);
  const LogLevel mapped = mapped_level(pending_level);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    std::optional<std::uint64_t> admitted = std::uint64_t{0};
    if (!line.empty() && t_throttle != nullptr) admitted = t_throttle->admit(line);
    if (!line.empty() && admitted) {
      std::vector<LogField> with_count;
      if (*admitted > 0) {
        with_count = context;
        with_count.push_back({"suppressed", std::to_string(*admitted)});
      }
      log(mapped, "decoder: ffmpeg message", *admitted > 0 ? with_count : context,
          {{"source", source}, {"text", without_credentials(line)}});
    }
    start = end + 1;
  }
}

}  // namespace

void forward_ffmpeg_log() {
  static const bool installed = [] {
    const char* value = std::getenv("VELMO_AI_FFMPEG_DEBUG");
    const bool debug = value != nullptr && std::string_view(value) == "1";
    g_ffmpeg_debug = debug;
    g_ffmpeg_level = debug ? AV_LOG_DEBUG : AV_LOG_WARNING;
    av_log_set_level(g_ffmpeg_level);
    av_log_set_callback(route_ffmpeg_log);
    return true;
  }();
  (void)installed;
}

std::optional<std::uint64_t> FfmpegMessageThrottle::admit(const std::string& text) {
  const std::int64_t now = clock_.steady_ms();
  auto found = seen_.find(text);
  if (found == seen_.end()) {
    if (seen_.size() >= kThrottledTexts) {
      auto oldest = seen_.begin();
      for (auto it = seen_.begin(); it != seen_.end(); ++it) {
        if (it->second.last_ms < oldest->second.last_ms) oldest = it;
      }
      seen_.erase(oldest);
    }
    found = seen_.try_emplace(text).first;
  }
  found->second.last_ms = now;
  return found->second.throttle.admit(text, now);
}

FfmpegLogScope::FfmpegLogScope(std::span<const LogField> context, FfmpegMessageThrottle* throttle)
    : previous_(t_log_context), previous_throttle_(t_throttle) {
  t_log_context = context;
  t_throttle = throttle;
}

FfmpegLogScope::~FfmpegLogScope() {
  t_log_context = previous_;
  t_throttle = previous_throttle_;
}

RtspAnswersScope::RtspAnswersScope(RtspAnswers& answers) : previous_(t_answers) { t_answers = &answers; }

RtspAnswersScope::~RtspAnswersScope() { t_answers = previous_; }

}  // namespace velmo::ai
