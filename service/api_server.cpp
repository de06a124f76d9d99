#include "service/api_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "analysis/task.h"
#include "foundation/log.h"

namespace velmo::ai {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

namespace {

// Per read of a request (and the idle time between keep-alive requests) and per response write.
constexpr auto kReadTimeout = 5s;
constexpr auto kWriteTimeout = 5s;
// Opening and closing WebSocket handshakes, and one detections frame to a client that does not read.
constexpr auto kHandshakeTimeout = 5s;
constexpr auto kSendTimeout = 5s;
// How long stop() lets clients answer the close frame before their sockets are closed.
constexpr auto kCloseGrace = 1s;
// How long a refused request's unread body is drained, so the refusal reaches the client.
constexpr auto kDrainTimeout = 2s;
constexpr unsigned kKeepAliveMax = 100;
constexpr std::size_t kHeaderLimit = 8192;

std::size_t worker_count() {
  const unsigned threads = std::thread::hardware_concurrency();
  return std::max<std::size_t>(8, threads > 0 ? threads - 1 : 0);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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

}  // namespace

// ---------------------------------------------------------------------------------------------
// The HTTP and WebSocket transport: an accept loop and all socket I/O on the server thread,
// request handlers on a pool of worker threads, so a slow handler never stalls other clients'
// I/O and a WebSocket connection holds no thread while it waits.

struct ApiRequest {
  http::verb method = http::verb::unknown;
  std::string path;                   // percent escapes decoded, no query
  std::vector<std::string> captures;  // [0] the whole path, then the groups of the route
  std::string body;
};

struct ApiResponse {
  unsigned status = 200;
  std::string body;
  std::string content_type;  // empty: no Content-Type header
};

using RouteHandler = std::function<void(const ApiRequest&, ApiResponse&)>;

class WebSocketSession;
// Runs on a worker once the upgrade is done; what it returns runs on a worker when the
// connection has ended.
using WebSocketOpen = std::function<std::function<void()>(WebSocketSession&, const std::vector<std::string>&)>;

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { run(); });
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
  // Grace over: close the socket unless a handler is still answering.
  virtual void force_stop() = 0;
};

class HttpTransport {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  HttpTransport() = default;
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  void set_payload_max_length(std::size_t limit) { payload_limit_ = limit; }
  void set_default_headers(Headers headers) { default_headers_ = std::move(headers); }
  void add_route(http::verb method, const std::string& pattern, RouteHandler handler) {
    routes_.push_back(Route{method, std::regex(pattern), std::move(handler)});
  }
  void add_websocket(const std::string& pattern, WebSocketOpen open) {
    websocket_routes_.push_back(WebSocketRoute{std::regex(pattern), std::move(open)});
  }

  // Resolves the host, binds and listens; false with `error` filled when no address would bind.
  bool bind_to_port(const std::string& host, std::uint16_t port, std::string& error);
  // The accept loop and all socket I/O, until stop() has ended every connection.
  void listen_after_bind();
  // Asks listen_after_bind to end; returns at once.
  void stop();

  // Used by the sessions.
  net::io_context& io() { return io_; }
  std::size_t payload_limit() const { return payload_limit_; }
  const Headers& default_headers() const { return default_headers_; }
  bool stopping() const { return stopping_.load(); }
  void run_on_worker(std::function<void()> job) { workers_->submit(std::move(job)); }
  const WebSocketOpen* websocket_route(const std::string& path, std::vector<std::string>& captures) const;
  void handle(ApiRequest& request, ApiResponse& response) const;
  void add_session(std::uint64_t id, std::weak_ptr<Session> session);
  void remove_session(std::uint64_t id);
  std::uint64_t next_session_id() { return next_session_id_.fetch_add(1); }

 private:
  struct Route {
    http::verb method;
    std::regex pattern;
    RouteHandler handler;
  };
  struct WebSocketRoute {
    std::regex pattern;
    WebSocketOpen open;
  };

