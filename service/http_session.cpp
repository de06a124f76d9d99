#include "service/http_session.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "foundation/url.h"
#include "service/websocket_session.h"

namespace velmo::ai {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

constexpr unsigned kKeepAliveMax = 100;
constexpr std::size_t kHeaderLimit = 8192;
// How long a refused request's unread body is drained, so the refusal reaches the client, and how
// much of it one read takes.
constexpr std::chrono::seconds kDrainTimeout{2};
constexpr std::size_t kDrainChunk = 16384;
// The one WebSocket version there is (RFC 6455).
constexpr std::string_view kWebSocketVersion = "13";
// A handshake key is the base64 form of 16 random bytes: 22 digits, the last carrying 2 bits of
// data and 4 zero bits, then "==".
constexpr std::size_t kKeyBytes = 16;
constexpr std::size_t kKeyDigits = (kKeyBytes * 8 + 5) / 6;
constexpr std::string_view kKeyPadding = "==";
constexpr std::string_view kLastKeyDigits = "AQgw";

std::optional<HttpMethod> method_of(http::verb verb) {
  switch (verb) {
    case http::verb::get: return HttpMethod::get;
    case http::verb::head: return HttpMethod::head;
    case http::verb::post: return HttpMethod::post;
    case http::verb::put: return HttpMethod::put;
    case http::verb::delete_: return HttpMethod::delete_;
    case http::verb::options: return HttpMethod::options;
    default: return std::nullopt;
  }
}

bool is_base64_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool valid_websocket_key(std::string_view key) {
  if (key.size() != kKeyDigits + kKeyPadding.size() || key.substr(kKeyDigits) != kKeyPadding) return false;
  if (!std::all_of(key.begin(), key.begin() + kKeyDigits, is_base64_char)) return false;
  return kLastKeyDigits.find(key[kKeyDigits - 1]) != std::string_view::npos;
}

// A failure the route does not map is answered here, without a body, and logged: the answer
// says nothing, so the log is all an operator has.
std::shared_ptr<HttpResponse> respond(const HttpRoutes::Route& route, const HttpRequest& request,
                                      const std::string& method, RequestLog& requests) {
  auto response = std::make_shared<HttpResponse>();
  std::string cause;
  try {
    route.handler(request, *response);
    if (response->status >= 400 && !response->refusal.empty()) {
      requests.refused(method, request.path, response->status, response->refusal);
    }
    return response;
  } catch (const std::exception& e) {
    cause = e.what();
  } catch (...) {
    cause = "an exception that is not a std::exception";
  }
  requests.failed(method, request.path, cause);
  *response = HttpResponse{};
  response->status = 500;
  return response;
}

class HttpSession : public Session, public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(SessionHost& host, tcp::socket&& socket) : host_(host), stream_(std::move(socket)) {}
  ~HttpSession() override { host_.remove_session(id_); }

