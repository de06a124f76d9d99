#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/json.h"
#include "service/websocket_connection.h"

namespace velmo::ai {

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
  // Queues dump_json(message) on every subscriber whose stream id equals the message's string
  // "stream_id"; anything else is dropped silently. Never waits on a client: a subscriber that
  // cannot take the message (its connection is closing or fell behind) is removed. A
  // serialisation failure propagates before anything is sent.
  void publish(const Json& message);
  // Closes every subscribed connection with status 1000; the subscriptions stay until their
  // handlers unsubscribe.
  void close_all();
  std::size_t subscriber_count(const std::string& stream_id) const;

 private:
  struct Subscriber {
    std::mutex mutex;  // serialises the sends and the close through the hub on this connection
    std::uint64_t id = 0;
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