  void accept();
  void on_stop_requested();
  std::vector<std::shared_ptr<Session>> live_sessions();

  std::size_t payload_limit_ = 8 * 1024 * 1024;
  Headers default_headers_;
  std::vector<Route> routes_;
  std::vector<WebSocketRoute> websocket_routes_;

  net::io_context io_{1};
  tcp::acceptor acceptor_{io_};
  std::unique_ptr<net::steady_timer> grace_timer_;
  std::unique_ptr<WorkerPool> workers_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> next_session_id_{1};

  std::mutex sessions_mutex_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Session>> sessions_;
};

// Adds the server's fixed headers to a response of any kind.
template <typename Message>
void add_default_headers(Message& message, const HttpTransport::Headers& headers) {
  for (const auto& [name, value] : headers) message.set(name, value);
}

// ---------------------------------------------------------------------------------------------

class WebSocketSession : public Session,
                         public WebSocketConnection,
                         public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(HttpTransport& transport, beast::tcp_stream&& stream, http::request<http::string_body> request,
                   const WebSocketOpen& open, std::vector<std::string> captures)
      : transport_(transport),
        id_(transport.next_session_id()),
        ws_(std::move(stream)),
        request_(std::move(request)),
        open_handler_(open),
        captures_(std::move(captures)) {}

  ~WebSocketSession() override { transport_.remove_session(id_); }

  void run() {
    transport_.add_session(id_, shared_from_this());
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTimeout;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator([headers = transport_.default_headers()](websocket::response_type& res) {
      res.erase(http::field::server);
      add_default_headers(res, headers);
    }));
    ws_.read_message_max(transport_.payload_limit());
    ws_.async_accept(request_, [self = shared_from_this()](beast::error_code ec) { self->on_accept(ec); });
  }

  bool is_open() const override { return open_.load(); }

  bool send_text(const std::string& text) override {
    std::lock_guard write_lock(write_mutex_);
    if (!open_.load()) return false;
    auto state = std::make_shared<SendState>();
    auto payload = std::make_shared<std::string>(text);
    net::post(ws_.get_executor(), [self = shared_from_this(), payload, state] {
      if (!self->open_.load() || self->close_started_ || !self->ws_.is_open()) {
        state->finish(false);
        return;
      }
      self->ws_.text(true);
      self->ws_.async_write(net::buffer(*payload), [self, payload, state](beast::error_code ec, std::size_t) {
        if (ec) self->fail();
        state->finish(!ec);
      });
    });
    std::unique_lock lock(state->mutex);
    if (!state->done_cv.wait_for(lock, kSendTimeout, [&] { return state->done; })) {
      // A client that stops reading is dropped rather than holding up every later message.
      lock.unlock();
      open_ = false;
      net::post(ws_.get_executor(), [self = shared_from_this()] { self->close_socket(); });
      return false;
    }
    return state->sent;
  }

  void close(std::uint16_t status, const std::string& reason) override {
    open_ = false;
    net::post(ws_.get_executor(), [self = shared_from_this(), status, reason] {
      // A connection that the peer is already closing is left to finish that handshake.
      if (self->close_started_ || !self->accepted_ || !self->ws_.is_open()) return;
      self->close_started_ = true;
      self->ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(status), reason), [self](beast::error_code ec) {
        if (ec) self->close_socket();
      });
    });
  }

  void begin_stop() override { close(1000, ""); }
  void force_stop() override { close_socket(); }

 private:
  struct SendState {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    bool sent = false;
    void finish(bool ok) {
      std::lock_guard lock(mutex);
      done = true;
      sent = ok;
      done_cv.notify_all();
    }
  };

  void on_accept(beast::error_code ec) {
    if (ec) return;  // no subscription was made; dropping the session closes the socket
    accepted_ = true;
    open_ = true;
    transport_.run_on_worker([self = shared_from_this()] {
      try {
        self->on_end_ = self->open_handler_(*self, self->captures_);
      } catch (const std::exception&) {
        self->close(1011, "");
      }
      // Shutdown may have swept past this connection before it subscribed.
      if (self->transport_.stopping()) self->close(1000, "");
      net::post(self->ws_.get_executor(), [self] { self->read(); });
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
    open_ = false;
    transport_.run_on_worker([self = shared_from_this()] {
      if (self->on_end_) {
        auto on_end = std::move(self->on_end_);
        self->on_end_ = nullptr;
        on_end();
      }
      net::post(self->ws_.get_executor(), [self] { self->close_socket(); });
    });
  }

  void fail() {
    open_ = false;
    close_socket();
  }

  void close_socket() {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close();
  }

  HttpTransport& transport_;
  const std::uint64_t id_;
  websocket::stream<beast::tcp_stream> ws_;
  http::request<http::string_body> request_;
  const WebSocketOpen& open_handler_;
  std::vector<std::string> captures_;
  beast::flat_buffer buffer_;
  std::function<void()> on_end_;  // set and run on workers, one after the other
  std::atomic<bool> open_{false};
  bool accepted_ = false;       // on the connection's executor only
  bool close_started_ = false;  // on the connection's executor only
  std::mutex write_mutex_;      // the connection's own write lock
};

// ---------------------------------------------------------------------------------------------

class HttpSession : public Session, public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(HttpTransport& transport, tcp::socket&& socket)
      : transport_(transport), id_(transport.next_session_id()), stream_(std::move(socket)) {}
  ~HttpSession() override { transport_.remove_session(id_); }

  void run() {
    transport_.add_session(id_, shared_from_this());
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->read_header(); });
  }

  void begin_stop() override {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      self->stop_requested_ = true;
      if (!self->busy_) self->close();
    });
  }
  void force_stop() override { begin_stop(); }

 private:
  using Response = http::response<http::string_body>;

  void read_header() {
    if (stop_requested_ || transport_.stopping()) {
      close();
      return;
    }
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(transport_.payload_limit());
    stream_.expires_after(kReadTimeout);
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
      if (const WebSocketOpen* open = transport_.websocket_route(path, captures)) {
        if (!parser_->is_done()) {
          refuse(http::status::bad_request);
          return;
        }
        stream_.expires_never();
        auto session = std::make_shared<WebSocketSession>(transport_, std::move(stream_), parser_->release(), *open,
                                                          std::move(captures));
        session->run();
        return;
      }
    }
    if (parser_->is_done()) {
      dispatch();
      return;
    }
    if (beast::iequals(request[http::field::expect], "100-continue")) {
      auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, request.version());
      stream_.expires_after(kWriteTimeout);
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

  // The body is read piece by piece, each piece under the read time-out, so a large body from a
  // slow but live client is not cut off.
  void read_body() {
    stream_.expires_after(kReadTimeout);
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
      close();  // the peer went away or stayed silent
    }
  }

  static std::string_view path_of(std::string_view target) {
    const auto query = target.find('?');
    return query == std::string_view::npos ? target : target.substr(0, query);
  }

  void dispatch() {
    busy_ = true;
    auto request = std::make_shared<ApiRequest>();
    auto& message = parser_->get();
    request->method = message.method();
    request->path = decode_path(path_of(message.target()));
    request->body = std::move(message.body());
    const bool keep_alive = message.keep_alive();
    const unsigned version = message.version();
    transport_.run_on_worker([self = shared_from_this(), request, keep_alive, version] {
      ApiResponse answer;
      self->transport_.handle(*request, answer);
      auto response = std::make_shared<Response>(static_cast<http::status>(answer.status), version);
      add_default_headers(*response, self->transport_.default_headers());
      if (!answer.content_type.empty()) response->set(http::field::content_type, answer.content_type);
      response->body() = std::move(answer.body);
      net::post(self->stream_.get_executor(), [self, response, keep_alive] {
        ++self->served_;
        response->keep_alive(keep_alive && self->served_ < kKeepAliveMax && !self->stop_requested_ &&
                             !self->transport_.stopping());
        response->prepare_payload();
        self->write(response);
      });
    });
  }

  void write(const std::shared_ptr<Response>& response) {
    stream_.expires_after(kWriteTimeout);
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
      self->busy_ = false;
      if (ec) {
        self->close();
      } else if (!response->keep_alive()) {
        self->close();
      } else {
        self->read_header();
      }
    });
  }

  // Answers a request that cannot be served and ends the connection; what the client is still
  // sending is drained for a moment so that the answer is not lost in a connection reset.
  void refuse(http::status status) {
    busy_ = true;
    auto response = std::make_shared<Response>(status, 11);
    add_default_headers(*response, transport_.default_headers());
    response->keep_alive(false);
    response->prepare_payload();
    stream_.expires_after(kWriteTimeout);
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
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

  HttpTransport& transport_;
  const std::uint64_t id_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::vector<char> drain_buffer_;
  unsigned served_ = 0;
  // On the connection's executor only.
  bool busy_ = false;
  bool stop_requested_ = false;
};

