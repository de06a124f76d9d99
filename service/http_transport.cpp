#include "service/http_transport.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <regex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "foundation/text.h"
#include "foundation/thread_name.h"

namespace velmo::ai {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

constexpr unsigned kKeepAliveMax = 100;
constexpr std::size_t kHeaderLimit = 8192;
// How long a refused request's unread body is drained, so the refusal reaches the client.
constexpr std::chrono::seconds kDrainTimeout{2};
constexpr std::chrono::seconds kHandshakeTimeout{5};

// Routes match the path with its percent escapes decoded; a malformed escape stays as written.
std::string decode_path(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size()) {
      const int hi = hex_value(path[i + 1]);
      const int lo = hex_value(path[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(path[i]);
  }
  return out;
}

std::string_view path_of(std::string_view target) {
  const auto query = target.find('?');
  return query == std::string_view::npos ? target : target.substr(0, query);
}

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

// The key must be the base64 form of 16 bytes: 22 characters and "==".
bool valid_websocket_key(std::string_view key) {
  if (key.size() != 24 || key.substr(22) != "==") return false;
  if (!std::all_of(key.begin(), key.begin() + 22, is_base64_char)) return false;
  // The last character before the padding carries 2 bits of data and 4 zero bits.
  return std::string_view("AQgw").find(key[21]) != std::string_view::npos;
}

// The WebSocket library names itself in a Server header of its 101 answer and cannot be told not
// to. That answer is the first thing written on an accepted connection, so it is cleaned here on
// its way out; everything after it passes through untouched.
class ServerHeaderFilter {
 public:
  using next_layer_type = beast::tcp_stream;
  using executor_type = next_layer_type::executor_type;

  explicit ServerHeaderFilter(beast::tcp_stream&& stream) : next_(std::move(stream)) {}

  executor_type get_executor() noexcept { return next_.get_executor(); }
  next_layer_type& next_layer() noexcept { return next_; }
  const next_layer_type& next_layer() const noexcept { return next_; }

  template <typename MutableBuffers, typename Handler>
  void async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    next_.async_read_some(buffers, std::forward<Handler>(handler));
  }

  template <typename ConstBuffers, typename Handler>
  void async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    if (header_written_) {
      next_.async_write_some(buffers, std::forward<Handler>(handler));
      return;
    }
    auto text = std::make_shared<std::string>(beast::buffers_to_string(buffers));
    const std::size_t size = text->size();
    header_written_ = text->find("\r\n\r\n") != std::string::npos;
    const auto end = text->find("\r\n\r\n");
    const auto at = text->find("\r\nServer:");
    if (at != std::string::npos && at < end) text->erase(at, text->find("\r\n", at + 2) - at);
    auto executor = net::get_associated_executor(handler, next_.get_executor());
    net::async_write(next_, net::buffer(*text),
                     net::bind_executor(executor, [text, size, handler = std::forward<Handler>(handler)](
                                                      beast::error_code ec, std::size_t) mutable {
                       handler(ec, ec ? 0 : size);
                     }));
  }

 private:
  beast::tcp_stream next_;
  bool header_written_ = false;
};

