// The route table on its own: which handler a request reaches, with which captures.
#include "service/http_routes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::ai {
namespace {

TEST(HttpRoutes, RoutePathDropsTheQueryAndDecodesWhatIsWellFormed) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/v1/tasks?limit=1", "/v1/tasks"},
      {"/v1/tasks/a%2Fb", "/v1/tasks/a/b"},
      {"/x%3Fy?q=%41", "/x?y"},  // an escaped "?" is not a query
      {"/%41%62", "/Ab"},
      {"/bad%zz", "/bad%zz"},
      {"/short%4", "/short%4"},
      {"/end%", "/end%"},
  };
  for (const auto& [target, path] : cases) EXPECT_EQ(route_path(target), path) << target;
}

TEST(HttpRoutes, FirstRouteOfTheMethodThatMatchesTheWholePathWins) {
  HttpRoutes routes;
  const auto answering = [](const std::string& name) {
    return [name](const HttpRequest&, HttpResponse& res) { res.body = name; };
  };
  routes.add_route(HttpMethod::get, "/tasks", answering("list"));
  routes.add_route(HttpMethod::get, "/tasks/([^/]+)", answering("one"));
  routes.add_route(HttpMethod::put, "/tasks/([^/]+)", answering("put"), HttpRoutes::Pool::blocking);
  routes.add_route(HttpMethod::get, "/.*", answering("any"));

  struct Case {
    HttpMethod method;
    std::string path;
    std::string route;  // empty: none
    std::vector<std::string> captures;
  };
  const std::vector<Case> cases = {
      {HttpMethod::get, "/tasks", "list", {"/tasks"}},
      {HttpMethod::head, "/tasks", "list", {"/tasks"}},
      {HttpMethod::get, "/tasks/a", "one", {"/tasks/a", "a"}},
      {HttpMethod::put, "/tasks/a", "put", {"/tasks/a", "a"}},
      {HttpMethod::get, "/tasks/a/b", "any", {"/tasks/a/b"}},
      {HttpMethod::head, "/other", "any", {"/other"}},
      {HttpMethod::put, "/tasks", "", {"stale"}},
      {HttpMethod::put, "/tasks/a/b", "", {"stale"}},
      {HttpMethod::post, "/tasks", "", {"stale"}},
      {HttpMethod::options, "/tasks", "", {"stale"}},
  };
  for (const auto& c : cases) {
    HttpRequest request;
    request.method = c.method;
    request.path = c.path;
    request.captures = {"stale"};
    const HttpRoutes::Route* route = routes.find(request);
    std::string name;
    if (route != nullptr) {
      HttpResponse response;
      route->handler(request, response);
      name = response.body;
      EXPECT_EQ(route->pool, name == "put" ? HttpRoutes::Pool::blocking : HttpRoutes::Pool::quick);
    }
    EXPECT_EQ(name, c.route) << c.path;
    EXPECT_EQ(request.captures, c.captures) << c.path;
  }
}

TEST(HttpRoutes, WebSocketRoutesMatchTheWholePath) {
  HttpRoutes routes;
  routes.add_websocket("/ws/([^/]+)",
                       [](WebSocketConnection&, const std::vector<std::string>&) { return std::function<void()>(); });
  std::vector<std::string> captures;
  EXPECT_NE(routes.find_websocket("/ws/cam", captures), nullptr);
  EXPECT_EQ(captures, (std::vector<std::string>{"/ws/cam", "cam"}));
  for (const std::string path : {"/ws/", "/ws/a/b", "/ws", "/other/ws/a"}) {
    EXPECT_EQ(routes.find_websocket(path, captures), nullptr) << path;
  }
}

}  // namespace
}  // namespace velmo::ai