// ---------------------------------------------------------------------------------------------

bool HttpTransport::bind_to_port(const std::string& host, std::uint16_t port, std::string& error) {
  beast::error_code ec;
  tcp::resolver resolver(io_);
  const auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  for (const auto& entry : endpoints) {
    tcp::acceptor acceptor(io_);
    if (acceptor.open(entry.endpoint().protocol(), ec)) continue;
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (acceptor.bind(entry.endpoint(), ec)) continue;
    if (acceptor.listen(net::socket_base::max_listen_connections, ec)) continue;
    acceptor_ = std::move(acceptor);
    stopping_ = false;
    return true;
  }
  error = ec ? ec.message() : "no address";
  return false;
}

void HttpTransport::listen_after_bind() {
  workers_ = std::make_unique<WorkerPool>(worker_count());
  auto guard = net::make_work_guard(io_);
  io_.restart();
  net::post(io_, [this] { accept(); });
  io_.run();
  // Every connection has ended, so nothing more can be queued for the workers.
  workers_->shutdown();
  grace_timer_.reset();
}

void HttpTransport::accept() {
  acceptor_.async_accept(net::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
    if (ec) {
      if (!acceptor_.is_open() || stopping_) return;
      // Out of descriptors and the like: keep accepting once the condition has passed.
      accept();
      return;
    }
    if (stopping_) return;  // the socket closes here
    std::make_shared<HttpSession>(*this, std::move(socket))->run();
    accept();
  });
}

