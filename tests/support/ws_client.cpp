#include "tests/support/ws_client.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace velmo::ai::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

struct WsClient::Impl : std::enable_shared_from_this<WsClient::Impl> {
  net::io_context io;
  net::executor_work_guard<net::io_context::executor_type> guard = net::make_work_guard(io);
  websocket::stream<beast::tcp_stream> ws{io};
  beast::flat_buffer buffer;
  std::thread thread;

  // Outgoing messages, written one at a time on the I/O thread.
  struct Outgoing {
    std::string bytes;
    bool text = true;
    std::shared_ptr<std::promise<void>> written;
  };
  std::deque<Outgoing> outgoing;
  bool writing = false;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> received;
  bool ended = false;
  std::optional<std::uint16_t> code;

  void read() {
    ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      std::lock_guard lock(self->mutex);
      if (ec) {
        if (ec == websocket::error::closed) self->code = static_cast<std::uint16_t>(self->ws.reason().code);
        self->ended = true;
        self->changed.notify_all();
        return;
      }
      self->received.push_back(beast::buffers_to_string(self->buffer.data()));
      self->buffer.consume(self->buffer.size());
      self->changed.notify_all();
      self->read();
    });
  }

  void write_next() {
    if (writing || outgoing.empty()) return;
    writing = true;
    ws.text(outgoing.front().text);
    ws.async_write(net::buffer(outgoing.front().bytes), [self = shared_from_this()](beast::error_code, std::size_t) {
      self->outgoing.front().written->set_value();
      self->outgoing.pop_front();
      self->writing = false;
      self->write_next();
    });
  }

  void send(std::string bytes, bool text) {
    auto written = std::make_shared<std::promise<void>>();
    auto done = written->get_future();
    net::post(io, [self = shared_from_this(), bytes = std::move(bytes), text, written]() mutable {
      self->outgoing.push_back(Outgoing{std::move(bytes), text, written});
      self->write_next();
    });
    done.wait_for(std::chrono::seconds(10));
  }
};

WsClient::WsClient(int port, const std::string& target, WsClientOptions options) : impl_(std::make_shared<Impl>()) {
  auto& layer = beast::get_lowest_layer(impl_->ws);
  beast::error_code ec;
  layer.socket().open(tcp::v4(), ec);
  if (ec) throw std::runtime_error("socket: " + ec.message());
  if (options.receive_buffer > 0)
    layer.socket().set_option(net::socket_base::receive_buffer_size(options.receive_buffer));

  layer.expires_after(options.handshake_timeout);
  bool connected = false;
  layer.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)),
                      [&](beast::error_code e) {
                        ec = e;
                        connected = true;
                      });
  while (!connected && impl_->io.run_one() > 0) {
  }
  if (ec) throw std::runtime_error("connect: " + ec.message());

  websocket::response_type response;
  bool handshake_done = false;
  impl_->ws.async_handshake(response, "127.0.0.1", target, [&](beast::error_code e) {
    ec = e;
    handshake_done = true;
  });
  while (!handshake_done && impl_->io.run_one() > 0) {
  }
  if (ec) {
    throw std::runtime_error("handshake: " + ec.message() + " (status " + std::to_string(response.result_int()) + ")");
  }
  layer.expires_never();
  if (options.read) impl_->read();
  impl_->thread = std::thread([impl = impl_] { impl->io.run(); });
}

WsClient::~WsClient() {
  net::post(impl_->io, [impl = impl_] {
    beast::get_lowest_layer(impl->ws).close();
    impl->guard.reset();
  });
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::vector<std::string> WsClient::messages() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

bool WsClient::wait_for_messages(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->received.size() >= count; });
}

void WsClient::start_reading() {
  net::post(impl_->io, [impl = impl_] { impl->read(); });
}

void WsClient::send_text(const std::string& text) { impl_->send(text, true); }
void WsClient::send_binary(const std::string& bytes) { impl_->send(bytes, false); }

void WsClient::close() {
  net::post(impl_->io,
            [impl = impl_] { impl->ws.async_close(websocket::close_code::normal, [impl](beast::error_code) {}); });
}

bool WsClient::wait_closed(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->ended; });
}

std::optional<std::uint16_t> WsClient::close_code() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->code;
}

}  // namespace velmo::ai::test
