#include "foundation/log_throttle.h"

namespace velmo::ai {

std::optional<std::uint64_t> LogThrottle::admit(std::string_view cause, std::int64_t now_ms) {
  std::lock_guard lock(mutex_);
  if (!has_cause_ || cause != cause_) {
    cause_.assign(cause);
    has_cause_ = true;
    logged_at_ms_ = now_ms;
    suppressed_ = 0;
    return std::uint64_t{0};
  }
  if (now_ms - logged_at_ms_ < interval_ms_) {
    ++suppressed_;
    return std::nullopt;
  }
  const std::uint64_t unlogged = suppressed_;
  logged_at_ms_ = now_ms;
  suppressed_ = 0;
  return unlogged;
}

void LogThrottle::reset() {
  std::lock_guard lock(mutex_);
  has_cause_ = false;
  suppressed_ = 0;
}

}  // namespace velmo::ai
