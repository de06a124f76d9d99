#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmo::ai::test {

struct HttpReply {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;

  // The first value of a header, matched without regard to case; empty when absent.
  std::string header(std::string_view name) const;
  bool has_header(std::string_view name) const;
};

struct HttpCall {
  std::string method = "GET";
  std::string target = "/";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::chrono::milliseconds timeout{10000};  // for each of connect, write and read
};

// One request on a fresh connection to 127.0.0.1:port; throws std::runtime_error when the
// connection, the write or the read fails or times out.
HttpReply http_call(int port, const HttpCall& call);
HttpReply http_get(int port, const std::string& target);

// Sends raw bytes and returns everything read until the server closes or the timeout passes.
std::string raw_exchange(int port, const std::string& bytes,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace velmo::ai::test
