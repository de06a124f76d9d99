// The layer that cleans the WebSocket library's 101 answer, on a real loopback connection: the
// bytes that reach the peer, write by write.
#include "service/server_header_filter.h"

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace velmo::ai {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// Writes each piece in turn through the filter; returns what the peer received and, through
// `reported`, the size each write reported.
std::string through_filter(const std::vector<std::string>& writes, std::vector<std::size_t>& reported) {
  net::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
  tcp::socket peer(io);
  peer.connect(acceptor.local_endpoint());
  ServerHeaderFilter filter(boost::beast::tcp_stream(acceptor.accept()));

  std::function<void(std::size_t)> write = [&](std::size_t i) {
    if (i == writes.size()) return;
    filter.async_write_some(net::buffer(writes[i]), [&, i](boost::beast::error_code ec, std::size_t size) {
      EXPECT_FALSE(ec) << ec.message();
      reported.push_back(size);
      write(i + 1);
    });
  };
  write(0);
  io.run();

  filter.next_layer().socket().shutdown(tcp::socket::shutdown_send);
  std::string received;
  boost::beast::error_code ec;
  net::read(peer, net::dynamic_buffer(received), ec);
  EXPECT_EQ(ec, net::error::eof);
  return received;
}

TEST(ServerHeaderFilter, CutsTheServerLineOfTheFirstHeaderBlockOnly) {
  struct Case {
    std::string name;
    std::vector<std::string> writes;
    std::string received;
  };
  const std::string frame = "\x81\x02hi";
  const std::vector<Case> cases = {
      {"the 101 answer, then a frame",
       {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nServer: Boost.Beast/345\r\nConnection: "
        "Upgrade\r\n\r\n",
        frame},
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n" + frame},
      {"a header spread over writes",
       {"HTTP/1.1 101 OK\r\nServer: x", "\r\nA: b\r\n\r\n", "\r\nServer: y\r\n"},
       "HTTP/1.1 101 OK\r\nA: b\r\n\r\n\r\nServer: y\r\n"},
      {"what follows the header in the same write",
       {"HTTP/1.1 101 OK\r\nA: b\r\n\r\n\r\nServer: payload"},
       "HTTP/1.1 101 OK\r\nA: b\r\n\r\n\r\nServer: payload"},
      {"a header without one",
       {"HTTP/1.1 400 Bad Request\r\nX-Server: kept\r\n\r\n"},
       "HTTP/1.1 400 Bad Request\r\nX-Server: kept\r\n\r\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::size_t> reported;
    EXPECT_EQ(through_filter(c.writes, reported), c.received) << c.name;
    // The caller's accounting sees its own bytes, as if nothing had been cut.
    std::vector<std::size_t> given;
    for (const auto& piece : c.writes) given.push_back(piece.size());
    EXPECT_EQ(reported, given) << c.name;
  }
}

}  // namespace
}  // namespace velmo::ai
