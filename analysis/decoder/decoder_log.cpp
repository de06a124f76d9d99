#include "analysis/decoder/decoder_log.h"

#include <string>
#include <vector>

namespace velmo::ai {

void DecoderLog::failure(std::string_view cause) { admitted_ = failures_.admit(cause, clock_.steady_ms()); }

void DecoderLog::failure_line(std::string_view message, std::initializer_list<LogField> fields) const {
  if (admitted_) warn(message, *admitted_, fields);
}

void DecoderLog::packet_refused(std::string_view error) {
  if (const auto admitted = refusals_.admit(error, clock_.steady_ms())) {
    warn("decoder: video decoder refused a packet", *admitted, {{"err", std::string(error)}});
  }
}

bool DecoderLog::first_hardware_fallback() {
  if (hardware_fallback_said_) return false;
  hardware_fallback_said_ = true;
  return true;
}

void DecoderLog::warn(std::string_view message, std::uint64_t suppressed,
                      std::initializer_list<LogField> fields) const {
  if (suppressed == 0) {
    log(LogLevel::warn, message, context_, fields);
    return;
  }
  std::vector<LogField> context(context_.begin(), context_.end());
  context.push_back({"suppressed", std::to_string(suppressed)});
  log(LogLevel::warn, message, context, fields);
}

}  // namespace velmo::ai
