#pragma once

#include <string>
#include <vector>

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "service/http_routes.h"
#include "service/http_session_host.h"

namespace velmo::ai {

// Completes the upgrade that `request` asked for on `stream` and serves the connection on its
// strand until it ends; called on that strand, with a request already checked as a valid upgrade.
// `open` runs on a quick worker once the handshake is done and is handed the connection; what it
// returns runs on a quick worker once the connection has ended. A handshake that fails ends the
// connection before `open` ever sees it. What clients send is read and dropped. `open` must stay
// alive while the host does.
void start_websocket_session(SessionHost& host, boost::beast::tcp_stream&& stream,
                             boost::beast::http::request<boost::beast::http::string_body> request,
                             const WebSocketOpen& open, std::vector<std::string> captures);

}  // namespace velmo::ai
