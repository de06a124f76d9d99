#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "analysis/event_sink/event_sink.h"
#include "foundation/clock.h"
#include "foundation/json.h"
#include "foundation/url.h"

namespace velmo::ai {

// The most HttpEventSink::stop() takes, counted from the call: stopping a task (DELETE, PUT,
// shutdown) must not wait on a slow or dead callback server, whatever is still queued.
inline constexpr std::chrono::milliseconds kEventSinkDrainBudget{5000};

// How long one event is retried, counted from its first attempt, before it is given up: long
// enough that a receiver which restarts misses nothing.
inline constexpr std::chrono::milliseconds kEventGiveUpAfter{60000};

// Called on the lookup thread before a callback host name is looked up, while one is set. Only
// tests set one: a DNS server that never answers cannot be had for real on demand.
using EventSinkLookupHook = void (*)();
inline std::atomic<EventSinkLookupHook> event_sink_lookup_hook{nullptr};

// The task whose events a sink delivers, as its warning lines name it.
struct EventSinkOwner {
  std::string task_id;
  std::string stream_id;
};

// Posts each event as one JSON document to a callback URL from its own thread, in order. An event
// that fails is retried (three quick attempts, then a capped back-off) and holds back the later
// ones until it is delivered or given up. publish never touches the network; when the server falls
// behind, the oldest waiting events are given up so the newest get through. Every event given up
// is counted (counts()) and reported in a rate-limited warning that names the task and why the
// latest one was given up. Every time the sink measures (retry pauses, the retry window, the
// deadlines of one attempt, the drain budget, the warning interval) runs on the clock handed in.
class HttpEventSink final : public EventSink {
 public:
  // Throws InvalidInput for an empty URL, a max_queue of 0, a URL without "://", a scheme other
  // than http, blanks or control bytes anywhere in the URL, a user name or password, or a bad
  // host or port; ServiceUnavailable when no thread can be started. give_up_after is for tests;
  // at zero an event gets three attempts. An empty clock is the system's.
  HttpEventSink(std::string url, std::size_t max_queue, EventSinkOwner owner = {},
                std::chrono::milliseconds give_up_after = kEventGiveUpAfter, std::shared_ptr<const Clock> clock = {});
  ~HttpEventSink() override;
  HttpEventSink(const HttpEventSink&) = delete;
  HttpEventSink& operator=(const HttpEventSink&) = delete;

  void publish(Json event) override;
  // Ends any pause and tries what is queued at once, in order, then ends the worker; returns
  // within kEventSinkDrainBudget, dropping (and counting) what is left by then. Later calls return
  // at once.
  void stop() override;
  // With a successor that is an HttpEventSink of the same URL and not stopping: an attempt under
  // way is finished, then what is left moves to the successor, ahead of its own queue. Otherwise
  // the same as stop().
  void stop_into(EventSink& successor) override;
  EventDeliveryCounts counts() const override;

 private:
  enum class Outcome { delivered, given_up, out_of_time, handed_back };
  enum class PauseEnd { elapsed, stop_began, out_of_time };
  struct Io;
  // Events given up since the last warning line, and why the latest one was.
  struct Drops {
    std::size_t count = 0;
    std::string cause;
  };

  void finish(HttpEventSink* successor);
  // Takes a replaced sink's undelivered events in front of its own; false once stopping.
  bool adopt(std::deque<std::string>& events);
  // One attempt: why it failed, empty when the server took the event.
  std::string post(const std::string& text);
  // With why it was given up (empty when delivered).
  Outcome deliver(const std::string& text, std::string& cause);
  void run();
  void drain();
  // The worker failed: what it held is counted as lost, and so is everything published later.
  void fail(const char* what) noexcept;
  // Waits for `pause_ms` (a signal does not cut it short); a stop that begins meanwhile ends it.
  PauseEnd pause_for(std::int64_t pause_ms);
  // With the mutex held: when a pause that ends at `until` must look again (a warning falls due,
  // the stop budget ends).
  std::int64_t pause_wake_at(std::int64_t until) const;
  // The end of the stop budget on the clock, or kNever before stop.
  std::int64_t budget_end();
  bool stopping();
  bool handing_over();
  // With the mutex held: the drops to report now, a count of 0 when none is due.
  Drops take_due_drops(bool force);
  void warn_dropped(const Drops& drops) noexcept;

  std::string url_;
  std::size_t max_queue_;
  EventSinkOwner owner_;
  std::chrono::milliseconds give_up_after_;
  std::shared_ptr<const Clock> clock_;
  HttpTarget target_;       // where every POST goes; its base names the server in warnings
  std::unique_ptr<Io> io_;  // used by the worker; stop only wakes it
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  std::thread worker_;
  bool stopping_ = false;
  HttpEventSink* successor_ = nullptr;  // set by stop_into; the caller keeps it alive until it returns
  bool in_flight_ = false;              // the worker holds an event taken from the queue
  bool failed_ = false;                 // the worker ended on an exception
  EventDeliveryCounts counts_;          // its queued is filled in by counts()
  static constexpr std::int64_t kNever = INT64_MAX;
  std::int64_t stop_by_ = kNever;
  Drops dropped_;             // since the last warning line
  std::string last_failure_;  // of the latest attempt, empty after a delivery
  bool warned_ = false;
  std::int64_t last_warning_ = 0;
};

}  // namespace velmo::ai
