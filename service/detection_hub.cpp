#include "service/detection_hub.h"

#include <utility>
#include <vector>

namespace velmo::ai {

std::uint64_t DetectionHub::subscribe(const std::string& stream_id, WebSocketConnection& socket) {
  auto subscriber = std::make_shared<Subscriber>();
  subscriber->stream_id = stream_id;
  subscriber->socket = &socket;
  std::lock_guard lock(mutex_);
  const std::uint64_t id = next_id_++;
  subscriber->id = id;
  subscribers_.emplace(id, std::move(subscriber));
  return id;
}

void DetectionHub::unsubscribe(std::uint64_t id) {
  std::shared_ptr<Subscriber> subscriber;
  {
    std::lock_guard lock(mutex_);
    const auto it = subscribers_.find(id);
    if (it == subscribers_.end()) return;
    subscriber = std::move(it->second);
    subscribers_.erase(it);
  }
  std::lock_guard lock(subscriber->mutex);
  subscriber->socket = nullptr;
}

void DetectionHub::publish(const Json& message) {
  if (!message.is_object()) return;
  const auto member = message.find("stream_id");
  if (member == message.end() || !member->is_string()) return;
  const std::string stream_id = member->get<std::string>();
  const std::string text = dump_json(message);

  std::vector<std::shared_ptr<Subscriber>> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, subscriber] : subscribers_) {
      if (subscriber->stream_id == stream_id) targets.push_back(subscriber);
    }
  }
  std::vector<std::uint64_t> dropped;
  for (const auto& subscriber : targets) {
    std::lock_guard lock(subscriber->mutex);
    if (subscriber->socket == nullptr || !subscriber->socket->is_open()) continue;
    if (!subscriber->socket->send_text(text)) {
      // Its connection is closing (a full queue closes it with kClosePolicyViolation); its handler
      // still unsubscribes, which then finds nothing to do.
      subscriber->socket = nullptr;
      dropped.push_back(subscriber->id);
    }
  }
  if (dropped.empty()) return;
  std::lock_guard lock(mutex_);
  for (const std::uint64_t id : dropped) subscribers_.erase(id);
}

void DetectionHub::close_all() {
  std::vector<std::shared_ptr<Subscriber>> targets;
  {
    std::lock_guard lock(mutex_);
    targets.reserve(subscribers_.size());
    for (const auto& [id, subscriber] : subscribers_) targets.push_back(subscriber);
  }
  for (const auto& subscriber : targets) {
    std::lock_guard lock(subscriber->mutex);
    if (subscriber->socket != nullptr) subscriber->socket->close(kCloseNormal, "");
  }
}

std::size_t DetectionHub::subscriber_count(const std::string& stream_id) const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& [id, subscriber] : subscribers_) {
    if (subscriber->stream_id == stream_id) ++count;
  }
  return count;
}

}  // namespace velmo::ai
