#include "foundation/time.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>

namespace velmo::ai {

std::int64_t unix_millis() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
  return static_cast<std::int64_t>(ns.count() / 1000000);
}

std::int64_t steady_millis() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<std::int64_t>(ns.count() / 1000000);
}

std::int64_t saturating_add_ms(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (__builtin_add_overflow(a, b, &r)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return r;
}

std::int64_t saturating_sub_ms(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (__builtin_sub_overflow(a, b, &r)) {
    return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return r;
}

std::string iso8601_utc(std::int64_t millis) {
  // Floor division keeps instants before the epoch correct (no negative millisecond part).
  std::int64_t seconds = millis / 1000;
  std::int64_t rest = millis % 1000;
  if (rest < 0) {
    rest += 1000;
    seconds -= 1;
  }
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  char ms[8];
  std::snprintf(ms, sizeof ms, ".%03dZ", static_cast<int>(rest));
  return std::string(buf, n) + ms;
}

}  // namespace velmo::ai
