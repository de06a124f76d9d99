#pragma once

// When the decoder tries a camera again. Pure apart from the wait itself.

#include <cstdint>
#include <stop_token>

#include "foundation/clock.h"

namespace velmo::ai {

// The pause before the next attempt after `lasting` failures in a row that a quick retry cannot
// mend (401, 403, 404, no video): `reconnect_delay_ms` for the first few, then 10 s doubling up to
// 30 s, so a camera that locks accounts after failed logins is not asked twice a second.
std::int32_t retry_pause_ms(std::int32_t reconnect_delay_ms, unsigned lasting);

// Blocks the calling thread for delay_ms of `clock`'s steady time (nothing when it is not
// positive); a stop request cuts the wait short.
void pause_before_retry(const Clock& clock, std::int32_t delay_ms, const std::stop_token& stop);

}  // namespace velmo::ai
