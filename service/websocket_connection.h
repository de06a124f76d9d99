#pragma once

#include <cstdint>
#include <string>

namespace velmo::ai {

// The close statuses this server sends (RFC 6455, 7.4.1).
inline constexpr std::uint16_t kCloseNormal = 1000;
inline constexpr std::uint16_t kClosePolicyViolation = 1008;
inline constexpr std::uint16_t kCloseInternalError = 1011;

// One open WebSocket connection as its users see it. Every member may be called from any thread
// and none waits on the peer.
class WebSocketConnection {
 public:
  virtual ~WebSocketConnection() = default;
  virtual bool is_open() const = 0;
  // Queues one message, sent later as one final text frame. False when it was not queued: the
  // connection is closing, or its send queue was full, in which case the connection is closed
  // with kClosePolicyViolation.
  virtual bool send_text(const std::string& text) = 0;
  // Starts the closing handshake; queued messages are dropped, and a peer that does not answer
  // within the close time-out is disconnected. Later calls do nothing.
  virtual void close(std::uint16_t status, const std::string& reason) = 0;
};

}  // namespace velmo::ai
