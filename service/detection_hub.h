#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/json.h"

namespace velmo::ai {

// One open WebSocket connection as the hub sees it. The API server implements it; the
// connection's owner keeps it alive until it has unsubscribed from the hub.
class WebSocketConnection {
 public:
  virtual ~WebSocketConnection() = default;
  virtual bool is_open() const = 0;
  // Sends one final text frame under the connection's own write lock, only while it is open.
  // Blocks until the frame is written or the write time-out passes; false when it was not sent.
  virtual bool send_text(const std::string& text) = 0;
  // Starts the closing handshake with the status and reason; a closed connection ignores it.
  virtual void close(std::uint16_t status, const std::string& reason) = 0;
};

// Fans each "detections" message out to the WebSocket subscribers of its stream id, on the
// publishing thread and without a queue: a message reaches the subscribers registered when it
// is published.
class DetectionHub {
 public:
  DetectionHub() = default;
  DetectionHub(const DetectionHub&) = delete;
  DetectionHub& operator=(const DetectionHub&) = delete;

  // Ids start at 1 and are never given out twice.
  std::uint64_t subscribe(const std::string& stream_id, WebSocketConnection& socket);
  // Waits for a send in progress on that connection; afterwards the hub never touches it again.
  // An unknown id is ignored.
  void unsubscribe(std::uint64_t id);
  // Sends dump_json(message) to every subscriber whose stream id equals the message's string
  // "stream_id"; anything else is dropped silently. Send failures are ignored; a serialisation
  // failure propagates before anything is sent.
  void publish(const Json& message);
  // Closes every subscribed connection with status 1000; the subscriptions stay until their
  // handlers unsubscribe.
  void close_all();
  std::size_t subscriber_count(const std::string& stream_id) const;

 private:
  struct Subscriber {
    std::mutex mutex;  // serialises the sends and the close through the hub on this connection
    std::string stream_id;
    WebSocketConnection* socket = nullptr;  // null once unsubscribed
  };

  // The hub lock and a subscriber lock are never held together, so a slow send never blocks
  // publishers of other streams or new subscriptions.
  mutable std::mutex mutex_;
  std::unordered_map<std::uint64_t, std::shared_ptr<Subscriber>> subscribers_;
  std::uint64_t next_id_ = 1;
};

}  // namespace velmo::ai