  void run() {
    id_ = host_.add_session(weak_from_this());
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->read_header(); });
  }

  void begin_stop() override {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      self->stop_requested_ = true;
      if (!self->handling_ && !self->writing_) self->close();
    });
  }
  void force_stop() override {
    // A handler still at work is let finish: its answer is what the client waits for.
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      self->stop_requested_ = true;
      if (!self->handling_) self->close();
    });
  }

 private:
  using Response = http::response<http::string_body>;

  void read_header() {
    if (stop_requested_ || host_.stopping()) {
      close();
      return;
    }
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(host_.options().payload_max_length);
    // One deadline for the whole request, so a client cannot hold the connection by trickling.
    request_deadline_ = std::chrono::steady_clock::now() + host_.options().request_timeout;
    stream_.expires_at(request_deadline_);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_header(ec); });
  }

  void on_header(beast::error_code ec) {
    if (ec) {
      read_failed(ec);
      return;
    }
    auto& request = parser_->get();
    if (websocket::is_upgrade(request)) {
      std::vector<std::string> captures;
      if (const WebSocketOpen* open = host_.routes().find_websocket(route_path(request.target()), captures)) {
        upgrade(*open, std::move(captures));
        return;
      }
    }
    if (parser_->is_done()) {
      dispatch();
      return;
    }
    if (beast::iequals(request[http::field::expect], "100-continue")) {
      auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, request.version());
      http::async_write(stream_, *interim, [self = shared_from_this(), interim](beast::error_code ec, std::size_t) {
        if (ec) {
          self->close();
          return;
        }
        self->read_body();
      });
      return;
    }
    read_body();
  }

  // Checks what the WebSocket library would refuse with an answer of its own, so every refusal
  // carries this server's headers.
  void upgrade(const WebSocketOpen& open, std::vector<std::string> captures) {
    const auto& request = parser_->get();
    if (!parser_->is_done() || request.find(http::field::host) == request.end() ||
        !valid_websocket_key(request[http::field::sec_websocket_key])) {
      refuse(http::status::bad_request, "malformed WebSocket upgrade");
      return;
    }
    if (request[http::field::sec_websocket_version] != kWebSocketVersion) {
      refuse(http::status::upgrade_required, "unsupported WebSocket version",
             {{"Sec-WebSocket-Version", std::string(kWebSocketVersion)}});
      return;
    }
    stream_.expires_never();
    start_websocket_session(host_, std::move(stream_), parser_->release(), open, std::move(captures));
  }

  void read_body() {
    stream_.expires_at(request_deadline_);
    http::async_read_some(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->read_failed(ec);
        return;
      }
      if (self->parser_->is_done()) {
        self->dispatch();
      } else {
        self->read_body();
      }
    });
  }

  void read_failed(beast::error_code ec) {
    if (ec == http::error::body_limit) {
      refuse(http::status::payload_too_large, "request body too large");
    } else if (ec == http::error::header_limit) {
      refuse(http::status::request_header_fields_too_large, "request header too large");
    } else if (ec.category() == beast::http::make_error_code(http::error::bad_target).category() &&
               ec != http::error::end_of_stream && ec != http::error::partial_message) {
      refuse(http::status::bad_request, "malformed request: " + ec.message());
    } else {
      close();  // the peer went away or ran out of time
    }
  }

  void dispatch() {
    auto& message = parser_->get();
    const std::optional<HttpMethod> method = method_of(message.method());
    auto request = std::make_shared<HttpRequest>();
    request->method = method.value_or(HttpMethod::get);
    request->path = route_path(message.target());
    request->body = std::move(message.body());
    const bool keep_alive = message.keep_alive();
    const unsigned version = message.version();
    std::string method_text(message.method_string());
    const HttpRoutes::Route* route = method ? host_.routes().find(*request) : nullptr;
    if (route == nullptr) {
      host_.request_log().refused(method_text, request->path, 404, "no such route");
      auto response = std::make_shared<HttpResponse>();
      response->status = 404;
      answer(response, false, keep_alive, version);
      return;
    }
    const bool head = request->method == HttpMethod::head;
    if (route->pool == HttpRoutes::Pool::io) {
      // In the strand already, so a stop cannot come in between: nothing to mark as handling.
      answer(respond(*route, *request, method_text, host_.request_log()), head, keep_alive, version);
      return;
    }
    handling_ = true;
    host_.run_on(route->pool, [self = shared_from_this(), route, request, method_text = std::move(method_text), head,
                               keep_alive, version] {
      auto response = respond(*route, *request, method_text, self->host_.request_log());
      net::post(self->stream_.get_executor(), [self, response, head, keep_alive, version] {
        self->handling_ = false;
        self->answer(response, head, keep_alive, version);
      });
    });
  }

  // On the connection's executor.
  void answer(const std::shared_ptr<HttpResponse>& answer, bool head, bool keep_alive, unsigned version) {
    auto response = std::make_shared<Response>(static_cast<http::status>(answer->status), version);
    add_headers(*response, host_.routes().default_headers());
    if (!answer->content_type.empty()) response->set(http::field::content_type, answer->content_type);
    ++served_;
    response->keep_alive(keep_alive && served_ < kKeepAliveMax && !stop_requested_ && !host_.stopping());
    if (head) {
      // The length of the body that GET would send, and no body.
      if (answer->status != 204 && answer->status != 304) response->content_length(answer->body.size());
    } else {
      response->body() = std::move(answer->body);
      response->prepare_payload();
    }
    writing_ = true;
    stream_.expires_after(host_.options().write_timeout);
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
      self->writing_ = false;
      if (ec || !response->keep_alive()) {
        self->close();
      } else {
        self->read_header();
      }
    });
  }

  // Answers a request that cannot be served and ends the connection; what the client is still
  // sending is drained for a moment so that the answer is not lost in a connection reset.
  void refuse(http::status status, std::string_view why, const HttpRoutes::Headers& extra = {}) {
    // What of the request line arrived: nothing, when the header itself could not be read.
    const auto& request = parser_->get();
    host_.request_log().refused(request.method_string(), route_path(request.target()), static_cast<unsigned>(status),
                                why);
    auto response = std::make_shared<Response>(status, kHttp11);
    add_headers(*response, host_.routes().default_headers());
    add_headers(*response, extra);
    response->keep_alive(false);
    response->prepare_payload();
    writing_ = true;
    stream_.expires_after(host_.options().write_timeout);
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
      self->writing_ = false;
      if (ec) {
        self->close();
        return;
      }
      beast::error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
      self->stream_.expires_after(kDrainTimeout);
      self->drain();
    });
  }

  void drain() {
    drain_buffer_.resize(kDrainChunk);
    stream_.async_read_some(net::buffer(drain_buffer_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->close();
        return;
      }
      self->drain();
    });
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  SessionHost& host_;
  std::uint64_t id_ = 0;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::vector<char> drain_buffer_;
  std::chrono::steady_clock::time_point request_deadline_{};
  unsigned served_ = 0;
  // On the connection's executor only.
  bool handling_ = false;
  bool writing_ = false;
  bool stop_requested_ = false;
};

}  // namespace

void start_http_session(SessionHost& host, tcp::socket&& socket) {
  std::make_shared<HttpSession>(host, std::move(socket))->run();
}

}  // namespace velmo::ai
