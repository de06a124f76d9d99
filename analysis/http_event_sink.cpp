#include "analysis/http_event_sink.h"

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/version.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "foundation/log.h"
#include "foundation/text.h"

namespace velmo::ai {
namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr std::chrono::seconds kConnectTimeout{2};
constexpr std::chrono::seconds kReadTimeout{3};
constexpr std::chrono::seconds kWriteTimeout{3};
constexpr std::array<std::chrono::milliseconds, 3> kPauseBeforeAttempt{
    std::chrono::milliseconds(0), std::chrono::milliseconds(250), std::chrono::milliseconds(500)};

[[noreturn]] void refuse(const char* message) { throw std::invalid_argument(message); }

// Only the status decides an attempt; whatever body the server sends back is read and thrown away,
// so a large answer neither fails the attempt nor piles up in memory.
struct DiscardBody {
  struct value_type {};

  struct reader {
    template <bool isRequest, class Fields>
    explicit reader(http::header<isRequest, Fields>&, value_type&) {}
    void init(const boost::optional<std::uint64_t>&, beast::error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, beast::error_code& ec) {
      ec = {};
      return net::buffer_size(buffers);
    }
    void finish(beast::error_code& ec) { ec = {}; }
  };
};

bool blank_or_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= 0x20 || byte == 0x7f;
}

// Runs one asynchronous operation to its end on a private context, so the stream's expiry time
// bounds it.
template <typename Start>
beast::error_code run_one(net::io_context& ioc, Start&& start) {
  beast::error_code result = net::error::operation_aborted;
  std::forward<Start>(start)([&result](beast::error_code ec, auto&&...) { result = ec; });
  ioc.restart();
  ioc.run();
  return result;
}

}  // namespace

HttpEventSink::HttpEventSink(std::string url, std::size_t max_queue)
    : url_(std::move(url)), max_queue_(max_queue) {
  if (url_.empty() || max_queue_ == 0) refuse("invalid event callback configuration");
  const std::size_t scheme_end = url_.find("://");
  if (scheme_end == std::string::npos) refuse("event callback URL has no scheme");
  // The URL goes verbatim into the request line and the Host field: CR or LF there would let it
  // write headers or requests of its own.
  for (char c : url_) {
    if (blank_or_control(c)) refuse("event callback URL must not contain spaces or control characters");
  }
  // Plain HTTP only: an https URL must not be sent in clear text to a server that expects TLS.
  if (lower_ascii(std::string_view(url_).substr(0, scheme_end)) != "http") {
    refuse("event callback URL must use HTTP");
  }

  const std::size_t after_scheme = scheme_end + 3;
  const std::size_t slash = url_.find('/', after_scheme);
  if (after_scheme < url_.size() && slash != std::string::npos) {
    base_ = url_.substr(0, slash);
    path_ = url_.substr(slash);
  } else {
    base_ = url_;
    path_ = "/v1/events";
  }

  const std::string_view authority = std::string_view(base_).substr(after_scheme);
  std::string_view host;
  std::string_view rest;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) refuse("event callback URL has an invalid host or port");
    host = authority.substr(1, close - 1);
    rest = authority.substr(close + 1);
    for (char c : host) {
      const bool ok = hex_value(c) >= 0 || c == ':' || c == '.';
      if (!ok) refuse("event callback URL has an invalid host or port");
    }
  } else {
    const std::size_t colon = authority.find(':');
    host = authority.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    if (host.find_first_of("@?#[]") != std::string_view::npos) {
      refuse("event callback URL has an invalid host or port");
    }
  }
  if (host.empty()) refuse("event callback URL has an invalid host or port");
  if (rest.empty()) {
    port_ = "80";
  } else if (rest.front() == ':' && parse_port_digits(rest.substr(1))) {
    port_ = std::string(rest.substr(1));
  } else {
    refuse("event callback URL has an invalid host or port");
  }
  host_ = std::string(host);
  host_header_ = std::string(authority);

  worker_ = std::thread([this] { run(); });
}

HttpEventSink::~HttpEventSink() { stop(); }

void HttpEventSink::publish(Json event) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    std::string text = dump_json(event);
    while (queue_.size() >= max_queue_) queue_.pop_front();
    queue_.push_back(std::move(text));
  }
  wake_.notify_one();
}

void HttpEventSink::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void HttpEventSink::run() {
  for (;;) {
    std::string text;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;
      text = std::move(queue_.front());
      queue_.pop_front();
    }
    bool delivered = false;
    for (const auto pause : kPauseBeforeAttempt) {
      // sleep_for resumes after a signal until the whole pause has passed.
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
      if (post(text)) {
        delivered = true;
        break;
      }
    }
    if (!delivered) log(LogLevel::warn, "event: callback delivery failed", {{"url", base_}});
  }
}

bool HttpEventSink::post(const std::string& text) {
  // Anything thrown here would end the worker thread and the process with it; a failure of any
  // kind is just a failed attempt.
  try {
    net::io_context ioc;
    beast::error_code ec;
    tcp::resolver resolver(ioc);
    const auto endpoints = resolver.resolve(host_, port_, tcp::resolver::numeric_service, ec);
    if (ec) return false;

    // A new connection per attempt: nothing carries over from one attempt or event to the next.
    beast::tcp_stream stream(ioc);
    stream.expires_after(kConnectTimeout);
    ec = run_one(ioc, [&](auto handler) { stream.async_connect(endpoints, std::move(handler)); });
    if (ec) return false;

    http::request<http::string_body> request{http::verb::post, path_, 11};
    request.set(http::field::host, host_header_);
    request.set(http::field::user_agent, BOOST_BEAST_VERSION_STRING);
    request.set(http::field::content_type, "application/json");
    request.keep_alive(false);
    request.body() = text;
    request.prepare_payload();
    stream.expires_after(kWriteTimeout);
    ec = run_one(ioc, [&](auto handler) { http::async_write(stream, request, std::move(handler)); });
    if (ec) return false;

    beast::flat_buffer buffer;
    http::response_parser<DiscardBody> parser;
    parser.body_limit(boost::none);
    stream.expires_after(kReadTimeout);
    ec = run_one(ioc, [&](auto handler) { http::async_read(stream, buffer, parser, std::move(handler)); });
    if (ec) return false;

    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    const unsigned status = parser.get().result_int();
    return status >= 200 && status <= 299;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace velmo::ai
