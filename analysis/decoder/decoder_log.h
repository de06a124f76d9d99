#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/log_throttle.h"

namespace velmo::ai {

// The decoder's lines that would repeat for as long as a camera stays down: the lines of a failed
// attempt or an ended connection are written when its cause is new, else once a minute with the
// count of the failures left out ("suppressed"); the same for packets the video decoder refuses;
// the fall-back from hardware decoding once per run. The task's status keeps every cause, so the
// silence loses nothing. Lives on the decoder's thread, for one run.
class DecoderLog {
 public:
  // `context` (the task and stream) must outlive it.
  DecoderLog(const Clock& clock, std::span<const LogField> context) : clock_(clock), context_(context) {}

  // An attempt failed or a connection ended with `cause`: decides for all the lines about it.
  void failure(std::string_view cause);
  // A warning about the present failure, written only when failure() let it through.
  void failure_line(std::string_view message, std::initializer_list<LogField> fields) const;

  // The video decoder refused a packet with `error`: warns when the throttle lets it.
  void packet_refused(std::string_view error);

  // True the first time only.
  bool first_hardware_fallback();

  const Clock& clock() const { return clock_; }
  std::span<const LogField> context() const { return context_; }

 private:
  void warn(std::string_view message, std::uint64_t suppressed, std::initializer_list<LogField> fields) const;

  const Clock& clock_;
  std::span<const LogField> context_;
  LogThrottle failures_;
  std::optional<std::uint64_t> admitted_;  // the present failure's verdict
  LogThrottle refusals_;
  bool hardware_fallback_said_ = false;
};

}  // namespace velmo::ai
