#include "analysis/event_sink/http_event_sink.h"

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/back_off.h"
#include "foundation/errors.h"
#include "foundation/log.h"
#include "foundation/thread_name.h"
#include "foundation/url.h"
#include "foundation/version.h"

namespace velmo::ai {
namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr std::chrono::seconds kConnectTimeout{2};
// Connecting, sending and reading the whole answer together: a server that answers slowly or
// trickles its body can hold an attempt no longer than this.
constexpr std::chrono::seconds kAttemptTimeout{5};
// Only the status decides an attempt; a little of the body is read so that a short answer ends
// cleanly, then the connection is closed whatever is left.
constexpr std::uint64_t kReplyBodyLimit = 4096;
// The pauses after each failed attempt of one event: 250 and 500 ms before the second and the
// third, then doubling up to 10 s.
constexpr BackOff kRetryPause{250, 10000};
// The most a status line may take before the answer counts as malformed (Beast's own limit on a
// response header is 8 KiB).
constexpr std::size_t kStatusLineLimit = 8192;
constexpr std::size_t kReadChunk = 1024;
// At most one drop warning per sink in this time; the next one counts everything since.
constexpr std::chrono::milliseconds kDropWarningInterval{5000};
// stop's own work after the worker has given up (closing, the last warning, the join) comes out
// of the drain budget too.
constexpr std::chrono::milliseconds kWrapUp{100};
// The I/O context cannot wait on the sink's clock: while an operation of an attempt is pending,
// it looks at that clock at least this often.
constexpr std::chrono::milliseconds kClockPoll{20};

[[noreturn]] void refuse(const char* message) { throw InvalidInput(message); }

// Throws the answer's body away and ends the read once kReplyBodyLimit bytes have come, whatever
// the body's length or framing says.
struct DiscardBody {
  struct value_type {};

  struct reader {
    template <bool isRequest, class Fields>
    explicit reader(http::header<isRequest, Fields>&, value_type&) {}
    void init(const boost::optional<std::uint64_t>&, beast::error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, beast::error_code& ec) {
      const std::size_t n = net::buffer_size(buffers);
      seen += n;
      ec = seen > kReplyBodyLimit ? beast::error_code(http::error::body_limit) : beast::error_code();
      return n;
    }
    void finish(beast::error_code& ec) { ec = {}; }
    std::uint64_t seen = 0;
  };
};

// Text from the server, fit for a log line: at most `limit` bytes of printable ASCII.
std::string printable(std::string_view text, std::size_t limit) {
  std::string out(text.substr(0, limit));
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f) c = '?';
  }
  return out;
}

// Beast wants the space after the status code even when no reason phrase follows it, and many
// small servers leave both out ("HTTP/1.1 200"): the space is put in. False while the buffer does
// not hold the whole status line yet.
bool mend_status_line(beast::flat_buffer& buffer) {
  const auto data = buffer.data();
  const std::string_view head(static_cast<const char*>(data.data()), data.size());
  const std::size_t newline = head.find('\n');
  if (newline == std::string_view::npos) return false;
  constexpr std::string_view kBare = "HTTP/1.1 200";
  const std::size_t line_end = newline > 0 && head[newline - 1] == '\r' ? newline - 1 : newline;
  if (line_end != kBare.size() || !head.starts_with("HTTP/") || head[8] != ' ') return true;
  std::string mended(head.substr(0, line_end));
  mended += ' ';
  mended += head.substr(line_end);
  buffer.consume(buffer.size());
  buffer.commit(net::buffer_copy(buffer.prepare(mended.size()), net::buffer(mended)));
  return true;
}

enum class Stage { resolving, connecting, exchanging };

