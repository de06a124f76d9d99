#pragma once

#include <cstdint>
#include <string>

namespace velmo::ai {

// Wall clock, milliseconds since the Unix epoch.
std::int64_t unix_millis();
// Monotonic clock, milliseconds from an unspecified epoch; only differences mean anything.
std::int64_t steady_millis();
// Millisecond arithmetic that saturates, so extreme clock values or settings cannot overflow.
std::int64_t saturating_add_ms(std::int64_t a, std::int64_t b);
std::int64_t saturating_sub_ms(std::int64_t a, std::int64_t b);

// "YYYY-MM-DDTHH:MM:SS.mmmZ" in UTC.
std::string iso8601_utc(std::int64_t millis);

}  // namespace velmo::ai
