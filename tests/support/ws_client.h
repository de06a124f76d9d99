#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmo::ai::test {

struct WsClientOptions {
  // false: the client completes the handshake and then never reads, like a peer that hung.
  bool read = true;
  // Socket receive buffer in bytes, set before connecting; 0 leaves the system's.
  int receive_buffer = 0;
  std::chrono::milliseconds handshake_timeout{10000};
};

// A WebSocket client on 127.0.0.1 that collects every text message on a thread of its own.
class WsClient {
 public:
  // Throws std::runtime_error when the connection or the handshake fails; the status of a
  // refused upgrade is in the message.
  WsClient(int port, const std::string& target, WsClientOptions options = {});
  ~WsClient();
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  std::vector<std::string> messages() const;
  bool wait_for_messages(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;
  // For a client made with read = false: begins reading now, what the socket holds first.
  void start_reading();
  void send_text(const std::string& text);
  void send_binary(const std::string& bytes);
  // Starts a client-side close with status 1000.
  void close();
  // True once the connection has ended (a close frame from the server, or a failure).
  bool wait_closed(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;
  // The status of the server's close frame, when one arrived.
  std::optional<std::uint16_t> close_code() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace velmo::ai::test
