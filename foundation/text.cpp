#include "foundation/text.h"

namespace velmo::ai {

std::string bytes_to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 15]);
  }
  return text;
}

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string IntRange::text() const { return std::to_string(lo) + ".." + std::to_string(hi); }

std::optional<std::uint16_t> parse_port_digits(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (!valid_port(value)) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace velmo::ai
