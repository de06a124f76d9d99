#include "service/websocket_session.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "service/server_header_filter.h"

namespace velmo::ai {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

constexpr std::chrono::seconds kHandshakeTimeout{5};

// A server's frame on the wire (RFC 6455, 5.2): two bytes, the extended length, no mask.
std::size_t frame_size(std::size_t payload) {
  constexpr std::size_t kShortLength = 125;
  constexpr std::size_t kMediumLength = 65535;
  const std::size_t extended = payload <= kShortLength ? 0 : payload <= kMediumLength ? 2 : 8;
  return 2 + extended + payload;
}

class WebSocketSession : public Session,
                         public WebSocketConnection,
                         public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(SessionHost& host, beast::tcp_stream&& stream, http::request<http::string_body> request,
                   const WebSocketOpen& open, std::vector<std::string> captures)
      : host_(host),
        ws_(std::move(stream)),
        close_timer_(ws_.get_executor()),
        request_(std::move(request)),
        open_handler_(open),
        captures_(std::move(captures)) {}

  ~WebSocketSession() override { host_.remove_session(id_); }

  void run() {
    id_ = host_.add_session(weak_from_this());
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTimeout;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [headers = host_.routes().default_headers()](websocket::response_type& res) { add_headers(res, headers); }));
    ws_.read_message_max(host_.options().payload_max_length);
    // Every message leaves as one frame, however large.
    ws_.auto_fragment(false);
    ws_.async_accept(request_, [self = shared_from_this()](beast::error_code ec) { self->on_accept(ec); });
  }

  bool is_open() const override { return open_.load(); }

  bool send_text(const std::string& text) override {
    {
      std::lock_guard lock(queue_mutex_);
      if (!open_.load() || closing_) return false;
      // The messages written count as the writer last counted them: after its latest write, or
      // before the write that has not ended (what a client that stopped reading makes).
      if (queue_.size() + unacknowledged_ < host_.options().websocket_queue_limit) {
        queue_.push_back(std::make_shared<const std::string>(text));
        if (!writing_) {
          writing_ = true;
          net::post(ws_.get_executor(), [self = shared_from_this()] { self->write_next(); });
        }
        return true;
      }
    }
    // A client that does not keep up is let go rather than buffered without end.
    close(kClosePolicyViolation, "send queue full");
    return false;
  }

  void close(std::uint16_t status, const std::string& reason) override {
    {
      std::lock_guard lock(queue_mutex_);
      open_ = false;
      if (closing_) return;
      closing_ = true;
      queue_.clear();
      close_status_ = status;
      close_reason_ = reason;
    }
    net::post(ws_.get_executor(), [self = shared_from_this()] { self->start_close(); });
  }

  void begin_stop() override { close(kCloseNormal, ""); }
  void force_stop() override {
    net::post(ws_.get_executor(), [self = shared_from_this()] { self->close_socket(); });
  }

 private:
  void on_accept(beast::error_code ec) {
    if (ec) return;  // no subscription was made; dropping the session closes the socket
    accepted_ = true;
    bool closing = false;
    {
      std::lock_guard lock(queue_mutex_);
      closing = closing_;
      if (!closing) open_ = true;
    }
    if (closing) {
      start_close();  // closed during the handshake: the handler never sees it
      return;
    }
    host_.run_on(HttpRoutes::Pool::quick, [self = shared_from_this()] {
      try {
        self->on_end_ = self->open_handler_(*self, self->captures_);
      } catch (const std::exception&) {
        self->close(kCloseInternalError, "");
      }
      // Shutdown may have swept past this connection before it was open.
      if (self->host_.stopping()) self->close(kCloseNormal, "");
      net::post(self->ws_.get_executor(), [self] { self->read(); });
    });
  }

  // On the connection's executor. Of the messages written, those whose bytes the peer's system
  // has not acknowledged yet: the newest ones that the socket's unacknowledged bytes cover.
  // Written messages before them are forgotten.
  std::size_t unacknowledged_messages() {
    int outstanding = 0;
    if (::ioctl(beast::get_lowest_layer(ws_).socket().native_handle(), SIOCOUTQ, &outstanding) != 0) {
      return written_.size();  // the socket is gone; the write will say so
    }
    std::size_t covered = 0;
    std::size_t count = 0;
    for (auto it = written_.rbegin(); it != written_.rend() && covered < static_cast<std::size_t>(outstanding); ++it) {
      covered += *it;
      ++count;
    }
    written_.erase(written_.begin(), written_.end() - static_cast<std::ptrdiff_t>(count));
    return count;
  }

  // On the connection's executor. A message counts as waiting (see send_text) until the client's
  // system has acknowledged it: the socket buffers on the way (several MiB on a fast link) would
  // otherwise take thousands of small messages from a client that never reads.
  void write_next() {
    const std::size_t unacknowledged = unacknowledged_messages();
    std::shared_ptr<const std::string> next;
    {
      std::lock_guard lock(queue_mutex_);
      unacknowledged_ = unacknowledged;
      if (queue_.empty() || closing_) {
        writing_ = false;
        return;
      }
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    write_in_flight_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(*next), [self = shared_from_this(), next](beast::error_code ec, std::size_t) {
      self->write_in_flight_ = false;
      self->written_.push_back(frame_size(next->size()));
      if (ec) {
        self->close_socket();
        return;
      }
      if (self->pending_close_) {
        auto [status, reason] = *self->pending_close_;
        self->pending_close_.reset();
        self->send_close(status, reason);
      }
      self->write_next();
    });
  }

  // On the connection's executor. The close frame follows the frame being written, if any; the
  // deadline counts from now, so a peer that stopped reading is dropped all the same.
  void start_close() {
    if (!accepted_ || close_started_ || !ws_.is_open()) return;
    std::uint16_t status = kCloseNormal;
    std::string reason;
    {
      std::lock_guard lock(queue_mutex_);
      status = close_status_;
      reason = close_reason_;
    }
    close_started_ = true;
    close_timer_.expires_after(host_.options().close_timeout);
    close_timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->close_socket();
    });
    if (write_in_flight_) {
      pending_close_.emplace(status, reason);
    } else {
      send_close(status, reason);
    }
  }

  void send_close(std::uint16_t status, const std::string& reason) {
    ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(status), reason),
                    [self = shared_from_this()](beast::error_code ec) {
                      self->close_timer_.cancel();
                      if (ec) self->close_socket();
                    });
  }

  void read() {
    buffer_.clear();
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->ended();
        return;
      }
      self->read();  // what clients send is read and dropped
    });
  }

  void ended() {
    {
      std::lock_guard lock(queue_mutex_);
      open_ = false;
      closing_ = true;
      queue_.clear();
    }
    host_.run_on(HttpRoutes::Pool::quick, [self = shared_from_this()] {
      if (self->on_end_) {
        auto on_end = std::move(self->on_end_);
        self->on_end_ = nullptr;
        on_end();
      }
      net::post(self->ws_.get_executor(), [self] { self->close_socket(); });
    });
  }

  void close_socket() {
    close_timer_.cancel();
    beast::error_code ignored;
    auto& socket = beast::get_lowest_layer(ws_).socket();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }

  SessionHost& host_;
  std::uint64_t id_ = 0;
  websocket::stream<ServerHeaderFilter> ws_;
  net::steady_timer close_timer_;
  http::request<http::string_body> request_;
  const WebSocketOpen& open_handler_;
  std::vector<std::string> captures_;
  beast::flat_buffer buffer_;
  std::function<void()> on_end_;  // set and run on workers, one after the other
  std::atomic<bool> open_{false};

  std::mutex queue_mutex_;  // taken by publishers: held only to queue or take a message
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::size_t unacknowledged_ = 0;  // as of the writer's last count
  bool writing_ = false;
  bool closing_ = false;
  std::uint16_t close_status_ = kCloseNormal;
  std::string close_reason_;

  // On the connection's executor only.
  bool accepted_ = false;
  bool close_started_ = false;
  bool write_in_flight_ = false;
  std::deque<std::size_t> written_;  // frame sizes of messages written, oldest first
  std::optional<std::pair<std::uint16_t, std::string>> pending_close_;
};

}  // namespace

void start_websocket_session(SessionHost& host, beast::tcp_stream&& stream, http::request<http::string_body> request,
                             const WebSocketOpen& open, std::vector<std::string> captures) {
  std::make_shared<WebSocketSession>(host, std::move(stream), std::move(request), open, std::move(captures))->run();
}

}  // namespace velmo::ai