void HttpTransport::stop() {
  if (stopping_.exchange(true)) return;
  net::post(io_, [this] { on_stop_requested(); });
}

void HttpTransport::on_stop_requested() {
  beast::error_code ignored;
  acceptor_.close(ignored);
  for (const auto& session : live_sessions()) session->begin_stop();
  grace_timer_ = std::make_unique<net::steady_timer>(io_, kCloseGrace);
  grace_timer_->async_wait([this](beast::error_code ec) {
    if (ec) return;
    for (const auto& session : live_sessions()) session->force_stop();
  });
  std::lock_guard lock(sessions_mutex_);
  if (sessions_.empty()) io_.stop();
}

std::vector<std::shared_ptr<Session>> HttpTransport::live_sessions() {
  std::vector<std::shared_ptr<Session>> live;
  std::lock_guard lock(sessions_mutex_);
  for (const auto& [id, weak] : sessions_) {
    if (auto session = weak.lock()) live.push_back(std::move(session));
  }
  return live;
}

void HttpTransport::add_session(std::uint64_t id, std::weak_ptr<Session> session) {
  std::lock_guard lock(sessions_mutex_);
  sessions_.emplace(id, std::move(session));
}

void HttpTransport::remove_session(std::uint64_t id) {
  std::lock_guard lock(sessions_mutex_);
  sessions_.erase(id);
  if (sessions_.empty() && stopping_) io_.stop();
}

