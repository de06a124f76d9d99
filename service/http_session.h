#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "service/http_session_host.h"

namespace velmo::ai {

// Serves one accepted connection on its own strand: HTTP/1.1 requests one after the other, each
// of them whole (header and body, the idle time before it included) within the request time-out,
// the handlers on the host's workers (io ones inline, in the strand) and the answer written
// within the write time-out; at most 100 requests per connection. Requests that cannot be served
// (too large, a malformed header, an upgrade the WebSocket library would refuse) are answered with
// the default headers and the connection is closed; the peer going away or running out of time
// closes it without an answer. A valid upgrade to a WebSocket route hands the connection over to
// a WebSocket session.
void start_http_session(SessionHost& host, boost::asio::ip::tcp::socket&& socket);

}  // namespace velmo::ai
