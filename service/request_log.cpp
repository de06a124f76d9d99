#include "service/request_log.h"

#include <string>
#include <utility>
#include <vector>

#include "foundation/log.h"

namespace velmo::ai {

namespace {

constexpr std::int64_t kWindowMs = 1000;
constexpr std::size_t kMethodLimit = 16;
constexpr std::size_t kRouteLimit = 256;
// A parser's message may quote the offending token, which can be most of the body.
constexpr std::size_t kMessageLimit = 512;

std::string cut(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  return std::string(text.substr(0, limit)) + "...";
}

}  // namespace

RequestLog::RequestLog(int per_second, std::shared_ptr<const Clock> clock)
    : per_second_(per_second), clock_(clock_or_system(std::move(clock))) {}

bool RequestLog::admit(std::uint64_t& suppressed) {
  const std::int64_t now = clock_->steady_ms();
  std::lock_guard lock(mutex_);
  if (!has_window_ || now - window_start_ms_ >= kWindowMs) {
    has_window_ = true;
    window_start_ms_ = now;
    written_in_window_ = 0;
  }
  if (written_in_window_ >= per_second_) {
    ++suppressed_;
    return false;
  }
  ++written_in_window_;
  suppressed = std::exchange(suppressed_, 0);
  return true;
}

void RequestLog::refused(std::string_view method, std::string_view route, unsigned status, std::string_view message) {
  std::uint64_t suppressed = 0;
  if (!admit(suppressed)) return;
  std::vector<LogField> fields = {{"method", cut(method, kMethodLimit)},
                                  {"route", cut(route, kRouteLimit)},
                                  {"status", std::to_string(status)},
                                  {"message", cut(message, kMessageLimit)}};
  if (suppressed > 0) fields.push_back({"suppressed", std::to_string(suppressed)});
  log(LogLevel::info, "api: request refused", fields, {});
}

void RequestLog::failed(std::string_view method, std::string_view route, std::string_view cause) {
  std::uint64_t suppressed = 0;
  if (!admit(suppressed)) return;
  std::vector<LogField> fields = {{"method", cut(method, kMethodLimit)},
                                  {"route", cut(route, kRouteLimit)},
                                  {"cause", cut(cause, kMessageLimit)}};
  if (suppressed > 0) fields.push_back({"suppressed", std::to_string(suppressed)});
  log(LogLevel::error, "api: request failed", fields, {});
}

}  // namespace velmo::ai
