#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "foundation/clock.h"

namespace velmo::ai::test {

// Time that moves only when the test moves it. Waits on it end once the test has advanced past
// their deadline (they poll it in short real slices) or once their condition holds.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::int64_t wall_ms = 1'700'000'000'000, std::int64_t steady_ms = 1'000'000)
      : wall_(wall_ms), steady_(steady_ms) {}

  std::int64_t steady_ms() const override { return steady_.load(); }
  std::int64_t wall_ms() const override { return wall_.load(); }
  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, std::int64_t deadline_ms,
                  const std::function<bool()>& done) const override {
    while (!done() && steady_.load() < deadline_ms) wake.wait_for(lock, std::chrono::milliseconds(1));
    return done();
  }

  // Moves both clocks on.
  void advance(std::int64_t ms) {
    steady_ += ms;
    wall_ += ms;
  }
  // Steps the wall clock alone, as an NTP correction or an operator would.
  void step_wall(std::int64_t ms) { wall_ += ms; }

 private:
  std::atomic<std::int64_t> wall_;
  std::atomic<std::int64_t> steady_;
};

}  // namespace velmo::ai::test
