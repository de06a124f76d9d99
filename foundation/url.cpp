#include "foundation/url.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "foundation/errors.h"
#include "foundation/text.h"

namespace velmo::ai {
namespace {

constexpr std::string_view kSchemeSeparator = "://";
constexpr std::string_view kAuthorityEnds = "/?#";
// In a log line a URL ends where the text around it goes on.
constexpr std::string_view kUrlEndsInText = " \t\"'<>";
constexpr std::string_view kMask = "***";
constexpr std::string_view kDefaultHttpPort = "80";
constexpr std::string_view kStreamSchemes[] = {"rtsp://", "rtsps://"};
constexpr std::string_view kCallbackSchemes[] = {"http://"};
constexpr std::string_view kAuthorizationField = "authorization:";
// FFmpeg's RTSP demuxer copies the user information into a buffer of 128 bytes and cuts the
// rest, so a longer one sends the camera a wrong password.
constexpr std::size_t kMaxUserInfoBytes = 127;
// What a parameter name holds when its value is a secret; matched inside the name.
constexpr std::string_view kSecretNames[] = {"password", "passwd", "pwd",  "pass",     "token",
                                             "key",      "secret", "auth", "signature"};
// A name=value pair starts after one of these (the path too: some cameras take
// "/user=admin&password=..."), and its value runs to the next of kValueEnds.
constexpr std::string_view kPairStarts = "/?&;#";
constexpr std::string_view kNameEnds = "=/?&;#";
constexpr std::string_view kValueEnds = "&;";
constexpr std::string_view kPercentEncodeHint = "; percent-encode / ? # in a user name or password (%2F %3F %23)";

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

// "host", "host:port", "[literal]" or "[literal]:port"; none where brackets are misplaced or
// something other than ":" follows the literal. The host may come out empty.
struct HostPort {
  std::string_view host;  // without the brackets
  std::optional<std::string_view> port;
  bool bracketed = false;
};

std::optional<HostPort> split_host_port(std::string_view authority) {
  HostPort parts;
  std::string_view rest;  // ":" and the port, or nothing
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    parts.host = authority.substr(1, close - 1);
    parts.bracketed = true;
    rest = authority.substr(close + 1);
  } else {
    const std::size_t colon = authority.find(':');
    parts.host = authority.substr(0, colon);
    if (colon != std::string_view::npos) rest = authority.substr(colon);
    if (parts.host.find_first_of("[]") != std::string_view::npos) return std::nullopt;
  }
  if (!rest.empty()) {
    if (rest.front() != ':') return std::nullopt;
    parts.port = rest.substr(1);
  }
  return parts;
}

// A camera's authority must split as FFmpeg will split it, and its user information must fit
// what FFmpeg keeps. A raw "/", "?" or "#" in a password ends the authority early, so the rest of
// the password reads as a port or as part of the path.
void check_stream_authority(std::string_view url, const std::string& label) {
  const Authority parts = authority_at(url, url.find(kSchemeSeparator), kAuthorityEnds);
  const std::size_t host_begin = parts.at == std::string_view::npos ? parts.begin : parts.at + 1;
  const std::optional<HostPort> host_port = split_host_port(url.substr(host_begin, parts.end - host_begin));
  if (!host_port || (host_port->port && !parse_port_digits(*host_port->port))) {
    refuse(label + " has an invalid host or port" + std::string(kPercentEncodeHint));
  }
  if (host_port->host.empty()) refuse(label + " must include a host");
  if (url.find('@', parts.end) != std::string_view::npos) {
    refuse(label + " has an @ after its host" + std::string(kPercentEncodeHint) + ", and an @ elsewhere as %40");
  }
  if (parts.at != std::string_view::npos && parts.at - parts.begin > kMaxUserInfoBytes) {
    refuse(label + " user name and password together must be at most " + std::to_string(kMaxUserInfoBytes) +
           " bytes as written (percent-encoding included)");
  }
}

// The event sink's rule, so that a task it would refuse is refused when it is submitted.
void check_callback_authority(std::string_view url, const std::string& label) {
  if (url.find('@', url.find(kSchemeSeparator)) != std::string_view::npos) {
    refuse(label + " must not contain a user name or password (write an @ in the path or query as %40)");
  }
  parse_http_url(url, "/", label);
}

// Bytes of a text to be replaced by kMask, as [begin, end) spans; an empty span inserts it.
using Spans = std::vector<std::pair<std::size_t, std::size_t>>;

std::string percent_decoded(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

bool names_secret(std::string_view name) {
  const std::string lowered = lower_ascii(percent_decoded(name));
  return std::any_of(std::begin(kSecretNames), std::end(kSecretNames),
                     [&](std::string_view secret) { return lowered.find(secret) != std::string::npos; });
}

// The values of secret name=value pairs in text[begin, end). The value of any other pair is
// searched too, since it may hold a URL of its own.
void mark_secret_values(std::string_view text, std::size_t begin, std::size_t end, Spans& spans) {
  std::size_t i = begin;
  while (true) {
    const std::size_t start = text.find_first_of(kPairStarts, i);
    if (start >= end) return;
    const std::size_t name_begin = start + 1;
    const std::size_t name_end = std::min(text.find_first_of(kNameEnds, name_begin), end);
    if (name_end == end || text[name_end] != '=') {
      i = name_end;
      continue;
    }
    const std::size_t value_begin = name_end + 1;
    if (names_secret(text.substr(name_begin, name_end - name_begin))) {
      const std::size_t value_end = std::min(text.find_first_of(kValueEnds, value_begin), end);
      spans.emplace_back(value_begin, value_end);
      i = value_end;
    } else {
      i = value_begin;
    }
  }
}

// The secrets of the URL whose "://" stands at `separator`, up to `end`. The user information
// runs to the last "@" of the URL whatever stands before it, since "/", "?" or "#" may be raw
// bytes of a password; `keep_user` leaves the user name in sight.
void mark_url_secrets(std::string_view text, std::size_t separator, std::size_t end, bool keep_user, Spans& spans) {
  const std::size_t begin = separator + kSchemeSeparator.size();
  const std::size_t at = text.substr(0, end).rfind('@');
  if (at != std::string_view::npos && at >= begin) {
    if (!keep_user) {
      spans.emplace_back(begin, at);
    } else if (const std::size_t colon = text.substr(0, at).find(':', begin); colon != std::string_view::npos) {
      spans.emplace_back(colon + 1, at);
    }
  }
  mark_secret_values(text, begin, end, spans);
}

std::string masked(std::string_view text, Spans spans) {
  std::sort(spans.begin(), spans.end());
  std::string out;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < spans.size();) {
    const std::size_t span_begin = spans[i].first;
    std::size_t span_end = spans[i].second;
    for (++i; i < spans.size() && spans[i].first <= span_end; ++i) span_end = std::max(span_end, spans[i].second);
    out += text.substr(copied, span_begin - copied);
    out += kMask;
    copied = span_end;
  }
  out += text.substr(copied);
  return out;
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
  if (use == UrlUse::stream) {
    check_stream_authority(url, label);
  } else {
    check_callback_authority(url, label);
  }
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
  const std::optional<HostPort> host_port = split_host_port(authority);
  if (!host_port || host_port->host.empty()) refuse(bad_authority);
  const std::string_view host = host_port->host;
  if (host_port->bracketed &&
      !std::all_of(host.begin(), host.end(), [](char c) { return hex_value(c) >= 0 || c == ':' || c == '.'; })) {
    refuse(bad_authority);
  }
  if (!host_port->port) {
    target.port = std::string(kDefaultHttpPort);
  } else if (parse_port_digits(*host_port->port)) {
    target.port = std::string(*host_port->port);
  } else {
    refuse(bad_authority);
  }
  target.host = std::string(host);
  target.host_header = std::string(authority);
  return target;
}

std::string mask_url_secrets(std::string_view url) {
  const std::size_t separator = url.find(kSchemeSeparator);
  if (separator == std::string_view::npos) return std::string(url);
  Spans spans;
  mark_url_secrets(url, separator, url.size(), true, spans);
  return masked(url, std::move(spans));
}

std::string without_credentials(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first != std::string::npos &&
      lower_ascii(std::string_view(line).substr(first, kAuthorizationField.size())) == kAuthorizationField) {
    return line.substr(0, first) + "Authorization: " + std::string(kMask);
  }
  Spans spans;
  for (std::size_t separator = line.find(kSchemeSeparator); separator != std::string::npos;
       separator = line.find(kSchemeSeparator, separator + kSchemeSeparator.size())) {
    const std::size_t end =
        std::min(line.find_first_of(kUrlEndsInText, separator + kSchemeSeparator.size()), line.size());
    mark_url_secrets(line, separator, end, false, spans);
  }
  return masked(line, std::move(spans));
}

}  // namespace velmo::ai
