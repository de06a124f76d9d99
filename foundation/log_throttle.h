#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::ai {

// Keeps a failure that repeats with the same cause to one line a minute: the first occurrence of a
// cause is logged at once, repeats inside the interval are only counted, and the first one after it
// is logged with that count. A new cause is logged at once and starts the count again. Callers keep
// the detail elsewhere (a task's last_error) so that nothing is lost by the silence.
class LogThrottle {
 public:
  explicit LogThrottle(std::int64_t interval_ms = 60000) : interval_ms_(interval_ms) {}

  // `now_ms` on the monotonic clock. Empty: stay quiet. Otherwise log now, with the value as the
  // number of occurrences left unlogged since the last line (0 for a first occurrence).
  std::optional<std::uint64_t> admit(std::string_view cause, std::int64_t now_ms);

  // Forgets the cause, so the next failure is logged at once (after a success, say).
  void reset();

 private:
  std::mutex mutex_;
  std::int64_t interval_ms_;
  std::string cause_;
  bool has_cause_ = false;
  std::int64_t logged_at_ms_ = 0;
  std::uint64_t suppressed_ = 0;
};

}  // namespace velmo::ai
