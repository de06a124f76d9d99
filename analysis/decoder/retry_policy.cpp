#include "analysis/decoder/retry_policy.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace velmo::ai {
namespace {

// Failures that a quick retry cannot mend: this many at the usual pause, then a pause from the
// first below, doubling up to the second.
constexpr unsigned kQuickLastingAttempts = 3;
constexpr std::int32_t kLastingPauseFirstMs = 10000;
constexpr std::int32_t kLastingPauseMostMs = 30000;
constexpr unsigned kMostDoublings = 8;

}  // namespace

std::int32_t retry_pause_ms(std::int32_t reconnect_delay_ms, unsigned lasting) {
  if (lasting < kQuickLastingAttempts) return reconnect_delay_ms;
  // Past a few doublings the pause is at its most anyway; the cap keeps the shift in range.
  const unsigned doublings = std::min(lasting - kQuickLastingAttempts, kMostDoublings);
  const std::int32_t pause = std::min(kLastingPauseMostMs, kLastingPauseFirstMs << doublings);
  return std::max(pause, reconnect_delay_ms);
}

void pause_before_retry(const Clock& clock, std::int32_t delay_ms, const std::stop_token& stop) {
  if (delay_ms <= 0) return;
  std::mutex mutex;
  std::condition_variable wake;
  // Taking the mutex orders the notify after the waiter's check of the stop, so it is not lost.
  const std::stop_callback on_stop(stop, [&] {
    const std::lock_guard held(mutex);
    wake.notify_all();
  });
  std::unique_lock lock(mutex);
  clock.wait_until(lock, wake, clock.steady_ms() + delay_ms, [&] { return stop.stop_requested(); });
}

}  // namespace velmo::ai
