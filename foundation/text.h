#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmo::ai {

// Small text and number helpers shared by the configuration, the manifest, the key files, the
// HTTP parts and the command lines. All are byte-wise and locale-free (the classic "C" rules).

// A-Z become a-z; every other byte, UTF-8 included, is kept.
std::string lower_ascii(std::string_view text);

// Lowercase hex, two digits per byte.
std::string bytes_to_hex(std::span<const std::uint8_t> bytes);

// Space, tab, newline, vertical tab, form feed, carriage return.
constexpr bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of one hexadecimal digit (either case), or -1 for any other byte.
constexpr int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A closed range of whole numbers, as a setting and its message name it.
struct IntRange {
  long long lo;
  long long hi;
  constexpr bool holds(long long value) const { return value >= lo && value <= hi; }
  // "1..65535"
  std::string text() const;
};

// TCP ports that can be listened on or connected to.
inline constexpr IntRange kPortRange{1, std::numeric_limits<std::uint16_t>::max()};
constexpr bool valid_port(long long value) { return kPortRange.holds(value); }

// A port written as decimal digits only (no sign, no blank, at most 5 digits): 1..65535, else none.
std::optional<std::uint16_t> parse_port_digits(std::string_view digits);

}  // namespace velmo::ai
