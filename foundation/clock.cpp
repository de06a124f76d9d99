#include "foundation/clock.h"

#include <time.h>

#include <chrono>

#include "foundation/time.h"

namespace velmo::ai {
namespace {

class SystemClock final : public Clock {
 public:
  std::int64_t steady_ms() const override { return steady_millis(); }
  // The monotonic clock that std::chrono::steady_clock reads, as of the last tick.
  std::int64_t coarse_steady_ms() const override {
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return steady_millis();
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
  }
  std::int64_t wall_ms() const override { return unix_millis(); }
  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, std::int64_t deadline_ms,
                  const std::function<bool()>& done) const override {
    // steady_millis reads std::chrono::steady_clock, so its deadline is the same instant there.
    const auto deadline = std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline_ms));
    return wake.wait_until(lock, deadline, done);
  }
};

}  // namespace

const std::shared_ptr<const Clock>& system_clock() {
  static const std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

}  // namespace velmo::ai
