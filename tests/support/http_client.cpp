#include "tests/support/http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <stdexcept>

namespace velmo::ai::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

std::string HttpReply::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (beast::iequals(key, name)) return value;
  }
  return "";
}

bool HttpReply::has_header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (beast::iequals(key, name)) return true;
  }
  return false;
}

namespace {

// Runs one asynchronous step to completion on the caller's thread.
void finish(net::io_context& io, const beast::error_code& ec, const char* what) {
  io.restart();
  io.run();
  if (ec) throw std::runtime_error(std::string(what) + ": " + ec.message());
}

}  // namespace

HttpReply http_call(int port, const HttpCall& call) {
  net::io_context io;
  beast::tcp_stream stream(io);
  beast::error_code ec;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));

  stream.expires_after(call.timeout);
  stream.async_connect(endpoint, [&](beast::error_code e) { ec = e; });
  finish(io, ec, "connect");

  http::request<http::string_body> request;
  request.version(11);
  request.method_string(call.method);
  request.target(call.target);
  request.set(http::field::host, "127.0.0.1");
  for (const auto& [name, value] : call.headers) request.set(name, value);
  request.body() = call.body;
  if (!call.body.empty() || call.method == "POST" || call.method == "PUT") request.prepare_payload();
  request.keep_alive(false);

  stream.expires_after(call.timeout);
  http::async_write(stream, request, [&](beast::error_code e, std::size_t) { ec = e; });
  finish(io, ec, "write");

  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  parser.skip(call.method == "HEAD");  // a HEAD answer announces a body it does not carry
  stream.expires_after(call.timeout);
  http::async_read(stream, buffer, parser, [&](beast::error_code e, std::size_t) { ec = e; });
  finish(io, ec, "read");

  HttpReply reply;
  const auto& response = parser.get();
  reply.status = static_cast<int>(response.result_int());
  for (const auto& field : response) {
    reply.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  reply.body = response.body();
  return reply;
}

HttpReply http_get(int port, const std::string& target) {
  HttpCall call;
  call.target = target;
  return http_call(port, call);
}

std::string raw_exchange(int port, const std::string& bytes, std::chrono::milliseconds timeout) {
  net::io_context io;
  beast::tcp_stream stream(io);
  beast::error_code ec;
  stream.expires_after(timeout);
  stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)),
                       [&](beast::error_code e) { ec = e; });
  finish(io, ec, "connect");
  net::async_write(stream, net::buffer(bytes), [&](beast::error_code e, std::size_t) { ec = e; });
  finish(io, ec, "write");

  std::string received;
  char chunk[4096];
  for (;;) {
    std::size_t got = 0;
    stream.async_read_some(net::buffer(chunk), [&](beast::error_code e, std::size_t n) {
      ec = e;
      got = n;
    });
    io.restart();
    io.run();
    received.append(chunk, got);
    if (ec) break;
  }
  return received;
}

}  // namespace velmo::ai::test
