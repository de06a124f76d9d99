#include "foundation/url.h"

#include <algorithm>
#include <span>

#include "foundation/errors.h"
#include "foundation/text.h"

namespace velmo::ai {
namespace {

constexpr std::string_view kSchemeSeparator = "://";
constexpr std::string_view kAuthorityEnds = "/?#";
// In a log line a URL also ends where the text around it goes on.
constexpr std::string_view kAuthorityEndsInText = "/ \t\"'?#<>";
constexpr std::string_view kMask = "***";
constexpr std::string_view kDefaultHttpPort = "80";
constexpr std::string_view kStreamSchemes[] = {"rtsp://", "rtsps://"};
constexpr std::string_view kCallbackSchemes[] = {"http://"};
constexpr std::string_view kAuthorizationField = "authorization:";

[[noreturn]] void refuse(const std::string& message) { throw InvalidInput(message); }

void check_bytes(std::string_view url, const std::string& label) {
  if (has_blank_or_control(url)) refuse(label + " must not contain spaces or control characters");
}

// The authority of the URL whose "://" stands at `separator` in `text`.
struct Authority {
  std::size_t begin;  // right after the "://"
  std::size_t end;    // at the first of `ends` after it, or the end of the text
  std::size_t at;     // the "@" that ends the user information, npos when there is none
};

Authority authority_at(std::string_view text, std::size_t separator, std::string_view ends) {
  const std::size_t begin = separator + kSchemeSeparator.size();
  const std::size_t end = std::min(text.find_first_of(ends, begin), text.size());
  const std::size_t at = text.substr(0, end).rfind('@');
  return {begin, end, at != std::string_view::npos && at >= begin ? at : std::string_view::npos};
}

}  // namespace

bool has_blank_or_control(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' || byte == 0x7f;
  });
}

void check_request_url(std::string_view url, UrlUse use, const std::string& label) {
  const std::span<const std::string_view> schemes =
      use == UrlUse::stream ? std::span<const std::string_view>(kStreamSchemes) : kCallbackSchemes;
  const auto scheme =
      std::find_if(schemes.begin(), schemes.end(), [url](std::string_view s) { return url.starts_with(s); });
  if (scheme == schemes.end()) {
    refuse(use == UrlUse::stream ? label + " must use RTSP" : "phase one " + label + " must use HTTP");
  }
  const std::size_t host_at = scheme->size();
  if (url.size() <= host_at || url[host_at] == '/') refuse(label + " must include a host");
  check_bytes(url, label);
}

HttpTarget parse_http_url(std::string_view url, std::string_view default_path, const std::string& label) {
  const std::size_t separator = url.find(kSchemeSeparator);
  if (separator == std::string_view::npos) refuse(label + " has no scheme");
  check_bytes(url, label);
  if (lower_ascii(url.substr(0, separator)) != "http") refuse(label + " must use HTTP");

  const Authority parts = authority_at(url, separator, kAuthorityEnds);
  const std::size_t fragment = std::min(url.find('#', parts.end), url.size());
  HttpTarget target;
  target.base = std::string(url.substr(0, parts.end));
  target.path = std::string(url.substr(parts.end, fragment - parts.end));
  if (target.path.empty() || target.path.front() == '?') target.path.insert(0, default_path);

  const std::string bad_authority = label + " has an invalid host or port";
  const std::string_view authority = url.substr(parts.begin, parts.end - parts.begin);
  if (authority.find('@') != std::string_view::npos) refuse(bad_authority);
  std::string_view host;
  std::string_view rest;  // ":" and the port, or nothing
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) refuse(bad_authority);
    host = authority.substr(1, close - 1);
    rest = authority.substr(close + 1);
    const bool literal = std::all_of(host.begin(), host.end(),
                                     [](char c) { return hex_value(c) >= 0 || c == ':' || c == '.'; });
    if (!literal) refuse(bad_authority);
  } else {
    const std::size_t colon = authority.find(':');
    host = authority.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    if (host.find_first_of("[]") != std::string_view::npos) refuse(bad_authority);
  }
  if (host.empty()) refuse(bad_authority);
  if (rest.empty()) {
    target.port = std::string(kDefaultHttpPort);
  } else if (rest.front() == ':' && parse_port_digits(rest.substr(1))) {
    target.port = std::string(rest.substr(1));
  } else {
    refuse(bad_authority);
  }
  target.host = std::string(host);
  target.host_header = std::string(authority);
  return target;
}

std::string mask_url_password(std::string_view url) {
  const std::size_t separator = url.find(kSchemeSeparator);
  if (separator == std::string_view::npos) return std::string(url);
  const Authority parts = authority_at(url, separator, kAuthorityEnds);
  if (parts.at == std::string_view::npos) return std::string(url);
  const std::size_t colon = url.substr(0, parts.at).find(':', parts.begin);
  if (colon == std::string_view::npos) return std::string(url);
  std::string masked(url.substr(0, colon + 1));
  masked += kMask;
  masked += url.substr(parts.at);
  return masked;
}

std::string without_credentials(std::string line) {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first != std::string::npos &&
      lower_ascii(std::string_view(line).substr(first, kAuthorizationField.size())) == kAuthorizationField) {
    return line.substr(0, first) + "Authorization: " + std::string(kMask);
  }
  for (std::size_t separator = line.find(kSchemeSeparator); separator != std::string::npos;
       separator = line.find(kSchemeSeparator, separator + kSchemeSeparator.size())) {
    const Authority parts = authority_at(line, separator, kAuthorityEndsInText);
    if (parts.at != std::string::npos) line.replace(parts.begin, parts.at - parts.begin, kMask);
  }
  return line;
}

}  // namespace velmo::ai
