#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmo::ai::test {

// One request as the receiver read it.
struct ReceivedRequest {
  std::string method;
  std::string target;
  std::string version;                                       // "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
  std::string body;
  std::int64_t received_ms = 0;  // steady_millis() when the whole request had arrived
  std::size_t connection = 0;    // counts accepted connections from 1

  // The first value of a header, matched without regard to case; empty when absent.
  std::string header(std::string_view name) const;
  bool has_header(std::string_view name) const;
};

// How the receiver answers one request.
struct Reply {
  int status = 204;
  std::string body;
  std::string content_type = "application/json";  // sent only with a non-empty body
  std::chrono::milliseconds delay{0};             // waits this long before answering
  bool hold = false;                              // waits until release() (or the receiver stops) before answering
  bool hang_up = false;                           // closes the connection instead of answering
  // When set: sends the status line and header, then a body that never ends, one byte each time
  // this passes, until the client goes or the receiver stops.
  std::chrono::milliseconds trickle{0};
  // When not empty: sent byte for byte as the whole answer (interim answers, odd status lines),
  // then the connection is closed.
  std::string raw;
};

// A real HTTP/1.1 server on 127.0.0.1 with a port of its own, for tests of HTTP clients (event
// callbacks and the like). It records every request and answers as told; connections are served
// concurrently, so a delayed or held answer never holds up other clients.
class HttpReceiver {
 public:
  using Responder = std::function<Reply(const ReceivedRequest& request, std::size_t index)>;

  // Listens at once, on `port` when given (a receiver that comes back where an earlier one was).
  explicit HttpReceiver(int port = 0);
  ~HttpReceiver();
  HttpReceiver(const HttpReceiver&) = delete;
  HttpReceiver& operator=(const HttpReceiver&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by path.
  std::string url(const std::string& path = "") const;

  // Every request gets this reply (the default is 204 with no body).
  void reply_with(Reply reply);
  // The n-th request (from 0) gets the n-th reply; requests beyond the list get its last one.
  void reply_in_turn(std::vector<Reply> replies);
  // Decides each reply; index counts requests from 0. Runs on the receiver's thread.
  void reply_by(Responder responder);

  // Answers every request held so far (Reply::hold).
  void release();
  // Closes the listener and every connection; later clients are refused. Also done by the destructor.
  void stop();

  std::vector<ReceivedRequest> requests() const;
  std::size_t request_count() const;
  // Waits until at least `count` requests have arrived; false on timeout.
  bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;
  // Number of requests that are being held.
  std::size_t held_count() const;

 private:
  struct Impl;
  // Records the request and asks the responder for its answer.
  Reply next_reply(const ReceivedRequest& request);

  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<ReceivedRequest> requests_;
  Responder responder_;
};

}  // namespace velmo::ai::test
