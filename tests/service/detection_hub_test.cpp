// The hub against recording connections: matching, serialisation, lock rules around sends.
#include "service/detection_hub.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using namespace std::chrono_literals;

class RecordingConnection : public WebSocketConnection {
 public:
  bool is_open() const override { return open_.load(); }

  bool send_text(const std::string& text) override {
    {
      std::unique_lock lock(mutex_);
      ++sends_started_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return !blocking_; });
      sent_.push_back(text);
    }
    return send_result_;
  }

  void close(std::uint16_t status, const std::string& reason) override {
    std::lock_guard lock(mutex_);
    closes_.emplace_back(status, reason);
    open_ = false;
  }

  std::vector<std::string> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  std::vector<std::pair<std::uint16_t, std::string>> closes() const {
    std::lock_guard lock(mutex_);
    return closes_;
  }
  void set_open(bool open) { open_ = open; }
  void set_send_result(bool result) { send_result_ = result; }
  // While blocked, every send waits inside send_text until release().
  void block() {
    std::lock_guard lock(mutex_);
    blocking_ = true;
  }
  void release() {
    std::lock_guard lock(mutex_);
    blocking_ = false;
    changed_.notify_all();
  }
  bool wait_for_send_started(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return sends_started_ >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> open_{true};
  std::atomic<bool> send_result_{true};
  bool blocking_ = false;
  int sends_started_ = 0;
  std::vector<std::string> sent_;
  std::vector<std::pair<std::uint16_t, std::string>> closes_;
};

Json detections(const std::string& stream_id) {
  return Json{{"type", "detections"}, {"stream_id", stream_id}, {"objects", Json::array()}};
}

TEST(DetectionHubTest, IdsCountFromOneAndAreNeverReused) {
  DetectionHub hub;
  RecordingConnection a, b, c;
  EXPECT_EQ(hub.subscribe("cam", a), 1u);
  EXPECT_EQ(hub.subscribe("cam", b), 2u);
  hub.unsubscribe(2);
  EXPECT_EQ(hub.subscribe("cam", c), 3u);
  EXPECT_EQ(hub.subscriber_count("cam"), 2u);
}

TEST(DetectionHubTest, MessageReachesExactlyTheSubscribersOfItsStream) {
  DetectionHub hub;
  RecordingConnection first, second, other;
  hub.subscribe("cam-1", first);
  hub.subscribe("cam-1", second);
  hub.subscribe("cam-2", other);

  hub.publish(detections("cam-1"));
  const std::string expected = R"({"objects":[],"stream_id":"cam-1","type":"detections"})";
  EXPECT_EQ(first.sent(), std::vector<std::string>{expected});
  EXPECT_EQ(second.sent(), std::vector<std::string>{expected});
  EXPECT_TRUE(other.sent().empty());

  hub.publish(detections("CAM-1"));
  hub.publish(detections("cam-"));
  hub.publish(detections("cam-1 "));
  EXPECT_EQ(first.sent().size(), 1u);
  EXPECT_EQ(second.sent().size(), 1u);
  EXPECT_TRUE(other.sent().empty());
}

TEST(DetectionHubTest, MessagesWithoutAStringStreamIdAreDropped) {
  DetectionHub hub;
  RecordingConnection connection;
  hub.subscribe("7", connection);
  const std::vector<Json> messages = {
      Json{{"stream_id", 7}},       Json::array({"stream_id", "7"}), Json{{"type", "detections"}}, Json("7"), Json(),
      Json{{"stream_id", nullptr}},
  };
  for (const auto& message : messages) {
    EXPECT_NO_THROW(hub.publish(message)) << message.dump();
  }
  EXPECT_TRUE(connection.sent().empty());
}

TEST(DetectionHubTest, SerialisationFailureReachesThePublisherEvenWithoutSubscribers) {
  DetectionHub hub;
  Json bad = detections("cam");
  bad["label"] = std::string("\xff\xfe");
  EXPECT_THROW(hub.publish(bad), nlohmann::json::type_error);

  RecordingConnection connection;
  hub.subscribe("cam", connection);
  EXPECT_THROW(hub.publish(bad), nlohmann::json::type_error);
  EXPECT_TRUE(connection.sent().empty());
}

TEST(DetectionHubTest, UnsubscribeOfUnknownOrRemovedIdsDoesNothing) {
  DetectionHub hub;
  RecordingConnection connection;
  const auto id = hub.subscribe("cam", connection);
  hub.unsubscribe(id + 100);
  hub.unsubscribe(0);
  EXPECT_EQ(hub.subscriber_count("cam"), 1u);
  hub.unsubscribe(id);
  hub.unsubscribe(id);
  EXPECT_EQ(hub.subscriber_count("cam"), 0u);
  hub.publish(detections("cam"));
  EXPECT_TRUE(connection.sent().empty());
}

