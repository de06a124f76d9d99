#include "analysis/decoder/ffmpeg_input.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "analysis/decoder/ffmpeg_decoder.h"
#include "analysis/decoder/ffmpeg_log.h"
#include "analysis/decoder/rtsp_answers.h"

namespace velmo::ai {
namespace {

// Before 59 the RTSP socket timeout was "stimeout"; there "timeout" means listen.
#if LIBAVFORMAT_VERSION_MAJOR >= 59
constexpr const char* kSocketTimeoutOption = "timeout";
#else
constexpr const char* kSocketTimeoutOption = "stimeout";
#endif

constexpr unsigned kParserLookEvery = 32;

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

// "10 s": a bound of whole seconds as the causes name it.
std::string seconds_text(std::int64_t ms) { return std::to_string(ms / 1000) + " s"; }

std::string access_unit_cause() { return "access unit over " + std::to_string(kMaxAccessUnitBytes >> 20) + " MiB"; }

void log_access_unit_too_large(std::span<const LogField> context) {
  log(LogLevel::warn, "decoder: access unit too large, closing the connection", context,
      {{"limit_bytes", std::to_string(kMaxAccessUnitBytes)}});
}

// FFmpeg's open fails with "invalid data" whenever no good answer came; what the camera sent says why.
AttemptFailure unreadable_answer(const RtspAnswers& answers, bool deadline_passed) {
  switch (answers.fault()) {
    case AnswerFault::silent: return {"camera did not answer within " + seconds_text(kSocketTimeoutMs)};
    case AnswerFault::closed: return {"camera closed the connection"};
    case AnswerFault::not_rtsp: return {"camera's answer is not RTSP"};
    // Also what a reply larger than FFmpeg may allocate in one block ends in.
    case AnswerFault::description:
      return {"camera's description unreadable (invalid, or over " + std::to_string(kMaxFfmpegBlockBytes >> 20) +
              " MiB)"};
    case AnswerFault::status: {
      const std::string& line = answers.status_line();
      return {"camera answered " + line.substr(std::min(line.size(), line.find(' ') + 1))};
    }
    case AnswerFault::interrupted:
    case AnswerFault::unknown: break;
  }
  if (deadline_passed) return {"no answer within " + seconds_text(kAttemptDeadlineMs)};
  return {"camera's answer unreadable"};
}

// Why the open failed, in plain words.
AttemptFailure open_failure(int code, bool deadline_passed, const RtspAnswers& answers) {
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
    // FFmpeg's answer to 461 at SETUP when TCP is the only transport it may ask for.
    case AVERROR(EPROTONOSUPPORT):
      return {"camera refuses RTSP over TCP (461 Unsupported Transport); only TCP is supported", true};
    case AVERROR_INVALIDDATA: return unreadable_answer(answers, deadline_passed);
    default: break;
  }
  if (deadline_passed) return {"no answer within " + seconds_text(kAttemptDeadlineMs)};
  return {"stream open failed: " + ffmpeg_error(code)};
}

// Why reading ended, in plain words. FFmpeg reports a silent socket and the deadline as the end of
// the stream, so the time waited and the deadline tell them apart.
std::string read_failure(int code, std::int64_t waited_ms, bool deadline_expired) {
  if (deadline_expired) return "no packet for " + seconds_text(kAttemptDeadlineMs);
  if (code == AVERROR_EOF && waited_ms >= kSocketTimeoutMs) return "no data for " + seconds_text(kSocketTimeoutMs);
  if (code == AVERROR_EOF) return "camera ended the stream";
  return "stream read failed: " + ffmpeg_error(code);
}

}  // namespace

void InterruptContext::arm(std::int64_t now_ms) {
  deadline.store(now_ms + kAttemptDeadlineMs);
  expired = false;
}

void InterruptContext::begin_close(std::int64_t now_ms) { closing_until.store(now_ms + kCloseGraceMs); }

std::string InterruptContext::read_failed(int code, std::int64_t waited_ms) const {
  return !bound.empty() ? bound : read_failure(code, waited_ms, expired);
}

std::string InterruptContext::packet_refused(std::int64_t packet_bytes) {
  if (!bound.empty()) return bound;
  if (expired) return read_failure(AVERROR_EXIT, kAttemptDeadlineMs, true);
  if (packet_bytes <= kMaxAccessUnitBytes) return {};
  log_access_unit_too_large(log);
  return access_unit_cause();
}