// Why an attempt failed, in an operator's words.
std::string failure_text(const beast::error_code& ec, Stage stage, const std::string& host) {
  if (ec == net::error::timed_out) {
    return stage == Stage::exchanging ? "timed out after " + std::to_string(kAttemptTimeout.count()) + " s"
                                      : "connect timed out after " + std::to_string(kConnectTimeout.count()) + " s";
  }
  if (stage == Stage::resolving) return "cannot resolve " + host + ": " + ec.message();
  if (ec == net::error::connection_refused) return "connection refused";
  if (ec == net::error::connection_reset || ec == net::error::broken_pipe) return "connection reset";
  if (ec == http::error::end_of_stream || ec == http::error::partial_message || ec == net::error::eof) {
    return "connection closed before the answer";
  }
  if (ec.category() == http::make_error_code(http::error::bad_version).category()) {
    return "malformed answer: " + ec.message();
  }
  const std::string message = ec.message();
  return message.empty() ? "error " + std::to_string(ec.value()) : message;
}

// A final answer other than 2xx. A redirect is named with where it points, less any query or
// fragment, which may carry credentials.
template <class Answer>
std::string refused_text(const Answer& answer) {
  std::string text = "status " + std::to_string(answer.result_int());
  // Beast stands in the standard phrase for a missing one, and this for an unknown code.
  const std::string_view reason = answer.reason();
  if (!reason.empty() && reason != "<unknown-status>") text += " " + printable(reason, 80);
  const std::string_view location = answer[http::field::location];
  if (answer.result_int() / 100 == 3 && !location.empty()) {
    text += ", redirect to " + printable(location.substr(0, location.find_first_of("?#")), 200) + " not followed";
  }
  return text;
}

// The endpoints of `target`, or why there are none; gives up at `end` or at the stop budget's end
// (budget_end), whichever comes first, on `clock`.
beast::error_code look_up(const HttpTarget& target, const Clock& clock, const std::function<std::int64_t()>& budget_end,
                          std::vector<tcp::endpoint>& endpoints, std::int64_t end) {
  beast::error_code ec;
  const unsigned short port = static_cast<unsigned short>(std::stoul(target.port));
  const net::ip::address numeric = net::ip::make_address(target.host, ec);
  if (!ec) {
    endpoints.assign(1, tcp::endpoint(numeric, port));
    return {};
  }
  // A name is looked up on a thread of its own that this attempt may leave behind: getaddrinfo
  // cannot be interrupted, and a DNS server that never answers would otherwise hold the attempt,
  // and a stop's drain, for as long as the resolver's own time-outs.
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    beast::error_code ec;
    std::vector<tcp::endpoint> found;
  };
  auto lookup = std::make_shared<Lookup>();
  start_thread<std::thread>([lookup, host = target.host, service = target.port] {
    set_thread_name("sink-lookup");
    if (const auto hook = event_sink_lookup_hook.load(); hook != nullptr) hook();
    net::io_context ioc;
    tcp::resolver resolver(ioc);
    beast::error_code error;
    const auto results = resolver.resolve(host, service, tcp::resolver::numeric_service, error);
    std::vector<tcp::endpoint> found;
    for (const auto& entry : results) found.push_back(entry.endpoint());
    std::lock_guard lock(lookup->mutex);
    lookup->ec = error;
    lookup->found = std::move(found);
    lookup->done = true;
    lookup->done_cv.notify_all();
  }).detach();
  std::unique_lock lock(lookup->mutex);
  while (!lookup->done) {
    // The stop budget may begin while this waits, so its end is looked at again now and then.
    const std::int64_t until = std::min(end, budget_end());
    const std::int64_t now = clock.steady_ms();
    if (now >= until) return net::error::timed_out;
    clock.wait_until(lock, lookup->done_cv, std::min<std::int64_t>(until, now + kClockPoll.count()),
                     [&] { return lookup->done; });
  }
  if (lookup->ec) return lookup->ec;
  if (lookup->found.empty()) return net::error::host_not_found;
  endpoints = std::move(lookup->found);
  return {};
}

}  // namespace

