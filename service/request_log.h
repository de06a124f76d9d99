#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "foundation/clock.h"

namespace velmo::ai {

// The log lines of API requests that were refused (a 4xx or 5xx answer) or whose handler failed,
// at most `per_second` of them in any one second of the monotonic clock, so that a client sending
// bad requests in a loop cannot flood the log. The lines the cap holds back are counted, and the
// next line written names how many (`suppressed`). Every field is cut to a sensible length: the
// client chose the method and the route, and a message may quote what it sent.
class RequestLog {
 public:
  explicit RequestLog(int per_second = 10, std::shared_ptr<const Clock> clock = {});

  // INFO "api: request refused" with method, route, status and message.
  void refused(std::string_view method, std::string_view route, unsigned status, std::string_view message);
  // ERROR "api: request failed" with method, route and cause: a failure no route maps, answered
  // 500 without a body.
  void failed(std::string_view method, std::string_view route, std::string_view cause);

 private:
  // Whether a line may be written now; `suppressed` is then the count held back before it.
  bool admit(std::uint64_t& suppressed);

  const int per_second_;
  const std::shared_ptr<const Clock> clock_;
  std::mutex mutex_;
  std::int64_t window_start_ms_ = 0;
  int written_in_window_ = 0;
  bool has_window_ = false;
  std::uint64_t suppressed_ = 0;
};

}  // namespace velmo::ai