template <typename Handler>
void async_teardown(beast::role_type role, ServerHeaderFilter& stream, Handler&& handler) {
  beast::async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

[[maybe_unused]] void teardown(beast::role_type role, ServerHeaderFilter& stream, beast::error_code& ec) {
  beast::teardown(role, stream.next_layer(), ec);
}

class WorkerPool {
 public:
  WorkerPool(std::size_t count, const std::string& name) {
    for (std::size_t i = 0; i < std::max<std::size_t>(count, 1); ++i) {
      threads_.emplace_back([this, name = name + std::to_string(i + 1)] {
        set_thread_name(name);
        run();
      });
    }
  }
  ~WorkerPool() { shutdown(); }

  void submit(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  // Runs what is queued, then joins.
  void shutdown() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    threads_.clear();
  }

 private:
  void run() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

class Session {
 public:
  virtual ~Session() = default;
  // Server shutdown: end what is idle, finish what is under way.
  virtual void begin_stop() = 0;
  // The close time-out has passed: drop the connection unless a handler is still answering.
  virtual void force_stop() = 0;
};

template <typename Message>
void add_headers(Message& message, const HttpTransport::Headers& headers) {
  for (const auto& [name, value] : headers) message.set(name, value);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

struct HttpTransport::Impl {
  struct Route {
    HttpMethod method;
    std::regex pattern;
    RouteHandler handler;
    Pool pool;
  };
  struct WebSocketRoute {
    std::regex pattern;
    WebSocketOpen open;
  };

  explicit Impl(HttpTransportOptions opts) : options(opts) {}

  void accept();
  void on_stop_requested();
  std::vector<std::shared_ptr<Session>> live_sessions();
  void add_session(std::uint64_t id, std::weak_ptr<Session> session);
  void remove_session(std::uint64_t id);
  const WebSocketOpen* websocket_route(const std::string& path, std::vector<std::string>& captures) const;
  // The route for a request, its captures filled in; null when none matches.
  const Route* find_route(HttpRequest& request) const;
  void run_on(Pool pool, std::function<void()> job) {
    (pool == Pool::blocking ? blocking_workers : quick_workers)->submit(std::move(job));
  }

  const HttpTransportOptions options;
  Headers default_headers;
  std::vector<Route> routes;
  std::vector<WebSocketRoute> websocket_routes;

  net::io_context io{1};
  tcp::acceptor acceptor{io};
  net::steady_timer accept_timer{io};
  std::unique_ptr<net::steady_timer> grace_timer;
  std::unique_ptr<WorkerPool> quick_workers;
  std::unique_ptr<WorkerPool> blocking_workers;
  std::atomic<bool> stopping{false};
  std::atomic<std::uint64_t> next_session_id{1};

  std::mutex sessions_mutex;
  std::unordered_map<std::uint64_t, std::weak_ptr<Session>> sessions;
};

// ---------------------------------------------------------------------------------------------

namespace {

using Impl = HttpTransport::Impl;

class WebSocketSession : public Session,
                         public WebSocketConnection,
                         public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(Impl* transport, beast::tcp_stream&& stream,
                   http::request<http::string_body> request, const WebSocketOpen& open,
                   std::vector<std::string> captures)
      : transport_(transport),
        id_(transport_->next_session_id.fetch_add(1)),
        ws_(std::move(stream)),
        close_timer_(ws_.get_executor()),
        request_(std::move(request)),
        open_handler_(open),
        captures_(std::move(captures)) {}

  ~WebSocketSession() override { transport_->remove_session(id_); }

  void run() {
    transport_->add_session(id_, shared_from_this());
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTimeout;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [headers = transport_->default_headers](websocket::response_type& res) { add_headers(res, headers); }));
    ws_.read_message_max(transport_->options.payload_max_length);
    // Every message leaves as one frame, however large.
    ws_.auto_fragment(false);
    ws_.async_accept(request_, [self = shared_from_this()](beast::error_code ec) { self->on_accept(ec); });
  }

  bool is_open() const override { return open_.load(); }

  bool send_text(const std::string& text) override {
    {
      std::lock_guard lock(queue_mutex_);
      if (!open_.load() || closing_) return false;
      if (queue_.size() < transport_->options.websocket_queue_limit) {
        queue_.push_back(std::make_shared<const std::string>(text));
        if (!writing_) {
          writing_ = true;
          net::post(ws_.get_executor(), [self = shared_from_this()] { self->write_next(); });
        }
        return true;
      }
    }
    // A client that does not keep up is let go rather than buffered without end.
    close(1008, "send queue full");
    return false;
  }

  void close(std::uint16_t status, const std::string& reason) override {
    {
      std::lock_guard lock(queue_mutex_);
      open_ = false;
      if (closing_) return;
      closing_ = true;
      queue_.clear();
      close_status_ = status;
      close_reason_ = reason;
    }
    net::post(ws_.get_executor(), [self = shared_from_this()] { self->start_close(); });
  }

  void begin_stop() override { close(1000, ""); }
  void force_stop() override {
    net::post(ws_.get_executor(), [self = shared_from_this()] { self->close_socket(); });
  }

 private:
  void on_accept(beast::error_code ec) {
    if (ec) return;  // no subscription was made; dropping the session closes the socket
    accepted_ = true;
    bool closing = false;
    {
      std::lock_guard lock(queue_mutex_);
      closing = closing_;
      if (!closing) open_ = true;
    }
    if (closing) {
      start_close();  // closed during the handshake: the handler never sees it
      return;
    }
    transport_->run_on(HttpTransport::Pool::quick, [self = shared_from_this()] {
      try {
        self->on_end_ = self->open_handler_(*self, self->captures_);
      } catch (const std::exception&) {
        self->close(1011, "");
      }
      // Shutdown may have swept past this connection before it was open.
      if (self->transport_->stopping) self->close(1000, "");
      net::post(self->ws_.get_executor(), [self] { self->read(); });
    });
  }

  // On the connection's executor.
  void write_next() {
    std::shared_ptr<const std::string> next;
    {
      std::lock_guard lock(queue_mutex_);
      if (queue_.empty() || closing_) {
        writing_ = false;
        return;
      }
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    write_in_flight_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(*next), [self = shared_from_this(), next](beast::error_code ec, std::size_t) {
      self->write_in_flight_ = false;
      if (ec) {
        self->close_socket();
        return;
      }
      if (self->pending_close_) {
        auto [status, reason] = *self->pending_close_;
        self->pending_close_.reset();
        self->send_close(status, reason);
      }
      self->write_next();
    });
  }

  // On the connection's executor. The close frame follows the frame being written, if any; the
  // deadline counts from now, so a peer that stopped reading is dropped all the same.
  void start_close() {
    if (!accepted_ || close_started_ || !ws_.is_open()) return;
    std::uint16_t status = 1000;
    std::string reason;
    {
      std::lock_guard lock(queue_mutex_);
      status = close_status_;
      reason = close_reason_;
    }
    close_started_ = true;
    close_timer_.expires_after(transport_->options.close_timeout);
    close_timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->close_socket();
    });
    if (write_in_flight_) {
      pending_close_.emplace(status, reason);
    } else {
      send_close(status, reason);
    }
  }

  void send_close(std::uint16_t status, const std::string& reason) {
    ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(status), reason),
                    [self = shared_from_this()](beast::error_code ec) {
                      self->close_timer_.cancel();
                      if (ec) self->close_socket();
                    });
  }

  void read() {
    buffer_.clear();
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->ended();
        return;
      }
      self->read();  // what clients send is read and dropped
    });
  }

  void ended() {
    {
      std::lock_guard lock(queue_mutex_);
      open_ = false;
      closing_ = true;
      queue_.clear();
    }
    transport_->run_on(HttpTransport::Pool::quick, [self = shared_from_this()] {
      if (self->on_end_) {
        auto on_end = std::move(self->on_end_);
        self->on_end_ = nullptr;
        on_end();
      }
      net::post(self->ws_.get_executor(), [self] { self->close_socket(); });
    });
  }

  void close_socket() {
    close_timer_.cancel();
    beast::error_code ignored;
    auto& socket = beast::get_lowest_layer(ws_).socket();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }

  Impl* const transport_;
  const std::uint64_t id_;
  websocket::stream<ServerHeaderFilter> ws_;
  net::steady_timer close_timer_;
  http::request<http::string_body> request_;
  const WebSocketOpen& open_handler_;
  std::vector<std::string> captures_;
  beast::flat_buffer buffer_;
  std::function<void()> on_end_;  // set and run on workers, one after the other
  std::atomic<bool> open_{false};

  std::mutex queue_mutex_;  // taken by publishers: held only to queue or take a message
  std::deque<std::shared_ptr<const std::string>> queue_;
  bool writing_ = false;
  bool closing_ = false;
  std::uint16_t close_status_ = 1000;
  std::string close_reason_;

  // On the connection's executor only.
  bool accepted_ = false;
  bool close_started_ = false;
  bool write_in_flight_ = false;
  std::optional<std::pair<std::uint16_t, std::string>> pending_close_;
};