struct HttpEventSink::Io {
  net::io_context ioc;
};

HttpEventSink::HttpEventSink(std::string url, std::size_t max_queue, EventSinkOwner owner,
                             std::chrono::milliseconds give_up_after, std::shared_ptr<const Clock> clock)
    : url_(std::move(url)),
      max_queue_(max_queue),
      owner_(std::move(owner)),
      give_up_after_(give_up_after),
      clock_(clock_or_system(std::move(clock))) {
  if (url_.empty() || max_queue_ == 0) refuse("invalid event callback configuration");
  target_ = parse_http_url(url_, "/v1/events", "event callback URL");

  io_ = std::make_unique<Io>();
  worker_ = start_thread<std::thread>([this] { run(); });
}

HttpEventSink::~HttpEventSink() {
  try {
    stop();
  } catch (...) {
    // stop() fails only if the worker cannot be joined; nothing is left to report it to.
  }
}

void HttpEventSink::publish(Json event) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    ++counts_.published;
    if (failed_) {
      ++counts_.dropped_fault;
      ++dropped_.count;
      dropped_.cause = "delivery thread failed";
      return;
    }
    std::string text = dump_json(event);
    while (queue_.size() >= max_queue_) {
      queue_.pop_front();
      ++counts_.dropped_queue_full;
      ++dropped_.count;
      dropped_.cause = "queue of " + std::to_string(max_queue_) + " events full";
      if (!last_failure_.empty()) dropped_.cause += ", last attempt: " + last_failure_;
    }
    queue_.push_back(std::move(text));
  }
  wake_.notify_one();
}

void HttpEventSink::stop() { finish(nullptr); }

void HttpEventSink::stop_into(EventSink& successor) {
  auto* next = dynamic_cast<HttpEventSink*>(&successor);
  finish(next != nullptr && next != this && next->url_ == url_ ? next : nullptr);
}

void HttpEventSink::finish(HttpEventSink* successor) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    successor_ = successor;
    stop_by_ = clock_->steady_ms() + (kEventSinkDrainBudget - kWrapUp).count();
  }
  wake_.notify_all();
  // An attempt in progress waits on the I/O context, not on the condition variable: this makes it
  // look at the stop at once.
  net::post(io_->ioc, [] {});
  if (worker_.joinable()) worker_.join();
  // What was lost after the worker failed is reported here, as nobody else is left to.
  Drops last;
  {
    std::lock_guard lock(mutex_);
    successor_ = nullptr;
    last = take_due_drops(true);
  }
  warn_dropped(last);
}

bool HttpEventSink::adopt(std::deque<std::string>& events) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || failed_) return false;
    counts_.published += events.size();
    queue_.insert(queue_.begin(), std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
    while (queue_.size() > max_queue_) {
      queue_.pop_front();
      ++counts_.dropped_queue_full;
      ++dropped_.count;
      dropped_.cause = "queue of " + std::to_string(max_queue_) + " events full";
    }
  }
  events.clear();
  wake_.notify_one();
  return true;
}

EventDeliveryCounts HttpEventSink::counts() const {
  std::lock_guard lock(mutex_);
  EventDeliveryCounts counts = counts_;
  counts.queued = queue_.size() + (in_flight_ ? 1 : 0);
  return counts;
}

std::int64_t HttpEventSink::budget_end() {
  std::lock_guard lock(mutex_);
  return stop_by_;
}

bool HttpEventSink::stopping() {
  std::lock_guard lock(mutex_);
  return stopping_;
}

bool HttpEventSink::handing_over() {
  std::lock_guard lock(mutex_);
  return successor_ != nullptr;
}

HttpEventSink::Drops HttpEventSink::take_due_drops(bool force) {
  if (dropped_.count == 0) return {};
  const std::int64_t now = clock_->steady_ms();
  if (!force && warned_ && now - last_warning_ < kDropWarningInterval.count()) return {};
  warned_ = true;
  last_warning_ = now;
  return std::exchange(dropped_, Drops{});
}

