#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace velmo::ai {

// Where a unit reads time. Each unit is handed one at construction, so that tests drive time
// instead of sleeping. Durations (rates, holds, timeouts, retry pauses, ageing) are measured on
// steady_ms only, which never goes back; wall_ms only stamps what leaves the process (events,
// detection messages), and may step either way.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds from an unspecified epoch; only differences mean anything.
  virtual std::int64_t steady_ms() const = 0;
  // steady_ms as of the kernel's last tick: never ahead of it, behind by at most a few ms, and a
  // fraction of its cost, for checks made tens of thousands of times a second.
  virtual std::int64_t coarse_steady_ms() const { return steady_ms(); }
  // Milliseconds since the Unix epoch.
  virtual std::int64_t wall_ms() const = 0;
  // With `lock` held on `wake`'s mutex: waits until done() or until steady_ms() reaches
  // deadline_ms, whichever comes first; returns done(). A notify on `wake` re-checks done().
  virtual bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, std::int64_t deadline_ms,
                          const std::function<bool()>& done) const = 0;
};

// Both clocks read at one moment: steady_ms to measure from, wall_ms to stamp with. A unit that
// reports times keeps the wall stamp it was handed, so a stamp never moves once taken.
struct Instant {
  std::int64_t steady_ms = 0;
  std::int64_t wall_ms = 0;
};

inline Instant instant_of(const Clock& clock) { return Instant{clock.steady_ms(), clock.wall_ms()}; }

// The process's own clocks: the monotonic clock and the system (Unix) clock.
const std::shared_ptr<const Clock>& system_clock();

// `clock` itself, or the system clock when it is empty: what a unit keeps from its constructor.
inline std::shared_ptr<const Clock> clock_or_system(std::shared_ptr<const Clock> clock) {
  if (!clock) return system_clock();
  return clock;
}

}  // namespace velmo::ai
