#pragma once

#include <cstdint>

namespace velmo::ai {

// A pause that doubles with each failure in a row, from `first_ms` up to `most_ms`: the shape of
// every retry schedule in the service, each with its own values.
struct BackOff {
  std::int64_t first_ms = 0;
  std::int64_t most_ms = 0;

  // The pause after `step` doublings (0 gives first_ms); never above most_ms, whatever the step.
  std::int64_t pause_ms(unsigned step) const;
};

}  // namespace velmo::ai