void HttpEventSink::warn_dropped(const Drops& drops) noexcept {
  if (drops.count == 0) return;
  try {
    log(LogLevel::warn, "event: callback delivery failed",
        {{"task_id", owner_.task_id},
         {"stream_id", owner_.stream_id},
         {"url", target_.base},
         {"err", drops.cause},
         {"dropped", std::to_string(drops.count)}});
  } catch (...) {
    // Nothing is left to report a failing log line to.
  }
}

std::int64_t HttpEventSink::pause_wake_at(std::int64_t until) const {
  std::int64_t wake_at = std::min(until, stop_by_);
  if (dropped_.count > 0) wake_at = std::min(wake_at, last_warning_ + kDropWarningInterval.count());
  return wake_at;
}

HttpEventSink::PauseEnd HttpEventSink::pause_for(std::int64_t pause_ms) {
  const std::int64_t until = clock_->steady_ms() + pause_ms;
  std::unique_lock lock(mutex_);
  const bool was_stopping = stopping_;
  for (;;) {
    const std::int64_t now = clock_->steady_ms();
    if (now >= stop_by_) return PauseEnd::out_of_time;
    if (stopping_ && !was_stopping) return PauseEnd::stop_began;
    if (now >= until) return PauseEnd::elapsed;
    if (Drops due = take_due_drops(false); due.count > 0) {
      lock.unlock();
      warn_dropped(due);
      lock.lock();
      continue;
    }
    // Cut short only when stop or a publish moves the time to look again; a signal does not end
    // the pause either.
    const std::int64_t wake_at = pause_wake_at(until);
    clock_->wait_until(lock, wake_, wake_at, [this, until, wake_at, was_stopping] {
      return pause_wake_at(until) != wake_at || stopping_ != was_stopping;
    });
  }
}

HttpEventSink::Outcome HttpEventSink::deliver(const std::string& text, std::string& cause) {
  const std::int64_t first = clock_->steady_ms();
  // Why the task's stop gave the event up: its budget, and what the attempts before it met.
  auto out_of_time = [&cause, this] {
    std::lock_guard lock(mutex_);
    cause = "task stopped before delivery";
    if (!last_failure_.empty()) cause += ", last attempt: " + last_failure_;
    return Outcome::out_of_time;
  };
  // From the stop on, a receiver that is back must not wait out a pause that began while it was
  // down: the event is tried at once and the back-off starts again from its first pause.
  bool stop_seen = stopping();
  unsigned failures = 0;
  for (int attempt = 1;; ++attempt) {
    if (handing_over()) return Outcome::handed_back;
    if (clock_->steady_ms() >= budget_end()) return out_of_time();
    std::string failure = post(text);
    // An attempt cut short by stop's budget says nothing about the server.
    if (!failure.empty() && clock_->steady_ms() >= budget_end()) return out_of_time();
    {
      std::lock_guard lock(mutex_);
      last_failure_ = failure;
    }
    if (failure.empty()) return Outcome::delivered;
    const std::int64_t waited = clock_->steady_ms() - first;
    if (attempt >= 3 && waited >= give_up_after_.count()) {
      cause = std::move(failure);
      return Outcome::given_up;
    }
    if (!stop_seen && stopping()) {
      stop_seen = true;
      failures = 0;
      continue;
    }
    std::int64_t pause = kRetryPause.pause_ms(failures++);
    // The last pause ends with the retry window, so the final attempt falls at its end.
    if (attempt >= 3) pause = std::min<std::int64_t>(pause, give_up_after_.count() - waited);
    switch (pause_for(pause)) {
      case PauseEnd::elapsed: break;
      case PauseEnd::out_of_time: return out_of_time();
      case PauseEnd::stop_began:
        stop_seen = true;
        failures = 0;
        break;
    }
  }
}

