#include "service/http_routes.h"

#include "foundation/text.h"

namespace velmo::ai {

std::string route_path(std::string_view target) {
  const std::string_view path = target.substr(0, target.find('?'));
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

void HttpRoutes::add_route(HttpMethod method, const std::string& pattern, RouteHandler handler, Pool pool) {
  routes_.push_back(Route{method, std::regex(pattern), std::move(handler), pool});
}

void HttpRoutes::add_websocket(const std::string& pattern, WebSocketOpen open) {
  websocket_routes_.push_back(WebSocketRoute{std::regex(pattern), std::move(open)});
}

const HttpRoutes::Route* HttpRoutes::find(HttpRequest& request) const {
  const HttpMethod wanted = request.method == HttpMethod::head ? HttpMethod::get : request.method;
  for (const auto& route : routes_) {
    if (route.method != wanted) continue;
    std::smatch match;
    if (!std::regex_match(request.path, match, route.pattern)) continue;
    request.captures.assign(match.begin(), match.end());
    return &route;
  }
  return nullptr;
}

const WebSocketOpen* HttpRoutes::find_websocket(const std::string& path, std::vector<std::string>& captures) const {
  for (const auto& route : websocket_routes_) {
    std::smatch match;
    if (std::regex_match(path, match, route.pattern)) {
      captures.assign(match.begin(), match.end());
      return &route.open;
    }
  }
  return nullptr;
}

}  // namespace velmo::ai
