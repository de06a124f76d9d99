#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "service/http_routes.h"

namespace velmo::ai {

// The largest request body, and WebSocket message, the API takes: 1 MiB of JSON.
inline constexpr std::size_t kRequestBodyLimit = std::size_t{1} << 20;

struct HttpTransportOptions {
  std::size_t payload_max_length = kRequestBodyLimit;
  // Header and body of one request, idle time before it included.
  std::chrono::milliseconds request_timeout{10000};
  std::chrono::milliseconds write_timeout{5000};
  // Messages per WebSocket connection that its client's system has not acknowledged yet (the
  // queued ones, and those written into the socket); one more closes it with 1008.
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
// never hold up the quick ones. Only handlers marked io, which never wait but for a lock held for
// a moment, run on the I/O thread itself and hold up socket I/O just that long: for them, a hand-off
// to a worker and back costs more than the work.
class HttpTransport {
 public:
  // Serves `routes` as they are now; they cannot change afterwards.
  explicit HttpTransport(HttpRoutes routes, HttpTransportOptions options = {});
  // stop() and run() must have returned.
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // Resolves the host, binds, listens and starts the worker threads; false with `error` filled
  // when no address would bind. Throws ServiceUnavailable, with nothing started, when the system
  // refuses a thread.
  bool bind(const std::string& host, std::uint16_t port, std::string& error);
  std::uint16_t local_port() const;
  // Serves until stop() has ended every connection and every handler has returned.
  void run();
  // Stops accepting, sends WebSocket clients a close frame with 1000 and ends idle connections;
  // what is still running is dropped once the close time-out passes. Returns at once; may be
  // called from any thread.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmo::ai