void HttpEventSink::run() {
  set_thread_name("sink");
  try {
    drain();
  } catch (const std::exception& e) {
    fail(e.what());
  } catch (...) {
    fail("unknown failure");
  }
}

void HttpEventSink::fail(const char* what) noexcept {
  try {
    std::size_t lost = 0;
    {
      std::lock_guard lock(mutex_);
      failed_ = true;
      lost = queue_.size() + (in_flight_ ? 1 : 0);
      in_flight_ = false;
      queue_.clear();
      counts_.dropped_fault += lost;
    }
    log(LogLevel::error, "event: delivery thread failed",
        {{"task_id", owner_.task_id},
         {"stream_id", owner_.stream_id},
         {"url", target_.base},
         {"err", what},
         {"dropped", std::to_string(lost)}});
  } catch (...) {
    // Nothing is left to report to; stop still finds a thread to join.
  }
}

void HttpEventSink::drain() {
  for (;;) {
    std::string text;
    {
      std::unique_lock lock(mutex_);
      for (;;) {
        if (!queue_.empty()) break;
        if (stopping_) {
          const Drops last = take_due_drops(true);
          lock.unlock();
          warn_dropped(last);
          return;
        }
        if (Drops due = take_due_drops(false); due.count > 0) {
          lock.unlock();
          warn_dropped(due);
          lock.lock();
          continue;
        }
        auto woken = [this] { return !queue_.empty() || stopping_; };
        if (dropped_.count > 0) {
          clock_->wait_until(lock, wake_, last_warning_ + kDropWarningInterval.count(), woken);
        } else {
          wake_.wait(lock, woken);  // nothing timed to wait for
        }
      }
      if (successor_ != nullptr) {
        HttpEventSink* next = successor_;
        std::deque<std::string> rest = std::move(queue_);
        queue_.clear();
        const std::size_t count = rest.size();
        lock.unlock();
        const bool taken = next->adopt(rest);
        lock.lock();
        if (taken) {
          counts_.handed_over += count;
          continue;  // the queue is empty: the next turn ends the worker
        }
        // The successor is stopping itself: this sink drains its own queue after all.
        queue_ = std::move(rest);
        successor_ = nullptr;
        continue;
      }
      text = std::move(queue_.front());
      queue_.pop_front();
      in_flight_ = true;
    }

    std::string cause;
    Outcome outcome = deliver(text, cause);
    Drops due;
    {
      std::lock_guard lock(mutex_);
      in_flight_ = false;
      // Handing over, a stop's budget cut short only the attempt: the event goes on in the successor.
      if (outcome == Outcome::out_of_time && successor_ != nullptr) outcome = Outcome::handed_back;
      switch (outcome) {
        case Outcome::delivered: ++counts_.delivered; break;
        case Outcome::handed_back: queue_.push_front(std::move(text)); break;
        case Outcome::given_up:
          ++counts_.dropped_gave_up;
          ++dropped_.count;
          dropped_.cause = std::move(cause);
          break;
        case Outcome::out_of_time:
          // stop's budget is spent: this event and all that wait behind it are given up together.
          counts_.dropped_at_stop += 1 + queue_.size();
          dropped_.count += 1 + queue_.size();
          dropped_.cause = std::move(cause);
          queue_.clear();
          break;
      }
      due = take_due_drops(outcome == Outcome::out_of_time);
    }
    warn_dropped(due);
    if (outcome == Outcome::out_of_time) return;
  }
}