// ---------------------------------------------------------------------------------------------

class HttpSession : public Session, public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(Impl* transport, tcp::socket&& socket)
      : transport_(transport), id_(transport_->next_session_id.fetch_add(1)), stream_(std::move(socket)) {}
  ~HttpSession() override { transport_->remove_session(id_); }

  void run() {
    transport_->add_session(id_, shared_from_this());
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
    if (stop_requested_ || transport_->stopping) {
      close();
      return;
    }
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(transport_->options.payload_max_length);
    // One deadline for the whole request, so a client cannot hold the connection by trickling.
    request_deadline_ = std::chrono::steady_clock::now() + transport_->options.request_timeout;
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
      const std::string path = decode_path(path_of(request.target()));
      if (const WebSocketOpen* open = transport_->websocket_route(path, captures)) {
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
      refuse(http::status::bad_request);
      return;
    }
    if (request[http::field::sec_websocket_version] != "13") {
      refuse(http::status::upgrade_required, {{"Sec-WebSocket-Version", "13"}});
      return;
    }
    stream_.expires_never();
    auto session = std::make_shared<WebSocketSession>(transport_, std::move(stream_), parser_->release(), open,
                                                      std::move(captures));
    session->run();
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
      refuse(http::status::payload_too_large);
    } else if (ec == http::error::header_limit) {
      refuse(http::status::request_header_fields_too_large);
    } else if (ec.category() == beast::http::make_error_code(http::error::bad_target).category() &&
               ec != http::error::end_of_stream && ec != http::error::partial_message) {
      refuse(http::status::bad_request);
    } else {
      close();  // the peer went away or ran out of time
    }
  }

  void dispatch() {
    auto& message = parser_->get();
    const std::optional<HttpMethod> method = method_of(message.method());
    auto request = std::make_shared<HttpRequest>();
    request->method = method.value_or(HttpMethod::get);
    request->path = decode_path(path_of(message.target()));
    request->body = std::move(message.body());
    const bool keep_alive = message.keep_alive();
    const unsigned version = message.version();
    const Impl::Route* route = method ? transport_->find_route(*request) : nullptr;
    if (route == nullptr) {
      auto response = std::make_shared<HttpResponse>();
      response->status = 404;
      answer(response, false, keep_alive, version);
      return;
    }
    handling_ = true;
    const bool head = request->method == HttpMethod::head;
    transport_->run_on(route->pool, [self = shared_from_this(), route, request, head, keep_alive, version] {
      auto response = std::make_shared<HttpResponse>();
      try {
        route->handler(*request, *response);
      } catch (...) {
        // A failure the route does not map is answered here, without a body.
        *response = HttpResponse{};
        response->status = 500;
      }
      net::post(self->stream_.get_executor(), [self, response, head, keep_alive, version] {
        self->handling_ = false;
        self->answer(response, head, keep_alive, version);
      });
    });
  }

  // On the connection's executor.
  void answer(const std::shared_ptr<HttpResponse>& answer, bool head, bool keep_alive, unsigned version) {
    auto response = std::make_shared<Response>(static_cast<http::status>(answer->status), version);
    add_headers(*response, transport_->default_headers);
    if (!answer->content_type.empty()) response->set(http::field::content_type, answer->content_type);
    ++served_;
    response->keep_alive(keep_alive && served_ < kKeepAliveMax && !stop_requested_ && !transport_->stopping);
    if (head) {
      // The length of the body that GET would send, and no body.
      if (answer->status != 204 && answer->status != 304) response->content_length(answer->body.size());
    } else {
      response->body() = std::move(answer->body);
      response->prepare_payload();
    }
    writing_ = true;
    stream_.expires_after(transport_->options.write_timeout);
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
  void refuse(http::status status, const HttpTransport::Headers& extra = {}) {
    auto response = std::make_shared<Response>(status, 11);
    add_headers(*response, transport_->default_headers);
    add_headers(*response, extra);
    response->keep_alive(false);
    response->prepare_payload();
    writing_ = true;
    stream_.expires_after(transport_->options.write_timeout);
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
    drain_buffer_.resize(16384);
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

  Impl* const transport_;
  const std::uint64_t id_;
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

// ---------------------------------------------------------------------------------------------

void HttpTransport::Impl::accept() {
  acceptor.async_accept(net::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
    if (ec) {
      if (!acceptor.is_open() || stopping) return;
      // Out of descriptors and the like: the pending connection stays queued and would fail
      // again at once, so pause before the next try instead of spinning.
      accept_timer.expires_after(options.accept_backoff);
      accept_timer.async_wait([this](beast::error_code timer_ec) {
        if (!timer_ec && !stopping) accept();
      });
      return;
    }
    if (stopping) return;  // the socket closes here
    std::make_shared<HttpSession>(this, std::move(socket))->run();
    accept();
  });
}

void HttpTransport::Impl::on_stop_requested() {
  beast::error_code ignored;
  acceptor.close(ignored);
  accept_timer.cancel();
  for (const auto& session : live_sessions()) session->begin_stop();
  grace_timer = std::make_unique<net::steady_timer>(io, options.close_timeout);
  grace_timer->async_wait([this](beast::error_code ec) {
    if (ec) return;
    for (const auto& session : live_sessions()) session->force_stop();
  });
  std::lock_guard lock(sessions_mutex);
  if (sessions.empty()) io.stop();
}

std::vector<std::shared_ptr<Session>> HttpTransport::Impl::live_sessions() {
  std::vector<std::shared_ptr<Session>> live;
  std::lock_guard lock(sessions_mutex);
  for (const auto& [id, weak] : sessions) {
    if (auto session = weak.lock()) live.push_back(std::move(session));
  }
  return live;
}

void HttpTransport::Impl::add_session(std::uint64_t id, std::weak_ptr<Session> session) {
  std::lock_guard lock(sessions_mutex);
  sessions.emplace(id, std::move(session));
}

void HttpTransport::Impl::remove_session(std::uint64_t id) {
  std::lock_guard lock(sessions_mutex);
  sessions.erase(id);
  if (sessions.empty() && stopping) io.stop();
}

const WebSocketOpen* HttpTransport::Impl::websocket_route(const std::string& path,
                                                          std::vector<std::string>& captures) const {
  for (const auto& route : websocket_routes) {
    std::smatch match;
    if (std::regex_match(path, match, route.pattern)) {
      captures.assign(match.begin(), match.end());
      return &route.open;
    }
  }
  return nullptr;
}

const HttpTransport::Impl::Route* HttpTransport::Impl::find_route(HttpRequest& request) const {
  const HttpMethod wanted = request.method == HttpMethod::head ? HttpMethod::get : request.method;
  for (const auto& route : routes) {
    if (route.method != wanted) continue;
    std::smatch match;
    if (!std::regex_match(request.path, match, route.pattern)) continue;
    request.captures.assign(match.begin(), match.end());
    return &route;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------

HttpTransport::HttpTransport(HttpTransportOptions options) : impl_(std::make_unique<Impl>(options)) {}

HttpTransport::~HttpTransport() = default;

void HttpTransport::set_default_headers(Headers headers) { impl_->default_headers = std::move(headers); }

void HttpTransport::add_route(HttpMethod method, const std::string& pattern, RouteHandler handler, Pool pool) {
  impl_->routes.push_back(Impl::Route{method, std::regex(pattern), std::move(handler), pool});
}

void HttpTransport::add_websocket(const std::string& pattern, WebSocketOpen open) {
  impl_->websocket_routes.push_back(Impl::WebSocketRoute{std::regex(pattern), std::move(open)});
}

bool HttpTransport::bind(const std::string& host, std::uint16_t port, std::string& error) {
  beast::error_code ec;
  tcp::resolver resolver(impl_->io);
  const auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  for (const auto& entry : endpoints) {
    tcp::acceptor acceptor(impl_->io);
    if (acceptor.open(entry.endpoint().protocol(), ec)) continue;
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (acceptor.bind(entry.endpoint(), ec)) continue;
    if (acceptor.listen(net::socket_base::max_listen_connections, ec)) continue;
    impl_->acceptor = std::move(acceptor);
    impl_->stopping = false;
    return true;
  }
  error = ec ? ec.message() : "no address";
  return false;
}

std::uint16_t HttpTransport::local_port() const {
  beast::error_code ec;
  const auto endpoint = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void HttpTransport::run() {
  set_thread_name("http-accept");
  impl_->quick_workers = std::make_unique<WorkerPool>(impl_->options.quick_workers, "http-");
  impl_->blocking_workers = std::make_unique<WorkerPool>(impl_->options.blocking_workers, "http-task-");
  auto guard = net::make_work_guard(impl_->io);
  impl_->io.restart();
  net::post(impl_->io, [impl = impl_.get()] { impl->accept(); });
  impl_->io.run();
  // Every connection has ended, so nothing more can be queued for the workers.
  impl_->quick_workers->shutdown();
  impl_->blocking_workers->shutdown();
  impl_->grace_timer.reset();
}

void HttpTransport::stop() {
  if (impl_->stopping.exchange(true)) return;
  net::post(impl_->io, [impl = impl_.get()] { impl->on_stop_requested(); });
}

}  // namespace velmo::ai