const WebSocketOpen* HttpTransport::websocket_route(const std::string& path, std::vector<std::string>& captures) const {
  for (const auto& route : websocket_routes_) {
    std::smatch match;
    if (std::regex_match(path, match, route.pattern)) {
      captures.assign(match.begin(), match.end());
      return &route.open;
    }
  }
  return nullptr;
}

void HttpTransport::handle(ApiRequest& request, ApiResponse& response) const {
  for (const auto& route : routes_) {
    if (route.method != request.method) continue;
    std::smatch match;
    if (!std::regex_match(request.path, match, route.pattern)) continue;
    request.captures.assign(match.begin(), match.end());
    try {
      route.handler(request, response);
    } catch (...) {
      // A failure the route does not map is answered here, without a body.
      response = ApiResponse{};
      response.status = 500;
    }
    return;
  }
  response = ApiResponse{};
  response.status = 404;
}

// ---------------------------------------------------------------------------------------------

namespace {

// The message is made valid UTF-8 first: a parser message may quote the offending bytes.
Json error_json(const std::string& code, const std::string& message) {
  const std::string quoted = Json(message).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return Json{{"error", {{"code", code}, {"message", parse_json(quoted).get<std::string>()}}}};
}

void set_json(ApiResponse& response, unsigned status, const Json& value) {
  response.status = status;
  response.body = dump_json(value);
  response.content_type = "application/json; charset=utf-8";
}

void answer_not_found(ApiResponse& response) { set_json(response, 404, error_json("not_found", "task not found")); }

// The mapping that POST and PUT share; called from inside a catch block.
void answer_task_failure(ApiResponse& response) {
  try {
    throw;
  } catch (const std::invalid_argument& e) {
    set_json(response, 400, error_json("invalid_request", e.what()));
  } catch (const std::length_error& e) {
    set_json(response, 409, error_json("task_conflict", e.what()));
  } catch (const std::runtime_error& e) {
    set_json(response, 503, error_json("service_unavailable", e.what()));
  } catch (const std::exception& e) {
    set_json(response, 500, error_json("internal_error", e.what()));
  }
}

void answer_model_unavailable(ApiResponse& response) {
  set_json(response, 503, error_json("model_unavailable", "a validated and warmed model package is required"));
}

}  // namespace

ApiServer::ApiServer(AppConfig config, TaskManager& tasks, DetectionHub& hub, InferenceScheduler& scheduler)
    : config_(std::move(config)),
      tasks_(tasks),
      hub_(hub),
      scheduler_(scheduler),
      server_(std::make_unique<HttpTransport>()) {
  register_routes();
}

ApiServer::~ApiServer() {
  stop();
  std::lock_guard lock(validation_mutex_);
  cached_validation_.reset();
}

