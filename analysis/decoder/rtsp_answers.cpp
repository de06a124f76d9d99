#include "analysis/decoder/rtsp_answers.h"

#include <string_view>

extern "C" {
#include <libavutil/error.h>
}

namespace velmo::ai {
namespace {

// Enough of a line to tell a status line and to name it.
constexpr std::size_t kKeptBytes = 200;

// An answer ("RTSP/1.0 200 OK"), or a request of the camera's own ("OPTIONS * RTSP/1.0"), which
// FFmpeg answers before it reads on.
bool is_rtsp_line(std::string_view line) {
  if (line.starts_with("RTSP/")) return true;
  const std::size_t last = line.rfind(' ');
  return last != std::string_view::npos && line.substr(last + 1).starts_with("RTSP/");
}

// A line cut off by the close may be the start of a good one, unless it holds a byte none has.
bool is_text(std::string_view line) {
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte >= 0x7f) return false;
  }
  return true;
}

}  // namespace

void RtspAnswers::read(int result, unsigned char byte) {
  traced_ = true;
  if (result != 1) {
    failed_ = result;
    return;
  }
  failed_ = 0;
  if (byte == '\r') return;
  if (byte == '\n') {
    if (at_status_) {
      // Blank lines before an answer are no answer.
      if (!line_.empty()) {
        status_ = line_;
        if (!is_rtsp_line(line_)) not_rtsp_ = true;
        at_status_ = false;
      }
    } else if (line_.empty()) {
      at_status_ = true;  // the answer's headers end; its body is read untraced
    }
    line_.clear();
    return;
  }
  // Interleaved media ahead of an answer: FFmpeg skips its bytes without tracing them.
  if (byte == '$' && at_status_ && line_.empty()) return;
  if (line_.size() < kKeptBytes) line_.push_back(static_cast<char>(byte));
}

AnswerFault RtspAnswers::fault() const {
  if (!traced_) return AnswerFault::unknown;
  if (not_rtsp_ || (failed_ != 0 && at_status_ && !is_text(line_))) return AnswerFault::not_rtsp;
  if (failed_ == AVERROR(ETIMEDOUT)) return AnswerFault::silent;
  if (failed_ == AVERROR_EXIT) return AnswerFault::interrupted;
  if (failed_ != 0) return AnswerFault::closed;
  if (status_.empty()) return AnswerFault::unknown;
  const std::size_t code = status_.find(' ');
  if (code != std::string::npos && std::string_view(status_).substr(code + 1).starts_with("200")) {
    return AnswerFault::description;
  }
  return AnswerFault::status;
}

}  // namespace velmo::ai
