#pragma once

// Opening a camera's stream, and what may bound a connection's blocking FFmpeg calls: a deadline,
// the stop request and the size of the access unit being gathered. Past a bound FFmpeg's call
// returns an error; the causes here name why, in the words the task's status shows.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>
#include <string>

#include "analysis/decoder/decoder_log.h"
#include "analysis/decoder/ffmpeg_handles.h"
#include "foundation/clock.h"
#include "foundation/log.h"

namespace velmo::ai {

// Open with stream discovery, then each packet read, must end within this long.
constexpr std::int64_t kAttemptDeadlineMs = 10000;
// The socket time-out of RTSP over TCP.
constexpr std::int64_t kSocketTimeoutMs = 5000;
// Closing an open input sends the camera TEARDOWN, so that it frees the session at once instead of
// holding it until its time-out (cameras allow a few sessions only); the send may block this long
// at most, also after a stop and with a camera that reads nothing.
constexpr std::int64_t kCloseGraceMs = 300;

// Why an attempt ended, and whether a quick retry can mend it.
struct AttemptFailure {
  std::string cause;
  bool lasting = false;
};

// The bounds of one connection, which FFmpeg polls through interrupt_callback during its blocking
// calls, on the thread that made them: the decoder's, where this lives for as long as the format
// context bound to it.
struct InterruptContext {
  // The decoder's clock, set before the context is bound to a format context: FFmpeg polls the
  // callback often, so it reads the clock through a plain pointer. Deadlines are on its steady_ms.
  const Clock* clock = nullptr;
  std::atomic<std::int64_t> deadline{0};  // steady ms
  std::stop_token stop;
  std::span<const LogField> log;            // the decoder's task and stream
  const AVFormatContext* format = nullptr;  // whose parsers gather access units
  std::string bound = {};                   // why a bound of the connection ended it; empty while none did
  bool expired = false;                     // the deadline cut the present call short
  unsigned calls = 0;  // callbacks so far, on the decoder's thread: the parsers are looked at now and then
  // While the input closes: FFmpeg's calls go on until this steady time whatever else holds; 0
  // before.
  std::atomic<std::int64_t> closing_until{0};

  // Gives the next blocking call kAttemptDeadlineMs from now_ms.
  void arm(std::int64_t now_ms);
  // The input is being closed at now_ms: kCloseGraceMs for its last words, stop or no stop.
  void begin_close(std::int64_t now_ms);
  // Why the connection ends after a read that failed with `code` having waited waited_ms.
  std::string read_failed(int code, std::int64_t waited_ms) const;
  // Why the connection ends after a read that gave a packet of packet_bytes: a bound passed or the
  // deadline cut the read short (the packet is then only part of a picture), or the packet itself
  // is over the access-unit bound (logged here); empty when it goes on.
  std::string packet_refused(std::int64_t packet_bytes);
};

// FFmpeg's interrupt callback: 1 (give up) on stop, on a deadline passed, or once the access unit
// being gathered has grown past kMaxAccessUnitBytes (which ends the connection for good); while
// the input closes, only once its grace has passed.
int interrupt_callback(void* opaque);

// Closes an opened input within the close grace of the InterruptContext bound to it.
struct InputCloser {
  void operator()(AVFormatContext* format) const;
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;

struct OpenedInput {
  InputPtr format;  // empty when the open failed or was stopped
  int video_stream = -1;
  bool stopped = false;    // stop was requested during the open or discovery: nothing was logged
  AttemptFailure failure;  // why it failed, otherwise
};

// Opens `url` over RTSP/TCP for low latency, discovers its streams and picks the video stream, all
// within the deadline armed in `interrupt` (bound to the format context, so it must outlive it).
// A failed step is told to `log` with "count" = attempt. Throws std::runtime_error only when FFmpeg
// cannot allocate a format context.
OpenedInput open_input(const std::string& url, InterruptContext& interrupt, DecoderLog& log, unsigned attempt);

}  // namespace velmo::ai
