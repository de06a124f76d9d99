#include "foundation/back_off.h"

#include <algorithm>

namespace velmo::ai {

std::int64_t BackOff::pause_ms(unsigned step) const {
  std::int64_t pause = first_ms;
  // Doubling stops at the cap, so no step count can overflow it.
  for (unsigned i = 0; i < step && pause < most_ms; ++i) pause *= 2;
  return std::min(pause, most_ms);
}

}  // namespace velmo::ai