int interrupt_callback(void* opaque) {
  auto* context = static_cast<InterruptContext*>(opaque);
  // FFmpeg sends TEARDOWN as it closes, and gives it up when asked to: a stop would cost the
  // camera its session until the session's time-out.
  if (const std::int64_t closing = context->closing_until.load(); closing != 0) {
    return context->clock->coarse_steady_ms() > closing ? 1 : 0;
  }
  if (context->stop.stop_requested() || !context->bound.empty()) return 1;
  // FFmpeg asks about 90 times per packet of a 1080p stream (every read of every RTP packet), so
  // the parsers are looked at on every kParserLookEvery-th call only: an access unit can pass the
  // bound by that many reads of at most 64 KiB each, 2 MiB.
  if (context->format != nullptr && ++context->calls % kParserLookEvery == 0 &&
      gathered_bytes(context->format) > kMaxAccessUnitBytes) {
    context->bound = access_unit_cause();
    log_access_unit_too_large(context->log);
    return 1;
  }
  if (context->clock->coarse_steady_ms() <= context->deadline.load()) return 0;
  context->expired = true;
  return 1;
}

void InputCloser::operator()(AVFormatContext* format) const {
  if (format->interrupt_callback.callback == interrupt_callback) {
    auto* context = static_cast<InterruptContext*>(format->interrupt_callback.opaque);
    context->begin_close(context->clock->steady_ms());
    context->format = nullptr;
  }
  avformat_close_input(&format);
}

OpenedInput open_input(const std::string& url, InterruptContext& interrupt, DecoderLog& log, unsigned attempt) {
  const std::string count = std::to_string(attempt);
  auto deadline_passed = [&] { return interrupt.clock->steady_ms() > interrupt.deadline.load(); };
  OpenedInput opened;
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) throw std::runtime_error("cannot allocate FFmpeg format context");
  raw->interrupt_callback.callback = interrupt_callback;
  raw->interrupt_callback.opaque = &interrupt;
  interrupt.format = raw;

  AVDictionary* dictionary = nullptr;
  av_dict_set(&dictionary, "rtsp_transport", "tcp", 0);
  av_dict_set(&dictionary, kSocketTimeoutOption, std::to_string(kSocketTimeoutMs * 1000).c_str(), 0);  // in µs
  av_dict_set(&dictionary, "fflags", "nobuffer", 0);
  // Discovery would read on until it has guessed the frame rate, which nothing here uses: it then
  // holds a probing decoder and its packets three times as long, and many cameras starting at
  // once pile all of it up (and their first pictures) in the same seconds.
  av_dict_set(&dictionary, "fpsprobesize", "0", 0);
  RtspAnswers answers;
  int rc = 0;
  {
    const RtspAnswersScope watched(answers);
    rc = avformat_open_input(&raw, url.c_str(), nullptr, &dictionary);  // frees `raw` on failure
  }
  av_dict_free(&dictionary);
  if (rc < 0) {
    interrupt.format = nullptr;
    if (interrupt.stop.stop_requested()) {
      opened.stopped = true;
      return opened;
    }
    opened.failure = open_failure(rc, deadline_passed(), answers);
    log.failure(opened.failure.cause);
    log.failure_line("decoder: stream open failed", {{"err", ffmpeg_error(rc)}, {"count", count}});
    return opened;
  }
  InputPtr format(raw);

  // With "nobuffer" FFmpeg throws away the packets it reads while it discovers the stream, and
  // with them the connection's first key frame: discovery keeps them, later reads don't buffer.
  format->flags &= ~AVFMT_FLAG_NOBUFFER;
  const int discovered = avformat_find_stream_info(format.get(), nullptr);
  format->flags |= AVFMT_FLAG_NOBUFFER;
  if (discovered < 0 && interrupt.stop.stop_requested()) {
    opened.stopped = true;
    return opened;
  }
  if (discovered < 0 || !interrupt.bound.empty()) {
    opened.failure = {!interrupt.bound.empty() ? interrupt.bound
                      : deadline_passed()      ? "no stream information within " + seconds_text(kAttemptDeadlineMs)
                                               : "stream information unreadable: " + ffmpeg_error(discovered)};
    log.failure(opened.failure.cause);
    log.failure_line("decoder: stream info discovery failed", {{"count", count}});
    return opened;
  }
  const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    opened.failure = {"no video stream in the camera's description", true};
    log.failure(opened.failure.cause);
    log.failure_line("decoder: stream has no video track", {{"count", count}});
    return opened;
  }
  opened.format = std::move(format);
  opened.video_stream = index;
  return opened;
}

}  // namespace velmo::ai
