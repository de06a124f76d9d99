// The HTTP and WebSocket transport on its own, on a loopback port, with raw sockets where the
// bytes on the wire matter and with the detection hub where publishing does.
#include "service/http_transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/json.h"
#include "service/detection_hub.h"
#include "tests/support/http_client.h"
#include "tests/support/test_support.h"
#include "tests/support/ws_client.h"

namespace velmo::ai {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Connects `fd` to the loopback port; false when it cannot.
bool connect_to(int fd, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A blocking loopback socket; -1 when it cannot connect.
int connect_raw(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0 && !connect_to(fd, port)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void send_all(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

// Reads until `enough` says so, the peer closes, or the time-out passes.
std::string read_until(int fd, const std::function<bool(const std::string&)>& enough,
                       std::chrono::milliseconds timeout) {
  std::string received;
  const auto deadline = Clock::now() + timeout;
  while (!enough(received) && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    received.append(chunk, static_cast<std::size_t>(n));
  }
  return received;
}

bool has_server_header(const std::string& head) {
  std::string lower = head.substr(0, head.find("\r\n\r\n"));
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower.find("\r\nserver:") != std::string::npos;
}

std::string upgrade_request(const std::string& target, const std::string& key, const std::string& version = "13") {
  return "GET " + target +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: " +
         key + "\r\nSec-WebSocket-Version: " + version + "\r\n\r\n";
}

class HttpTransportTest : public ::testing::Test {
 protected:
  void TearDown() override {
    release_held();
    stop();
  }

  void release_held() {
    if (std::exchange(released_, true)) return;
    release_.set_value();
  }

  void start() {
    HttpRoutes routes;
    routes.set_default_headers({{"X-Test", "yes"}});
    routes.add_route(HttpMethod::get, "/doc", [](const HttpRequest&, HttpResponse& res) {
      res.body = "hello world";
      res.content_type = "text/plain";
    });
    routes.add_route(HttpMethod::post, "/doc", [](const HttpRequest& req, HttpResponse& res) { res.body = req.body; });
    // Holds a quick worker until the test releases it.
    routes.add_route(HttpMethod::get, "/held", [this](const HttpRequest&, HttpResponse& res) {
      ++held_inside_;
      release_held_.wait();
      res.body = "released";
    });
    routes.add_route(
        HttpMethod::get, "/inline", [](const HttpRequest&, HttpResponse& res) { res.body = "inline"; },
        HttpRoutes::Pool::io);
    routes.add_websocket("/ws/([^/]+)",
                         [this](WebSocketConnection& connection, const std::vector<std::string>& captures) {
                           const std::uint64_t id = hub_.subscribe(captures.at(1), connection);
                           if (!greeting_.empty()) connection.send_text(greeting_);
                           return std::function<void()>([this, id] { hub_.unsubscribe(id); });
                         });
    transport_ = std::make_unique<HttpTransport>(std::move(routes), options_);
    std::string error;
    ASSERT_TRUE(transport_->bind("127.0.0.1", 0, error)) << error;
    port_ = transport_->local_port();
    runner_ = std::thread([this] { transport_->run(); });
  }

  // Returns how long the transport took to end.
  std::chrono::milliseconds stop() {
    if (!transport_) return 0ms;
    const auto began = Clock::now();
    transport_->stop();
    if (runner_.joinable()) runner_.join();
    transport_.reset();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
  }

  Json message(const std::string& stream, int seq, std::size_t padding) {
    return Json{{"stream_id", stream}, {"seq", seq}, {"padding", std::string(padding, 'p')}};
  }

  HttpTransportOptions options_;
  std::promise<void> release_;
  std::shared_future<void> release_held_ = release_.get_future().share();
  std::atomic<int> held_inside_{0};
  bool released_ = false;
  DetectionHub hub_;
  std::string greeting_;
  std::unique_ptr<HttpTransport> transport_;
  std::thread runner_;
  int port_ = 0;
};

TEST_F(HttpTransportTest, WireDetailsOfUpgradesFramesAndHead) {
  greeting_ = std::string(100000, 'x');
  start();

  // The 101 names no server, and a large message is one final, unmasked text frame.
  int fd = connect_raw(port_);
  ASSERT_GE(fd, 0);
  send_all(fd, upgrade_request("/ws/a", "dGhlIHNhbXBsZSBub25jZQ=="));
  const std::size_t frame = 2 + 8 + greeting_.size();
  const std::string got = read_until(
      fd,
      [&](const std::string& r) {
        const auto end = r.find("\r\n\r\n");
        return end != std::string::npos && r.size() >= end + 4 + frame;
      },
      10s);
  ::close(fd);
  ASSERT_NE(got.find("\r\n\r\n"), std::string::npos) << got;
  EXPECT_EQ(got.rfind("HTTP/1.1 101", 0), 0u) << got.substr(0, 200);
  EXPECT_NE(got.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
  EXPECT_NE(got.find("X-Test: yes"), std::string::npos);
  EXPECT_FALSE(has_server_header(got)) << got.substr(0, got.find("\r\n\r\n"));
  const std::string frames = got.substr(got.find("\r\n\r\n") + 4);
  ASSERT_GE(frames.size(), frame);
  EXPECT_EQ(static_cast<unsigned char>(frames[0]), 0x81);  // FIN, text
  EXPECT_EQ(static_cast<unsigned char>(frames[1]), 127);   // no mask, 64-bit length
  std::uint64_t length = 0;
  for (int i = 0; i < 8; ++i) length = length << 8 | static_cast<unsigned char>(frames[2 + i]);
  EXPECT_EQ(length, greeting_.size());

  // Upgrades the WebSocket library would refuse on its own are refused with this server's headers.
  struct Refusal {
    std::string request;
    std::string status;
  };
  const std::vector<Refusal> refusals = {
      {upgrade_request("/ws/a", "not-a-key"), "HTTP/1.1 400"},
      {upgrade_request("/ws/a", "AAAAAAAAAAAAAAAAAAAA"), "HTTP/1.1 400"},              // 15 bytes
      {upgrade_request("/ws/a", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"), "HTTP/1.1 400"},  // too long
      {upgrade_request("/ws/a", "dGhlIHNhbXBsZSBub25jZR=="), "HTTP/1.1 400"},          // stray bits
      {upgrade_request("/ws/a", "dGhlIHNhbXBsZSBub25jZQ==", "8"), "HTTP/1.1 426"},
  };
  for (const auto& refusal : refusals) {
    const std::string reply = test::raw_exchange(port_, refusal.request, 10s);
    EXPECT_EQ(reply.rfind(refusal.status, 0), 0u) << refusal.request << "\n" << reply;
    EXPECT_NE(reply.find("X-Test: yes"), std::string::npos) << reply;
    EXPECT_FALSE(has_server_header(reply)) << reply;
  }

  // HEAD is the GET route's answer without its body.
  const std::string head = test::raw_exchange(port_, "HEAD /doc HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 10s);
  EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Length: 11\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4) << head;
  EXPECT_FALSE(has_server_header(head));
  const std::string missing =
      test::raw_exchange(port_, "GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 10s);
  EXPECT_EQ(missing.rfind("HTTP/1.1 404", 0), 0u) << missing;
  EXPECT_FALSE(has_server_header(missing));
}

TEST_F(HttpTransportTest, InlineRoutesAreAnsweredWhileEveryQuickWorkerIsHeld) {
  options_.quick_workers = 3;
  start();
  std::vector<std::future<test::HttpReply>> held;
  for (std::size_t i = 0; i < options_.quick_workers; ++i) {
    held.push_back(std::async(std::launch::async, [this] { return test::http_get(port_, "/held"); }));
  }
  // Before the futures wait for their requests, should an assertion end the test early.
  struct OnExit {
    std::function<void()> run;
    ~OnExit() { run(); }
  } release_on_exit{[this] { release_held(); }};
  ASSERT_TRUE(test::eventually([&] { return held_inside_.load() == static_cast<int>(options_.quick_workers); }));

  // Loose: without a free worker it would never be answered before the release.
  test::HttpCall call;
  call.target = "/inline";
  call.timeout = 5s;
  test::HttpReply reply;
  EXPECT_NO_THROW(reply = test::http_call(port_, call));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "inline");

  release_held();
  for (auto& request : held) {
    const test::HttpReply released = request.get();
    EXPECT_EQ(released.status, 200);
    EXPECT_EQ(released.body, "released");
  }
}

TEST_F(HttpTransportTest, ASubscriberThatStopsReadingIsClosedWith1008AndNeverHoldsUpThePublisher) {
#if defined(__SANITIZE_THREAD__)
  // Instrumented, the reading client cannot take 64 KiB frames every 5 ms without pauses, nor the
  // stalled one read its way to the close frame in time.
  GTEST_SKIP() << "the clients cannot keep pace under ThreadSanitizer";
#endif
  options_.close_timeout = 20s;  // time for the stalled client to read its way to the close frame
  start();
  test::WsClientOptions stalled;
  stalled.read = false;
  stalled.receive_buffer = 4096;
  test::WsClient slow(port_, "/ws/cam", stalled);
  test::WsClient fast(port_, "/ws/cam");
  ASSERT_TRUE(test::eventually([&] { return hub_.subscriber_count("cam") == 2; }));

  constexpr int kMessages = 300;
  std::atomic<bool> publishing{true};
  std::atomic<long long> longest_publish_ms{0};
  auto publisher = std::async(std::launch::async, [&] {
    for (int i = 0; i < kMessages; ++i) {
      // Within half a send queue of the reading client, which a loaded or instrumented machine may
      // otherwise let fall a whole queue behind; never waiting for the stalled one.
      if (i >= 16 && !fast.wait_for_messages(i - 16, 30s)) break;
      const Json next = message("cam", i, 64 * 1024);
      const auto began = Clock::now();
      hub_.publish(next);
      const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
      longest_publish_ms = std::max(longest_publish_ms.load(), took);
      std::this_thread::sleep_for(5ms);
    }
    publishing = false;
  });

  // The reading client sees the stream flow on, without a pause while the other one stalls.
  std::size_t seen = 0;
  auto last_change = Clock::now();
  auto longest_gap = 0ms;
  while (publishing || seen < kMessages) {
    const std::size_t now_seen = fast.messages().size();
    const auto now = Clock::now();
    if (now_seen != seen) {
      longest_gap = std::max(longest_gap, std::chrono::duration_cast<std::chrono::milliseconds>(now - last_change));
      seen = now_seen;
      last_change = now;
    }
    if (now - last_change > 10s) break;
    std::this_thread::sleep_for(5ms);
  }
  publisher.get();
  EXPECT_EQ(seen, static_cast<std::size_t>(kMessages));
  // Loose bounds, for a loaded machine: a publisher held up by the stalled client would wait for
  // it without end, and the reader would see nothing until the 20 s close timeout.
  EXPECT_LT(longest_gap, 5000ms);
  EXPECT_LT(longest_publish_ms.load(), 2000);
  for (int i = 0; i < kMessages && i < static_cast<int>(fast.messages().size()); i += 37) {
    EXPECT_EQ(parse_json(fast.messages()[i]).at("seq"), i);
  }

  // The stalled one was let go: removed at once, and told why once it reads again.
  EXPECT_EQ(hub_.subscriber_count("cam"), 1u);
  slow.start_reading();
  ASSERT_TRUE(slow.wait_closed(20s));
  EXPECT_EQ(slow.close_code(), std::optional<std::uint16_t>(1008));
  EXPECT_LT(slow.messages().size(), static_cast<std::size_t>(kMessages));
}

// "32 messages behind" for small messages, which the socket buffers on the way would otherwise
// take by the thousand from a client that never reads: a message counts until the client's
// system has acknowledged it, so only what its own receive buffer took is on top of the limit.
TEST_F(HttpTransportTest, AClientThatNeverReadsIsClosedOnceTheQueueLimitIsUnacknowledged) {
  options_.close_timeout = 20s;  // time for the client to read its way to the close frame
  start();
  test::WsClientOptions stalled;
  stalled.read = false;
  stalled.receive_buffer = 4096;
  test::WsClient slow(port_, "/ws/cam", stalled);
  ASSERT_TRUE(test::eventually([&] { return hub_.subscriber_count("cam") == 1; }));

  constexpr int kMessages = 1000;
  constexpr std::size_t kPadding = 300;
  for (int i = 0; i < kMessages; ++i) {
    hub_.publish(message("cam", i, kPadding));
    std::this_thread::sleep_for(1ms);  // each write is taken before the next message, as at a camera's pace
  }
  EXPECT_EQ(hub_.subscriber_count("cam"), 0u);  // let go by the publish that found it behind
  slow.start_reading();
  ASSERT_TRUE(slow.wait_closed(20s));
  EXPECT_EQ(slow.close_code(), std::optional<std::uint16_t>(1008));
  // The limit, and a loose 64 KiB for what the client's system took while it did not read.
  const std::size_t bound = options_.websocket_queue_limit + 64 * 1024 / kPadding;
  EXPECT_LE(slow.messages().size(), bound);
}

TEST_F(HttpTransportTest, StopIsBoundedWhateverTheClientsDo) {
  options_.close_timeout = 1s;
  start();
  test::WsClientOptions stalled;
  stalled.read = false;
  stalled.receive_buffer = 4096;
  std::vector<std::unique_ptr<test::WsClient>> stuck;
  for (int i = 0; i < 4; ++i) stuck.push_back(std::make_unique<test::WsClient>(port_, "/ws/cam", stalled));
  test::WsClient reader(port_, "/ws/other");
  ASSERT_TRUE(
      test::eventually([&] { return hub_.subscriber_count("cam") == 4 && hub_.subscriber_count("other") == 1; }));
  // More than the socket buffers take, less than a full queue: every stuck client has a frame
  // half written when the server stops.
  for (int i = 0; i < 24; ++i) hub_.publish(message("cam", i, 256 * 1024));
  ASSERT_EQ(hub_.subscriber_count("cam"), 4u);

  // A client trickling a request body keeps its connection busy too.
  const int trickler = connect_raw(port_);
  send_all(trickler, "POST /doc HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nab");

  const auto took = stop();
  ::close(trickler);
  // Loose, ten times the close time-out: what it rules out is a stop that waits on the clients.
  EXPECT_LT(took, 10s);
  ASSERT_TRUE(reader.wait_closed(5s));
  EXPECT_EQ(reader.close_code(), std::optional<std::uint16_t>(1000));
  EXPECT_EQ(hub_.subscriber_count("cam"), 0u);
}

TEST_F(HttpTransportTest, ARequestMustArriveWholeWithinTheRequestTimeout) {
  options_.request_timeout = 1s;
  start();
  const int fd = connect_raw(port_);
  ASSERT_GE(fd, 0);
  send_all(fd, "POST /doc HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n");
  // One byte every 200 ms: each read is quick, the request as a whole is not.
  const auto began = Clock::now();
  bool closed = false;
  while (!closed && Clock::now() - began < 10s) {
    send_all(fd, "a");
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) > 0) {
      char byte;
      closed = ::recv(fd, &byte, 1, 0) <= 0;
    }
  }
  const auto held = Clock::now() - began;
  ::close(fd);
  EXPECT_TRUE(closed);
  EXPECT_LT(held, 5s);

  // A request that comes at once is served on the same terms.
  test::HttpCall call;
  call.method = "POST";
  call.target = "/doc";
  call.body = "echo";
  EXPECT_EQ(test::http_call(port_, call).body, "echo");
}

// Runs in the test process: descriptors are taken away from the whole process for a moment.
TEST_F(HttpTransportTest, AcceptPausesWhileTheProcessIsOutOfDescriptors) {
#if defined(__SANITIZE_ADDRESS__)
  // UBSan's dynamic-type check opens a descriptor to read memory; with none left it reports an
  // "invalid vptr" inside Boost.Asio that is not there.
  GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
  start();
  // run() starts its worker threads before it accepts: once a request is answered, they are up
  // and their start-up, slow under a sanitizer, is not counted against the accept loop below.
  test::HttpCall warm_up;
  warm_up.target = "/doc";
  ASSERT_EQ(test::http_call(port_, warm_up).body, "hello world");
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  int highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    highest = std::max(highest, std::stoi(entry.path().filename().string()));
  }
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(highest + 64);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

  // The client's socket is taken before the last descriptor goes, and connects after: its
  // connection then waits in the listen queue, and every accept of it fails.
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  std::vector<int> fillers;
  const int base = ::open("/dev/null", O_RDONLY);
  for (int fd = base; fd >= 0; fd = ::dup(base)) fillers.push_back(fd);
  const int exhausted = errno;
  const bool connected = client >= 0 && connect_to(client, port_);

  // The CPU time of the accept loop's own thread against the time that passed: a loop that spins
  // keeps its thread busy nearly all the time, one that pauses hardly at all, however slowly the
  // build runs and whatever the other threads do.
  clockid_t accept_cpu{};
  const bool has_cpu_clock = pthread_getcpuclockid(runner_.native_handle(), &accept_cpu) == 0;
  auto cpu_ns = [&] {
    timespec t{};
    clock_gettime(accept_cpu, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
  };
  const long long cpu_before = has_cpu_clock ? cpu_ns() : 0;
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(1s);
  const long long spent_ns = has_cpu_clock ? cpu_ns() - cpu_before : 0;
  const long long passed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - wall_before).count();

  for (const int fd : fillers) ::close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  ASSERT_TRUE(has_cpu_clock);
  ASSERT_EQ(exhausted, EMFILE);
  ASSERT_TRUE(connected);
  EXPECT_LT(spent_ns, passed_ns / 4) << "the accept loop spun";

  // The connection that waited is served once descriptors are free again.
  send_all(client, "GET /doc HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const std::string reply = read_until(
      client, [](const std::string& r) { return r.find("hello world") != std::string::npos; }, 10s);
  ::close(client);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
}

}  // namespace
}  // namespace velmo::ai
