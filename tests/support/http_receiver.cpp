#include "tests/support/http_receiver.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <optional>
#include <thread>

#include "foundation/time.h"

namespace velmo::ai::test {
namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string ReceivedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (same_ignoring_case(key, name)) return value;
  }
  return "";
}

bool ReceivedRequest::has_header(std::string_view name) const {
  for (const auto& entry : headers) {
    if (same_ignoring_case(entry.first, name)) return true;
  }
  return false;
}

// Everything below runs on the receiver's one I/O thread, except where posted to it.
struct HttpReceiver::Impl {
  class Session;

  Impl(HttpReceiver& owner, int wanted_port) : owner(owner), acceptor(ioc) {
    const tcp::endpoint at(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(wanted_port));
    acceptor.open(at.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(at);
    acceptor.listen();
    port = acceptor.local_endpoint().port();
  }

  // Only once the owner is whole: a client already waiting on the port is served at once.
  void start() {
    accept();
    thread = std::thread([this] { ioc.run(); });
  }

  void accept();
  void close_everything();

  HttpReceiver& owner;
  std::vector<std::weak_ptr<Session>> sessions;
  net::io_context ioc;
  tcp::acceptor acceptor;
  int port = 0;
  bool stopped = false;
  std::size_t accepted = 0;
  std::atomic<std::size_t> held{0};
  std::thread thread;
};

class HttpReceiver::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl& impl, tcp::socket socket, std::size_t number)
      : impl_(impl), stream_(std::move(socket)), timer_(impl.ioc), number_(number) {}

  void read() {
    parser_.emplace();
    parser_->body_limit(16 * 1024 * 1024);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
  }

  void wake() {
    if (holding_) timer_.cancel();
  }

  void close() {
    timer_.cancel();
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

 private:
  void on_read(beast::error_code ec) {
    if (ec || impl_.stopped) return close();
    const auto& message = parser_->get();
    ReceivedRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.version = message.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
    for (const auto& field : message) {
      request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    request.body = message.body();
    request.received_ms = steady_millis();
    request.connection = number_;
    keep_alive_ = message.keep_alive();
    reply_ = impl_.owner.next_reply(request);

    if (reply_.hang_up) return close();
    if (reply_.hold) {
      holding_ = true;
      ++impl_.held;
      timer_.expires_at(net::steady_timer::time_point::max());
      timer_.async_wait([self = shared_from_this()](beast::error_code) {
        self->holding_ = false;
        --self->impl_.held;
        self->after_hold();
      });
      return;
    }
    after_hold();
  }

  void after_hold() {
    if (impl_.stopped) return close();
    if (reply_.delay.count() <= 0) return answer();
    timer_.expires_after(reply_.delay);
    timer_.async_wait([self = shared_from_this()](beast::error_code) {
      if (self->impl_.stopped) return self->close();
      self->answer();
    });
  }

  void answer() {
    if (reply_.trickle.count() > 0) return start_trickle();
    if (!reply_.raw.empty()) return answer_raw();
    response_ = {};
    response_.result(static_cast<unsigned>(reply_.status));
    response_.version(11);
    if (!reply_.body.empty()) response_.set(http::field::content_type, reply_.content_type);
    response_.body() = reply_.body;
    response_.keep_alive(keep_alive_);
    response_.prepare_payload();
    http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec || !self->keep_alive_ || self->impl_.stopped) return self->close();
      self->read();
    });
  }

  void answer_raw() {
    net::async_write(stream_, net::buffer(reply_.raw),
                     [self = shared_from_this()](beast::error_code, std::size_t) { self->close(); });
  }

  void start_trickle() {
    auto head = std::make_shared<std::string>("HTTP/1.1 " + std::to_string(reply_.status) +
                                              " Trickle\r\nContent-Type: text/plain\r\n"
                                              "Content-Length: 1000000000\r\n\r\n");
    net::async_write(stream_, net::buffer(*head), [self = shared_from_this(), head](beast::error_code ec, std::size_t) {
      if (ec || self->impl_.stopped) return self->close();
      self->trickle();
    });
  }

  void trickle() {
    timer_.expires_after(reply_.trickle);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->impl_.stopped) return self->close();
      static const char byte = 'x';
      net::async_write(self->stream_, net::buffer(&byte, 1), [self](beast::error_code e, std::size_t) {
        if (e || self->impl_.stopped) return self->close();
        self->trickle();
      });
    });
  }

  Impl& impl_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  net::steady_timer timer_;
  std::size_t number_;
  Reply reply_;
  bool keep_alive_ = false;
  bool holding_ = false;
};

void HttpReceiver::Impl::accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec || stopped) return;
    std::erase_if(sessions, [](const std::weak_ptr<Session>& s) { return s.expired(); });
    auto session = std::make_shared<Session>(*this, std::move(socket), ++accepted);
    sessions.push_back(session);
    session->read();
    accept();
  });
}

void HttpReceiver::Impl::close_everything() {
  stopped = true;
  beast::error_code ignored;
  acceptor.close(ignored);
  for (const auto& weak : sessions) {
    if (auto session = weak.lock()) session->close();
  }
  sessions.clear();
}

HttpReceiver::HttpReceiver(int port) : impl_(std::make_unique<Impl>(*this, port)) {
  port_ = impl_->port;
  impl_->start();
}

HttpReceiver::~HttpReceiver() { stop(); }

std::string HttpReceiver::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpReceiver::reply_with(Reply reply) {
  reply_by([reply = std::move(reply)](const ReceivedRequest&, std::size_t) { return reply; });
}

void HttpReceiver::reply_in_turn(std::vector<Reply> replies) {
  if (replies.empty()) replies.emplace_back();
  reply_by([replies = std::move(replies)](const ReceivedRequest&, std::size_t index) {
    return replies[std::min(index, replies.size() - 1)];
  });
}

void HttpReceiver::reply_by(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

void HttpReceiver::release() {
  Impl* impl = impl_.get();
  net::post(impl->ioc, [impl] {
    for (const auto& weak : impl->sessions) {
      if (auto session = weak.lock()) session->wake();
    }
  });
}

void HttpReceiver::stop() {
  if (!impl_ || !impl_->thread.joinable()) return;
  Impl* impl = impl_.get();
  net::post(impl->ioc, [impl] {
    impl->close_everything();
    impl->ioc.stop();
  });
  impl->thread.join();
  arrived_.notify_all();
}

Reply HttpReceiver::next_reply(const ReceivedRequest& request) {
  Responder responder;
  std::size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    index = requests_.size();
    requests_.push_back(request);
    responder = responder_;
  }
  arrived_.notify_all();
  // Outside the lock: a responder may look at requests() itself.
  return responder ? responder(request, index) : Reply{};
}

std::vector<ReceivedRequest> HttpReceiver::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t HttpReceiver::request_count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool HttpReceiver::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::size_t HttpReceiver::held_count() const { return impl_->held.load(); }

}  // namespace velmo::ai::test
