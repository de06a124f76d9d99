#include "foundation/log_throttle.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velmo::ai {
namespace {

struct Step {
  const char* cause;
  std::int64_t at_ms;
  std::optional<std::uint64_t> expected;  // empty: quiet
};

// One table on a scripted clock: first occurrences log at once, repeats only count until a minute
// has passed, and a new cause logs at once and starts the count again.
TEST(LogThrottleTest, LogsFirstOccurrenceThenOnceAMinuteWithTheCount) {
  const std::vector<Step> steps = {
      {"refused", 0, 0},
      {"refused", 500, std::nullopt},
      {"refused", 59999, std::nullopt},
      {"refused", 60000, 2},
      {"refused", 60001, std::nullopt},
      {"timed out", 60002, 0},
      {"timed out", 61000, std::nullopt},
      {"refused", 61001, 0},
      {"refused", 200000, 0},
  };
  LogThrottle throttle;
  for (const auto& step : steps) {
    EXPECT_EQ(throttle.admit(step.cause, step.at_ms), step.expected) << step.cause << " at " << step.at_ms;
  }
}

TEST(LogThrottleTest, ResetLogsTheNextFailureAtOnce) {
  LogThrottle throttle(1000);
  EXPECT_EQ(throttle.admit("x", 0), 0u);
  EXPECT_EQ(throttle.admit("x", 10), std::nullopt);
  throttle.reset();
  EXPECT_EQ(throttle.admit("x", 20), 0u);
}

}  // namespace
}  // namespace velmo::ai
