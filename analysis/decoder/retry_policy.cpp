#include "analysis/decoder/retry_policy.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "foundation/back_off.h"

namespace velmo::ai {
namespace {

// Failures that a quick retry cannot mend: this many at the usual pause, then 10 s doubling up
// to 30 s.
constexpr unsigned kQuickLastingAttempts = 3;
constexpr BackOff kLastingPause{10000, 30000};

}  // namespace

std::int32_t retry_pause_ms(std::int32_t reconnect_delay_ms, unsigned lasting) {
  if (lasting < kQuickLastingAttempts) return reconnect_delay_ms;
  const auto pause = static_cast<std::int32_t>(kLastingPause.pause_ms(lasting - kQuickLastingAttempts));
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
