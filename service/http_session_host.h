#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "service/http_routes.h"
#include "service/http_transport.h"
#include "service/request_log.h"

namespace velmo::ai {

// One accepted connection as the server sees it at shutdown. Both calls come from the accept
// thread and only post work to the connection's strand.
class Session {
 public:
  virtual ~Session() = default;
  // Server shutdown: end what is idle, finish what is under way.
  virtual void begin_stop() = 0;
  // The close time-out has passed: drop the connection unless a handler is still answering.
  virtual void force_stop() = 0;
};

// What a connection needs of the server that accepted it. The host outlives every session it
// registered; every member may be called from any thread.
class SessionHost {
 public:
  virtual const HttpTransportOptions& options() const = 0;
  // Never changes while the server lives.
  virtual const HttpRoutes& routes() const = 0;
  // True once the server was asked to stop.
  virtual bool stopping() const = 0;
  // Queues the job on a worker of that pool, quick or blocking (io handlers run in the session
  // itself, never through here); never runs it in the caller.
  virtual void run_on(HttpRoutes::Pool pool, std::function<void()> job) = 0;
  // A live session is registered once, before its first I/O, and removed with the id it was
  // given when it is destroyed; the server ends once it is stopping and none is left.
  virtual std::uint64_t add_session(std::weak_ptr<Session> session) = 0;
  virtual void remove_session(std::uint64_t id) = 0;
  // Where every session reports its refused and failed requests, under one rate cap.
  virtual RequestLog& request_log() = 0;

 protected:
  ~SessionHost() = default;
};

template <typename Message>
void add_headers(Message& message, const HttpRoutes::Headers& headers) {
  for (const auto& [name, value] : headers) message.set(name, value);
}

}  // namespace velmo::ai
