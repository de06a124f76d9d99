#include "service/http_transport.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/error.hpp>

#include "foundation/thread_name.h"
#include "service/http_session.h"
#include "service/http_session_host.h"
#include "service/worker_pool.h"

namespace velmo::ai {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// The accept loop, the registry of live sessions that shutdown walks, and the worker pools.
struct HttpTransport::Impl final : SessionHost {
  Impl(HttpRoutes routes_in, HttpTransportOptions options_in) : options_(options_in), routes_(std::move(routes_in)) {}

  const HttpTransportOptions& options() const override { return options_; }
  const HttpRoutes& routes() const override { return routes_; }
  bool stopping() const override { return stopping_.load(); }
  void run_on(HttpRoutes::Pool pool, std::function<void()> job) override {
    (pool == HttpRoutes::Pool::blocking ? blocking_workers : quick_workers)->submit(std::move(job));
  }
  std::uint64_t add_session(std::weak_ptr<Session> session) override;
  void remove_session(std::uint64_t id) override;
  RequestLog& request_log() override { return request_log_; }

  void accept();
  void on_stop_requested();
  std::vector<std::shared_ptr<Session>> live_sessions();

  const HttpTransportOptions options_;
  const HttpRoutes routes_;
  RequestLog request_log_;

  net::io_context io{1};
  tcp::acceptor acceptor{io};
  net::steady_timer accept_timer{io};
  std::unique_ptr<net::steady_timer> grace_timer;
  std::unique_ptr<WorkerPool> quick_workers;
  std::unique_ptr<WorkerPool> blocking_workers;
  std::atomic<bool> stopping_{false};

  std::mutex sessions_mutex;
  std::uint64_t next_session_id = 1;
  std::unordered_map<std::uint64_t, std::weak_ptr<Session>> sessions;
};

void HttpTransport::Impl::accept() {
  acceptor.async_accept(net::make_strand(io), [this](boost::beast::error_code ec, tcp::socket socket) {
    if (ec) {
      if (!acceptor.is_open() || stopping_) return;
      // Out of descriptors and the like: the pending connection stays queued and would fail
      // again at once, so pause before the next try instead of spinning.
      accept_timer.expires_after(options_.accept_backoff);
      accept_timer.async_wait([this](boost::beast::error_code timer_ec) {
        if (!timer_ec && !stopping_) accept();
      });
      return;
    }
    if (stopping_) return;  // the socket closes here
    start_http_session(*this, std::move(socket));
    accept();
  });
}

void HttpTransport::Impl::on_stop_requested() {
  boost::beast::error_code ignored;
  acceptor.close(ignored);
  accept_timer.cancel();
  for (const auto& session : live_sessions()) session->begin_stop();
  grace_timer = std::make_unique<net::steady_timer>(io, options_.close_timeout);
  grace_timer->async_wait([this](boost::beast::error_code ec) {
    if (ec) return;
    for (const auto& session : live_sessions()) session->force_stop();
  });
  std::lock_guard lock(sessions_mutex);
  if (sessions.empty()) io.stop();
}

std::vector<std::shared_ptr<Session>> HttpTransport::Impl::live_sessions() {
  std::vector<std::shared_ptr<Session>> live;
  std::lock_guard lock(sessions_mutex);
  for (const auto& [id, weak] : sessions) {
    if (auto session = weak.lock()) live.push_back(std::move(session));
  }
  return live;
}

std::uint64_t HttpTransport::Impl::add_session(std::weak_ptr<Session> session) {
  std::lock_guard lock(sessions_mutex);
  const std::uint64_t id = next_session_id++;
  sessions.emplace(id, std::move(session));
  return id;
}

void HttpTransport::Impl::remove_session(std::uint64_t id) {
  std::lock_guard lock(sessions_mutex);
  sessions.erase(id);
  if (sessions.empty() && stopping_) io.stop();
}

// ---------------------------------------------------------------------------------------------

HttpTransport::HttpTransport(HttpRoutes routes, HttpTransportOptions options)
    : impl_(std::make_unique<Impl>(std::move(routes), options)) {}

HttpTransport::~HttpTransport() = default;

bool HttpTransport::bind(const std::string& host, std::uint16_t port, std::string& error) {
  boost::beast::error_code ec;
  tcp::resolver resolver(impl_->io);
  const auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  for (const auto& entry : endpoints) {
    tcp::acceptor acceptor(impl_->io);
    if (acceptor.open(entry.endpoint().protocol(), ec)) continue;
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (acceptor.bind(entry.endpoint(), ec)) continue;
    if (acceptor.listen(net::socket_base::max_listen_connections, ec)) continue;
    // Started here, on the caller's thread, so that a refused thread is the caller's failure
    // rather than the accept thread's.
    auto quick = std::make_unique<WorkerPool>(impl_->options_.quick_workers, "http-");
    auto blocking = std::make_unique<WorkerPool>(impl_->options_.blocking_workers, "http-task-");
    impl_->quick_workers = std::move(quick);
    impl_->blocking_workers = std::move(blocking);
    impl_->acceptor = std::move(acceptor);
    impl_->stopping_ = false;
    return true;
  }
  error = ec ? ec.message() : "no address";
  return false;
}

std::uint16_t HttpTransport::local_port() const {
  boost::beast::error_code ec;
  const auto endpoint = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void HttpTransport::run() {
  set_thread_name("http-accept");
  auto guard = net::make_work_guard(impl_->io);
  impl_->io.restart();
  net::post(impl_->io, [impl = impl_.get()] { impl->accept(); });
  impl_->io.run();
  // Every connection has ended, so nothing more can be queued for the workers.
  impl_->quick_workers->shutdown();
  impl_->blocking_workers->shutdown();
  impl_->grace_timer.reset();
}

void HttpTransport::stop() {
  if (impl_->stopping_.exchange(true)) return;
  net::post(impl_->io, [impl = impl_.get()] { impl->on_stop_requested(); });
}

}  // namespace velmo::ai
