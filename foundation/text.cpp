#include "foundation/text.h"

#include <algorithm>

namespace velmo::ai {

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

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

std::string mask_url_password(std::string_view url) {
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return std::string(url);
  const std::size_t start = scheme_end + 3;
  const std::size_t authority_end = std::min(url.find_first_of("/?#", start), url.size());
  const std::size_t at = url.substr(0, authority_end).rfind('@');
  if (at == std::string_view::npos || at < start) return std::string(url);
  const std::size_t colon = url.substr(0, at).find(':', start);
  if (colon == std::string_view::npos) return std::string(url);
  std::string masked(url.substr(0, colon + 1));
  masked += "***";
  masked += url.substr(at);
  return masked;
}

}  // namespace velmo::ai
