#pragma once

#include <functional>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/websocket_connection.h"

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
  // Why the request is refused, logged by the transport; empty: no refusal to log, whatever the
  // status (a health document that says "degraded" is an answer, not a refusal).
  std::string refusal;
};

// A handler that throws is answered 500 without a body, and the failure logged.
using RouteHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

// Runs on a worker once the upgrade is done; the function it returns runs on a worker when the
// connection has ended, after which the connection is never touched by the transport's users.
using WebSocketOpen =
    std::function<std::function<void()>(WebSocketConnection&, const std::vector<std::string>& captures)>;

// The path a request is routed by: the target without its query, percent escapes decoded; a
// malformed escape stays as written.
std::string route_path(std::string_view target);

// What a server answers: the headers added to every response and the routes, each matched
// against the whole routed path, first registered first. Built before the server and handed to
// it whole; the server never changes it, so its connections hold on to routes while they run.
// Building is for one thread; the lookups are const and may run on any number of threads at once.
class HttpRoutes {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;
  // Where a handler runs. quick: on the quick workers. blocking: handlers that may wait run on
  // workers of their own, so they never hold up the quick ones. io: inline on the connection's I/O
  // thread, the answer written right after, with no hand-off to a worker and back. While it runs
  // no other connection reads or writes, so an io handler must never wait longer than for a lock
  // held for a moment: no file, no network, no lock that anyone holds across such work.
  enum class Pool { quick, blocking, io };

  struct Route {
    HttpMethod method;
    std::regex pattern;
    RouteHandler handler;
    Pool pool;
  };

  void set_default_headers(Headers headers) { default_headers_ = std::move(headers); }
  // A GET route also answers HEAD. A pattern that is not a regular expression throws
  // std::regex_error.
  void add_route(HttpMethod method, const std::string& pattern, RouteHandler handler, Pool pool = Pool::quick);
  void add_websocket(const std::string& pattern, WebSocketOpen open);

  const Headers& default_headers() const { return default_headers_; }
  // The route for request's method (GET's for HEAD) and path, with request.captures filled in;
  // null, captures untouched, when none matches.
  const Route* find(HttpRequest& request) const;
  // The WebSocket route for path, with captures filled in; null when none matches.
  const WebSocketOpen* find_websocket(const std::string& path, std::vector<std::string>& captures) const;

 private:
  struct WebSocketRoute {
    std::regex pattern;
    WebSocketOpen open;
  };

  Headers default_headers_;
  std::vector<Route> routes_;
  std::vector<WebSocketRoute> websocket_routes_;
};

}  // namespace velmo::ai