void ApiServer::register_routes() {
  server_->set_payload_max_length(1048576);
  server_->set_default_headers({{"Access-Control-Allow-Origin", "*"},
                                {"Access-Control-Allow-Methods", "GET, POST, PUT, DELETE, OPTIONS"},
                                {"Access-Control-Allow-Headers", "Content-Type"},
                                {"Access-Control-Allow-Private-Network", "true"}});

  server_->add_route(http::verb::options, "/.*", [](const ApiRequest&, ApiResponse& res) { res.status = 204; });

  server_->add_route(http::verb::get, "/v1/health", [this](const ApiRequest&, ApiResponse& res) {
    const Json health = health_json();
    set_json(res, health.at("status") == "ok" ? 200 : 503, health);
  });
  server_->add_route(http::verb::get, "/v1/capabilities",
                     [this](const ApiRequest&, ApiResponse& res) { set_json(res, 200, capabilities_json()); });
  server_->add_route(http::verb::get, "/v1/metrics",
                     [this](const ApiRequest&, ApiResponse& res) { set_json(res, 200, metrics_json()); });

  server_->add_route(http::verb::get, "/v1/tasks", [this](const ApiRequest&, ApiResponse& res) {
    Json list = Json::array();
    for (const auto& snapshot : tasks_.list()) list.push_back(task_snapshot_json(snapshot));
    const auto count = static_cast<std::uint64_t>(list.size());
    set_json(res, 200, Json{{"count", count}, {"tasks", std::move(list)}});
  });

  server_->add_route(http::verb::get, "/v1/tasks/([^/]+)", [this](const ApiRequest& req, ApiResponse& res) {
    const auto snapshot = tasks_.get(req.captures.at(1));
    if (!snapshot) {
      answer_not_found(res);
      return;
    }
    set_json(res, 200, task_snapshot_json(*snapshot));
  });

  server_->add_route(http::verb::post, "/v1/tasks", [this](const ApiRequest& req, ApiResponse& res) {
    try {
      if (!model_ready()) {
        answer_model_unavailable(res);
        return;
      }
      const TaskConfig config = parse_task_config(parse_json(req.body));
      tasks_.create(config);
      const auto snapshot = tasks_.get(config.task_id);
      if (!snapshot) {
        answer_not_found(res);  // removed again before it could be read
        return;
      }
      set_json(res, 201, task_snapshot_json(*snapshot));
    } catch (const std::exception&) {
      answer_task_failure(res);
    }
  });

  server_->add_route(http::verb::put, "/v1/tasks/([^/]+)", [this](const ApiRequest& req, ApiResponse& res) {
    try {
      if (!model_ready()) {
        answer_model_unavailable(res);
        return;
      }
      const std::string& task_id = req.captures.at(1);
      const TaskConfig config = parse_task_config(parse_json(req.body));
      if (config.task_id != task_id) throw std::invalid_argument("task_id in path and body must match");
      tasks_.replace(task_id, config);
      const auto snapshot = tasks_.get(task_id);
      if (!snapshot) {
        answer_not_found(res);
        return;
      }
      set_json(res, 200, task_snapshot_json(*snapshot));
    } catch (const std::out_of_range& e) {
      set_json(res, 404, error_json("not_found", e.what()));
    } catch (const std::exception&) {
      answer_task_failure(res);
    }
  });

  server_->add_route(http::verb::delete_, "/v1/tasks/([^/]+)", [this](const ApiRequest& req, ApiResponse& res) {
    try {
      tasks_.remove(req.captures.at(1));
    } catch (const std::out_of_range& e) {
      set_json(res, 404, error_json("not_found", e.what()));
      return;
    }
    set_json(res, 200, Json{{"deleted", true}});
  });

  server_->add_websocket("/v1/streams/([^/]+)/detections",
                         [this](WebSocketSession& socket, const std::vector<std::string>& captures) {
                           const std::string& stream_id = captures.at(1);
                           const std::uint64_t id = hub_.subscribe(stream_id, socket);
                           std::function<void()> on_end = [this, id] { hub_.unsubscribe(id); };
                           std::string greeting;
                           try {
                             greeting = dump_json(Json{{"stream_id", stream_id}, {"type", "connected"}});
                           } catch (const std::exception&) {
                             // A stream id that is not valid UTF-8 cannot be named in JSON.
                             socket.close(1008, "stream id is not valid UTF-8");
                             return on_end;
                           }
                           try {
                             if (socket.is_open()) socket.send_text(greeting);
                           } catch (const std::exception&) {
                             socket.close(1011, "");
                           }
                           return on_end;
                         });
}

bool ApiServer::start() {
  if (running_.load()) return true;
  const std::string port = std::to_string(config_.server_port);
  std::string error;
  if (!server_->bind_to_port(config_.server_host, config_.server_port, error)) {
    log(LogLevel::error, "api: bind failed", {{"host", config_.server_host}, {"port", port}});
    return false;
  }
  running_ = true;
  server_thread_ = std::thread([this] { server_->listen_after_bind(); });
  log(LogLevel::info, "api: server listening", {{"host", config_.server_host}, {"port", port}});
  return true;
}

void ApiServer::stop() {
  if (!running_.exchange(false)) return;
  hub_.close_all();
  server_->stop();
  if (server_thread_.joinable()) server_thread_.join();
}

}  // namespace velmo::ai
