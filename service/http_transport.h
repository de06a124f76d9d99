#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velmo::ai {

enum class HttpMethod { get, head, post, put, delete_, options };

struct HttpRequest {
  HttpMethod method = HttpMethod::get;
  std::string path;                   // percent escapes decoded, no query
  std::vector<std::string> captures;  // [0] the whole path, then the groups of the route
  std::string body;
};

struct HttpResponse {
  unsigned status = 200;
  std::string body;
  std::string content_type;  // empty: no Content-Type header
};

// A handler that throws is answered 500 without a body.
using RouteHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

// One open WebSocket connection as its users see it. Every member may be called from any thread
// and none waits on the peer.
class WebSocketConnection {
 public:
  virtual ~WebSocketConnection() = default;
  virtual bool is_open() const = 0;
  // Queues one message, sent later as one final text frame. False when it was not queued: the
  // connection is closing, or its send queue was full, in which case the connection is closed
  // with 1008.
  virtual bool send_text(const std::string& text) = 0;
  // Starts the closing handshake; queued messages are dropped, and a peer that does not answer
  // within the close time-out is disconnected. Later calls do nothing.
  virtual void close(std::uint16_t status, const std::string& reason) = 0;
};

// Runs on a worker once the upgrade is done; the function it returns runs on a worker when the
// connection has ended, after which the connection is never touched by the transport's users.
using WebSocketOpen =
    std::function<std::function<void()>(WebSocketConnection&, const std::vector<std::string>& captures)>;

struct HttpTransportOptions {
  std::size_t payload_max_length = 1048576;
  // Header and body of one request, idle time before it included.
  std::chrono::milliseconds request_timeout{10000};
  std::chrono::milliseconds write_timeout{5000};
  // Messages waiting per WebSocket connection; one more closes it with 1008.
  std::size_t websocket_queue_limit = 32;
  // How long a close frame (and, at stop, a request still being answered or sent) may take
  // before the connection is dropped.
  std::chrono::milliseconds close_timeout{2000};
  // Pause before accepting again after the accept itself failed (out of descriptors).
  std::chrono::milliseconds accept_backoff{100};
  std::size_t quick_workers = 4;
  std::size_t blocking_workers = 8;
};

// The HTTP/1.1 and WebSocket server: the accept loop and all socket I/O on the thread that calls
// run(), request handlers on two worker pools, so that handlers which may wait (marked blocking)
// never hold up the quick ones, and no handler ever holds up socket I/O.
class HttpTransport {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;
  enum class Pool { quick, blocking };

  explicit HttpTransport(HttpTransportOptions options = {});
  // stop() and run() must have returned.
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // Configuration, before bind(): headers added to every response, routes matched against the
  // whole decoded path in registration order. A GET route also answers HEAD, without the body.
  void set_default_headers(Headers headers);
  void add_route(HttpMethod method, const std::string& pattern, RouteHandler handler, Pool pool = Pool::quick);
  void add_websocket(const std::string& pattern, WebSocketOpen open);

  // Resolves the host, binds and listens; false with `error` filled when no address would bind.
  bool bind(const std::string& host, std::uint16_t port, std::string& error);
  std::uint16_t local_port() const;
  // Serves until stop() has ended every connection and every handler has returned.
  void run();
  // Stops accepting, sends WebSocket clients a close frame with 1000 and ends idle connections;
  // what is still running is dropped once the close time-out passes. Returns at once.
  void stop();

  struct Impl;  // defined in the source file only

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmo::ai