TEST(DetectionHubTest, ClosedConnectionsAreSkippedAndARefusedSendRemovesTheSubscriber) {
  DetectionHub hub;
  RecordingConnection closed, failing, healthy;
  closed.set_open(false);
  failing.set_send_result(false);
  hub.subscribe("cam", closed);
  hub.subscribe("cam", failing);
  hub.subscribe("cam", healthy);
  hub.publish(detections("cam"));
  hub.publish(detections("cam"));
  EXPECT_TRUE(closed.sent().empty());
  EXPECT_EQ(failing.sent().size(), 1u);
  EXPECT_EQ(healthy.sent().size(), 2u);
  EXPECT_EQ(hub.subscriber_count("cam"), 2u);
}

TEST(DetectionHubTest, CloseAllClosesWithNormalStatusAndKeepsTheEntries) {
  DetectionHub hub;
  RecordingConnection a, b;
  hub.subscribe("cam", a);
  const auto b_id = hub.subscribe("other", b);
  hub.unsubscribe(b_id);

  hub.close_all();
  using Close = std::pair<std::uint16_t, std::string>;
  EXPECT_EQ(a.closes(), std::vector<Close>{Close(1000, "")});
  EXPECT_TRUE(b.closes().empty());  // already unsubscribed
  EXPECT_EQ(hub.subscriber_count("cam"), 1u);
  hub.publish(detections("cam"));
  EXPECT_TRUE(a.sent().empty());
}

TEST(DetectionHubTest, UnsubscribeWaitsForTheSendInProgress) {
  DetectionHub hub;
  RecordingConnection connection;
  const auto id = hub.subscribe("cam", connection);
  connection.block();
  auto publisher = std::async(std::launch::async, [&] { hub.publish(detections("cam")); });
  ASSERT_TRUE(connection.wait_for_send_started(1));

  std::atomic<bool> unsubscribed{false};
  std::thread remover([&] {
    hub.unsubscribe(id);
    unsubscribed = true;
  });
  // The entry leaves the map at once; the detach waits for the send.
  ASSERT_TRUE(test::eventually([&] { return hub.subscriber_count("cam") == 0; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(unsubscribed.load());
  connection.release();
  remover.join();
  publisher.get();
  EXPECT_TRUE(unsubscribed.load());
  EXPECT_EQ(connection.sent().size(), 1u);

  hub.publish(detections("cam"));
  EXPECT_EQ(connection.sent().size(), 1u);
}

TEST(DetectionHubTest, ASendThatHangsHoldsUpNeitherOtherStreamsNorSubscriptions) {
  DetectionHub hub;
  RecordingConnection stuck, other;
  hub.subscribe("slow", stuck);
  hub.subscribe("fast", other);
  stuck.block();
  auto publisher = std::async(std::launch::async, [&] { hub.publish(detections("slow")); });
  ASSERT_TRUE(stuck.wait_for_send_started(1));

  hub.publish(detections("fast"));
  EXPECT_EQ(other.sent().size(), 1u);
  RecordingConnection late;
  const auto id = hub.subscribe("slow", late);
  EXPECT_EQ(hub.subscriber_count("slow"), 2u);
  hub.unsubscribe(id);

  stuck.release();
  publisher.get();
  EXPECT_EQ(stuck.sent().size(), 1u);
}

TEST(DetectionHubTest, ConcurrentPublishersReachEachSubscriberWholeAndInOrder) {
  DetectionHub hub;
  RecordingConnection a, b;
  hub.subscribe("cam", a);
  hub.subscribe("cam", b);
  constexpr int kPerThread = 200;
  auto run = [&](int thread) {
    for (int i = 0; i < kPerThread; ++i) {
      Json message = detections("cam");
      message["seq"] = thread * 1000 + i;
      hub.publish(message);
    }
  };
  std::thread t1(run, 1), t2(run, 2);
  t1.join();
  t2.join();
  for (const auto* connection : {&a, &b}) {
    const auto sent = connection->sent();
    ASSERT_EQ(sent.size(), 2u * kPerThread);
    int last1 = -1, last2 = -1;
    for (const auto& text : sent) {
      const int seq = parse_json(text).at("seq").get<int>();
      int& last = seq >= 2000 ? last2 : last1;
      EXPECT_GT(seq % 1000, last);
      last = seq % 1000;
    }
  }
}

}  // namespace
}  // namespace velmo::ai
