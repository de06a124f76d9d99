#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/json.h"

namespace velmo::ai {

// The most HttpEventSink::stop() takes, counted from the call: stopping a task (DELETE, shutdown)
// must not wait on a slow or dead callback server, whatever is still queued.
inline constexpr std::chrono::milliseconds kEventSinkDrainBudget{5000};

// Where the analysis pipeline hands over rule and scene-change events.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void publish(Json event) = 0;
  virtual void stop() = 0;
};

// Posts each event as one JSON document to a callback URL from its own thread, in order, with up
// to three attempts per event. publish never touches the network; when the server falls behind,
// the oldest waiting events are given up so the newest get through.
class HttpEventSink final : public EventSink {
 public:
  // Throws std::invalid_argument for an empty URL, a max_queue of 0, a URL without "://", a
  // scheme other than http, blanks or control bytes anywhere in the URL, or a bad host or port.
  HttpEventSink(std::string url, std::size_t max_queue);
  ~HttpEventSink() override;
  HttpEventSink(const HttpEventSink&) = delete;
  HttpEventSink& operator=(const HttpEventSink&) = delete;

  void publish(Json event) override;
  // Delivers (or gives up) everything queued, then ends the worker; later calls return at once.
  void stop() override;

 private:
  bool post(const std::string& text);
  void run();

  std::string url_;
  std::string base_;  // scheme, host and port: names the server in the warning line
  std::string path_;  // path and query of every POST
  std::size_t max_queue_;
  std::string host_;         // without the brackets of an IPv6 literal
  std::string port_;         // decimal, "80" when the URL gives none
  std::string host_header_;  // as the Host field wants it
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  std::thread worker_;
  bool stopping_ = false;
};

}  // namespace velmo::ai