std::string HttpEventSink::post(const std::string& text) {
  // Anything thrown here would end the worker thread; a failure of any kind is just a failed attempt.
  try {
    net::io_context& ioc = io_->ioc;
    ioc.restart();
    const std::int64_t started = clock_->steady_ms();
    const std::int64_t connect_end = started + std::chrono::milliseconds(kConnectTimeout).count();
    const std::int64_t attempt_end = started + std::chrono::milliseconds(kAttemptTimeout).count();
    // Keeps run_one_until waiting between operations instead of finding the context out of work.
    const auto busy = net::make_work_guard(ioc);
    tcp::socket socket(ioc);

    // Runs one operation until it completes, `end` passes or stop's budget runs out. In the latter
    // cases everything outstanding is cancelled and its handlers have run before this returns.
    auto await = [&](auto start, std::int64_t end) {
      beast::error_code result;
      bool done = false;
      start([&result, &done](beast::error_code ec, auto&&...) {
        result = ec;
        done = true;
      });
      while (!done) {
        const std::int64_t left = std::min(end, budget_end()) - clock_->steady_ms();
        if (left <= 0) break;
        ioc.run_one_for(std::chrono::milliseconds(std::min<std::int64_t>(left, kClockPoll.count())));
      }
      if (done) return result;
      beast::error_code ignored;
      socket.close(ignored);
      while (!done) ioc.run_one();  // the cancelled operation's handler, which refers to this frame
      return beast::error_code(net::error::timed_out);
    };

    std::vector<tcp::endpoint> endpoints;
    beast::error_code ec = look_up(
        target_, *clock_, [this] { return budget_end(); }, endpoints, connect_end);
    if (ec) return failure_text(ec, Stage::resolving, target_.host);

    // A new connection per attempt: nothing carries over from one attempt or event to the next.
    ec = await([&](auto handler) { net::async_connect(socket, endpoints, handler); }, connect_end);
    if (ec) return failure_text(ec, Stage::connecting, target_.host);

    http::request<http::string_body> request{http::verb::post, target_.path, kHttp11};
    request.set(http::field::host, target_.host_header);
    request.set(http::field::user_agent, std::string("velmo-ai/") + kVelmoVersion);
    request.set(http::field::content_type, "application/json");
    request.keep_alive(false);
    request.body() = text;
    request.prepare_payload();
    ec = await([&](auto handler) { http::async_write(socket, request, handler); }, attempt_end);
    if (ec) return failure_text(ec, Stage::exchanging, target_.host);

    // Interim answers (1xx: 100 Continue, 102, 103) may come first, any number of them; only the
    // final answer decides. 101 would switch protocols, which a POST never asks for: it is final.
    beast::flat_buffer buffer;
    std::optional<http::response_parser<DiscardBody>> parser;
    unsigned status = 0;
    do {
      while (!mend_status_line(buffer)) {
        if (buffer.size() >= kStatusLineLimit) return "malformed answer: status line too long";
        std::size_t got = 0;
        ec = await(
            [&](auto handler) {
              socket.async_read_some(buffer.prepare(kReadChunk),
                                     [&got, handler](beast::error_code e, std::size_t n) mutable {
                                       got = n;
                                       handler(e);
                                     });
            },
            attempt_end);
        buffer.commit(got);
        if (ec) return failure_text(ec, Stage::exchanging, target_.host);
      }
      parser.emplace();
      parser->body_limit(boost::none);  // DiscardBody keeps its own, smaller one
      ec = await([&](auto handler) { http::async_read_header(socket, buffer, *parser, handler); }, attempt_end);
      if (ec) return failure_text(ec, Stage::exchanging, target_.host);
      status = parser->get().result_int();
    } while (status / 100 == 1 && status != 101);
    if (status / 100 != 2) return refused_text(parser->get());

    // The server has taken the event: how its body ends (complete, cut at the limit, a time-out)
    // changes nothing, and a retry would deliver it twice.
    if (!parser->is_done()) {
      await([&](auto handler) { http::async_read(socket, buffer, *parser, handler); }, attempt_end);
    }
    beast::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    return {};
  } catch (const std::exception& e) {
    const std::string what = e.what();
    return what.empty() ? "unknown failure" : what;
  } catch (...) {
    return "unknown failure";
  }
}

}  // namespace velmo::ai
