#include "analysis/decoder/ffmpeg_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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

thread_local std::span<const LogField> t_log_context;

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
    if (!line.empty()) {
      log(mapped, "decoder: ffmpeg message", context,
          {{"source", source}, {"text", without_credentials(std::move(line))}});
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

FfmpegLogScope::FfmpegLogScope(std::span<const LogField> context) : previous_(t_log_context) {
  t_log_context = context;
}

FfmpegLogScope::~FfmpegLogScope() { t_log_context = previous_; }

}  // namespace velmo::ai
