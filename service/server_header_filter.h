#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/core/tcp_stream.hpp>

namespace velmo::ai {

// The WebSocket library names itself in a Server header of its 101 answer and cannot be told not
// to. That answer is the first thing written on an accepted connection, so this stream layer
// cleans it on its way out: until a write has carried the end of the header block, a "Server:"
// line before that end is cut; everything after it passes through untouched. A write reports the
// size it was given, as if nothing had been cut. Like the stream it wraps, it is used on the
// connection's strand only; errors are the wrapped stream's.
class ServerHeaderFilter {
 public:
  using next_layer_type = boost::beast::tcp_stream;
  using executor_type = next_layer_type::executor_type;

  explicit ServerHeaderFilter(boost::beast::tcp_stream&& stream) : next_(std::move(stream)) {}

  executor_type get_executor() noexcept { return next_.get_executor(); }
  next_layer_type& next_layer() noexcept { return next_; }
  const next_layer_type& next_layer() const noexcept { return next_; }

  template <typename MutableBuffers, typename Handler>
  void async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    next_.async_read_some(buffers, std::forward<Handler>(handler));
  }

  template <typename ConstBuffers, typename Handler>
  void async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    namespace net = boost::asio;
    if (header_written_) {
      next_.async_write_some(buffers, std::forward<Handler>(handler));
      return;
    }
    auto text = std::make_shared<std::string>(boost::beast::buffers_to_string(buffers));
    const std::size_t size = text->size();
    const auto end = text->find("\r\n\r\n");
    header_written_ = end != std::string::npos;
    const auto at = text->find("\r\nServer:");
    if (at != std::string::npos && at < end) text->erase(at, text->find("\r\n", at + 2) - at);
    auto executor = net::get_associated_executor(handler, next_.get_executor());
    net::async_write(next_, net::buffer(*text),
                     net::bind_executor(executor, [text, size, handler = std::forward<Handler>(handler)](
                                                      boost::beast::error_code ec, std::size_t) mutable {
                       handler(ec, ec ? 0 : size);
                     }));
  }

 private:
  boost::beast::tcp_stream next_;
  bool header_written_ = false;
};

// The WebSocket stream's teardown, found by argument-dependent lookup: the wrapped socket's.
template <typename Handler>
void async_teardown(boost::beast::role_type role, ServerHeaderFilter& stream, Handler&& handler) {
  boost::beast::async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

inline void teardown(boost::beast::role_type role, ServerHeaderFilter& stream, boost::beast::error_code& ec) {
  boost::beast::teardown(role, stream.next_layer(), ec);
}

}  // namespace velmo::ai
