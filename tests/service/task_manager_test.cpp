#include "service/task_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/errors.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using ::testing::ElementsAre;

// What the fake runners did, in order: "make:<id>/<stream>", "start:...", "stop:...",
// "hand-over:<id>/<stream>><successor's id>/<stream>", "destroy:...".
class Journal {
 public:
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

// Lets a test hold a runner's stop() until it is opened.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

struct FakeBehaviour {
  bool throw_on_start = false;
  Gate* stop_gate = nullptr;  // stop() waits here when set
  std::atomic<bool>* stop_entered = nullptr;
  std::atomic<int>* stops_waiting = nullptr;  // counts the stops held at the gate
  bool report_failed = false;                 // snapshot() says the task failed
};

class FakeRunner final : public TaskRunner {
 public:
  FakeRunner(TaskConfig config, Journal& journal, FakeBehaviour behaviour)
      : config_(std::move(config)), journal_(journal), behaviour_(behaviour) {
    journal_.add("make:" + name());
  }
  ~FakeRunner() override {
    stop();
    journal_.add("destroy:" + name());
  }
  void start() override {
    journal_.add("start:" + name());
    if (behaviour_.throw_on_start) throw std::runtime_error("decoder refused");
    running_ = true;
  }
  void stop() override {
    if (!running_.exchange(false)) return;
    if (behaviour_.stop_entered) behaviour_.stop_entered->store(true);
    if (behaviour_.stops_waiting) ++*behaviour_.stops_waiting;
    if (behaviour_.stop_gate) behaviour_.stop_gate->wait();
    journal_.add("stop:" + name());
  }
  void stop_into(TaskRunner& successor) override {
    const bool was_running = running_;
    stop();
    // Read once stopped, when a DELETE may have taken the successor out meanwhile.
    const TaskConfig next = successor.snapshot().config;
    if (was_running) journal_.add("hand-over:" + name() + ">" + next.task_id + "/" + next.stream_id);
  }
  TaskSnapshot snapshot() const override {
    TaskSnapshot s;
    s.config = config_;
    s.phase = behaviour_.report_failed ? TaskPhase::failed : running_ ? TaskPhase::running : TaskPhase::idle;
    return s;
  }

 private:
  std::string name() const { return config_.task_id + "/" + config_.stream_id; }
  TaskConfig config_;
  Journal& journal_;
  FakeBehaviour behaviour_;
  std::atomic<bool> running_{false};
};

TaskConfig task(std::string id, std::string stream) {
  TaskConfig c;
  c.task_id = std::move(id);
  c.stream_id = std::move(stream);
  c.stream_url = "rtsp://127.0.0.1:8554/" + c.stream_id;
  return c;
}

template <typename E>
std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception type: ") + e.what();
  }
  return "no exception";
}

class TaskManagerTest : public ::testing::Test {
 protected:
  RunnerFactory factory() {
    return [this](const TaskConfig& config) -> std::unique_ptr<TaskRunner> {
      ++factory_calls;
      if (factory_throws) throw std::runtime_error("shared inference scheduler is not ready");
      if (factory_returns_null) return nullptr;
      return std::make_unique<FakeRunner>(config, journal, behaviour);
    };
  }

  // Registers `config` with a runner whose stop says it has begun (`entered`) and then waits for
  // `gate`; runners made later stop at once.
  void create_with_gated_stop(TaskManager& m, const TaskConfig& config, Gate& gate, std::atomic<bool>& entered) {
    behaviour.stop_gate = &gate;
    behaviour.stop_entered = &entered;
    m.create(config);
    behaviour.stop_gate = nullptr;
    behaviour.stop_entered = nullptr;
  }

  std::vector<std::string> ids(const std::vector<TaskSnapshot>& snapshots) {
    std::vector<std::string> out;
    for (const auto& s : snapshots) out.push_back(s.config.task_id);
    return out;
  }

  Journal journal;
  FakeBehaviour behaviour;
  std::atomic<int> factory_calls{0};
  bool factory_throws = false;
  bool factory_returns_null = false;
};

TEST_F(TaskManagerTest, RefusesZeroCapacityAndEmptyFactory) {
  EXPECT_EQ(message_of<InvalidInput>([&] { TaskManager m(0, factory()); }), "invalid task manager configuration");
  EXPECT_EQ(message_of<InvalidInput>([&] { TaskManager m(2, RunnerFactory{}); }), "invalid task manager configuration");
  TaskManager m(3, factory());
  EXPECT_EQ(m.capacity(), 3u);
  EXPECT_EQ(m.size(), 0u);
}

TEST_F(TaskManagerTest, CreateStartsAndRegistersTheRunner) {
  TaskManager m(2, factory());
  m.create(task("cam1", "s1"));
  EXPECT_THAT(journal.entries(), ElementsAre("make:cam1/s1", "start:cam1/s1"));
  auto snap = m.get("cam1");
  ASSERT_TRUE(snap.has_value());
  EXPECT_EQ(snap->config.stream_id, "s1");
  EXPECT_EQ(snap->phase, TaskPhase::running);
  EXPECT_FALSE(m.get("cam2").has_value());
  EXPECT_EQ(m.size(), 1u);
}

TEST_F(TaskManagerTest, CapacityOfOneFreesUpAfterRemove) {
  TaskManager m(1, factory());
  m.create(task("a", "s1"));
  EXPECT_EQ(message_of<TaskConflict>([&] { m.create(task("b", "s2")); }), "maximum active AI task count reached");
  EXPECT_EQ(factory_calls, 1);
  m.remove("a");
  m.create(task("b", "s2"));
  EXPECT_EQ(m.size(), 1u);
}

TEST_F(TaskManagerTest, ConflictsAreCheckedBeforeTheFactoryRuns) {
  TaskManager m(1, factory());
  m.create(task("a", "s1"));
  // The duplicate id is reported first, then the stream, then the capacity.
  EXPECT_EQ(message_of<TaskConflict>([&] { m.create(task("a", "s1")); }), "task_id already exists");
  EXPECT_EQ(message_of<TaskConflict>([&] { m.create(task("a", "s9")); }), "task_id already exists");
  EXPECT_EQ(message_of<TaskConflict>([&] { m.create(task("b", "s1")); }), "stream_id already has an active task");
  EXPECT_EQ(factory_calls, 1);
  EXPECT_EQ(m.size(), 1u);
}

TEST_F(TaskManagerTest, StreamConflictIgnoresThePhaseOfTheHolder) {
  behaviour.report_failed = true;
  TaskManager m(4, factory());
  m.create(task("a", "shared"));
  ASSERT_EQ(m.get("a")->phase, TaskPhase::failed);
  EXPECT_EQ(message_of<TaskConflict>([&] { m.create(task("b", "shared")); }), "stream_id already has an active task");
  // Stream ids compare byte for byte.
  m.create(task("b", "Shared"));
  m.create(task("c", "shared "));
  EXPECT_EQ(m.size(), 3u);
}

TEST_F(TaskManagerTest, FactoryFailuresLeaveNothingRegistered) {
  TaskManager m(2, factory());
  factory_throws = true;
  EXPECT_EQ(message_of<std::runtime_error>([&] { m.create(task("a", "s1")); }),
            "shared inference scheduler is not ready");
  factory_throws = false;
  factory_returns_null = true;
  EXPECT_EQ(message_of<ServiceUnavailable>([&] { m.create(task("a", "s1")); }), "task runner factory returned null");
  EXPECT_EQ(m.size(), 0u);
  factory_returns_null = false;
  m.create(task("a", "s1"));
  EXPECT_EQ(m.size(), 1u);
}

TEST_F(TaskManagerTest, RunnerWhoseStartThrowsIsDestroyedAndTheIdStaysFree) {
  TaskManager m(2, factory());
  behaviour.throw_on_start = true;
  EXPECT_EQ(message_of<std::runtime_error>([&] { m.create(task("a", "s1")); }), "decoder refused");
  EXPECT_THAT(journal.entries(), ElementsAre("make:a/s1", "start:a/s1", "destroy:a/s1"));
  EXPECT_EQ(m.size(), 0u);
  EXPECT_FALSE(m.get("a").has_value());
  behaviour.throw_on_start = false;
  m.create(task("a", "s1"));
  EXPECT_TRUE(m.get("a").has_value());
}

TEST_F(TaskManagerTest, ReplaceStartsTheNewRunnerBeforeStoppingTheOld) {
  TaskManager m(1, factory());
  m.create(task("a", "s1"));
  journal.clear();
  // The registry is full, and replace has no capacity test; keeping the stream is allowed.
  m.replace("a", task("a", "s1"));
  EXPECT_THAT(journal.entries(),
              ElementsAre("make:a/s1", "start:a/s1", "stop:a/s1", "hand-over:a/s1>a/s1", "destroy:a/s1"));
  EXPECT_EQ(m.size(), 1u);
  // Moving to a free stream is allowed too.
  EXPECT_EQ(m.replace("a", task("a", "s2")).config.stream_id, "s2");
  EXPECT_EQ(m.get("a")->config.stream_id, "s2");
  EXPECT_EQ(m.get("a")->phase, TaskPhase::running);
}

TEST_F(TaskManagerTest, ReplaceFailuresLeaveTheOldRunnerRunning) {
  TaskManager m(3, factory());
  m.create(task("a", "s1"));
  m.create(task("b", "s2"));
  factory_calls = 0;
  EXPECT_EQ(message_of<TaskNotFound>([&] { m.replace("zz", task("zz", "s9")); }), "task not found");
  EXPECT_EQ(message_of<TaskConflict>([&] { m.replace("a", task("a", "s2")); }), "stream_id already has an active task");
  EXPECT_EQ(factory_calls, 0);

  journal.clear();
  factory_returns_null = true;
  EXPECT_EQ(message_of<ServiceUnavailable>([&] { m.replace("a", task("a", "s3")); }),
            "task runner factory returned null");
  factory_returns_null = false;
  behaviour.throw_on_start = true;
  EXPECT_EQ(message_of<std::runtime_error>([&] { m.replace("a", task("a", "s3")); }), "decoder refused");
  EXPECT_THAT(journal.entries(), ElementsAre("make:a/s3", "start:a/s3", "destroy:a/s3"));
  auto snap = m.get("a");
  ASSERT_TRUE(snap.has_value());
  EXPECT_EQ(snap->config.stream_id, "s1");
  EXPECT_EQ(snap->phase, TaskPhase::running);
}

TEST_F(TaskManagerTest, RemoveStopsAndDestroysOnceThenReportsNotFound) {
  TaskManager m(2, factory());
  m.create(task("a", "s1"));
  journal.clear();
  m.remove("a");
  EXPECT_THAT(journal.entries(), ElementsAre("stop:a/s1", "destroy:a/s1"));
  EXPECT_EQ(message_of<TaskNotFound>([&] { m.remove("a"); }), "task not found");
  EXPECT_FALSE(m.get("a").has_value());
}

TEST_F(TaskManagerTest, ListSortsByTaskIdInByteOrder) {
  TaskManager m(8, factory());
  for (const char* id : {"cam", "Cam", "cam10", "ca", "cam1", "\xc3\xa9t\xc3\xa9", "Z"}) {
    m.create(task(id, std::string("stream-") + id));
  }
  EXPECT_THAT(ids(m.list()), ElementsAre("Cam", "Z", "ca", "cam", "cam1", "cam10", "\xc3\xa9t\xc3\xa9"));
}

TEST_F(TaskManagerTest, StopAllStopsTheRunnersSideBySide) {
  Gate gate;
  std::atomic<int> waiting{0};
  behaviour.stop_gate = &gate;
  behaviour.stops_waiting = &waiting;
  TaskManager m(4, factory());
  for (const char* id : {"a", "b", "c", "d"}) m.create(task(id, std::string("s-") + id));
  std::thread stopper([&] { m.stop_all(); });
  // Every stop is under way before any of them may finish.
  EXPECT_TRUE(test::eventually([&] { return waiting.load() == 4; }));
  EXPECT_EQ(m.size(), 0u);
  gate.open();
  stopper.join();
  const auto entries = journal.entries();
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                          [](const std::string& e) { return e.rfind("destroy:", 0) == 0; }),
            4);
}

TEST_F(TaskManagerTest, StopAllStopsEveryRunnerAndEmptiesTheRegistry) {
  TaskManager m(4, factory());
  m.stop_all();
  EXPECT_TRUE(journal.entries().empty());
  m.create(task("a", "s1"));
  m.create(task("b", "s2"));
  journal.clear();
  m.stop_all();
  auto entries = journal.entries();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "stop:a/s1"), 1);
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "stop:b/s2"), 1);
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "destroy:a/s1"), 1);
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "destroy:b/s2"), 1);
  // Every stop comes before the first destruction.
  EXPECT_EQ(entries[0].rfind("stop:", 0), 0u);
  EXPECT_EQ(entries[1].rfind("stop:", 0), 0u);
  EXPECT_EQ(m.size(), 0u);
  EXPECT_FALSE(m.get("a").has_value());
  EXPECT_TRUE(m.list().empty());
  m.create(task("a", "s1"));
  EXPECT_EQ(m.size(), 1u);
}

TEST_F(TaskManagerTest, DestructorStopsRunnersStillRegistered) {
  {
    TaskManager m(2, factory());
    m.create(task("a", "s1"));
    journal.clear();
  }
  EXPECT_THAT(journal.entries(), ElementsAre("stop:a/s1", "destroy:a/s1"));
}

TEST_F(TaskManagerTest, SlowStopDoesNotBlockOtherRequests) {
  Gate gate;
  std::atomic<bool> entered{false};
  TaskManager m(2, factory());
  create_with_gated_stop(m, task("a", "s1"), gate, entered);

  auto removal = std::async(std::launch::async, [&] { m.remove("a"); });
  ASSERT_TRUE(test::eventually([&] { return entered.load(); }));
  // While "a" is still stopping, the registry answers and accepts a task on the freed stream.
  EXPECT_EQ(m.size(), 0u);
  EXPECT_FALSE(m.get("a").has_value());
  m.create(task("b", "s1"));
  EXPECT_EQ(m.list().size(), 1u);
  gate.open();
  removal.get();
}

// The DELETE comes while the old runner stops: the PUT still answers with the replacement it
// started, and the old runner hands over to that replacement, which outlives the hand-over.
TEST_F(TaskManagerTest, AReplaceThatRacesARemoveAnswersWithTheReplacementItStarted) {
  Gate gate;
  std::atomic<bool> entered{false};
  TaskManager m(2, factory());
  create_with_gated_stop(m, task("a", "s1"), gate, entered);

  auto put = std::async(std::launch::async, [&] { return m.replace("a", task("a", "s2")); });
  ASSERT_TRUE(test::eventually([&] { return entered.load(); }));
  m.remove("a");
  gate.open();
  const TaskSnapshot answered = put.get();
  EXPECT_EQ(answered.config.stream_id, "s2");
  EXPECT_EQ(answered.phase, TaskPhase::running);
  EXPECT_FALSE(m.get("a").has_value());
  EXPECT_THAT(journal.entries(), ::testing::Contains("hand-over:a/s1>a/s2"));
}

TEST_F(TaskManagerTest, ConcurrentCreatesOfOneTaskRegisterItOnce) {
  TaskManager m(8, factory());
  std::atomic<int> created{0};
  std::atomic<int> conflicts{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      try {
        // Half use the same id, half the same stream under other ids.
        m.create(i % 2 == 0 ? task("same", "s") : task("other" + std::to_string(i), "s"));
        ++created;
      } catch (const std::length_error&) {
        ++conflicts;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created, 1);
  EXPECT_EQ(conflicts, 7);
  EXPECT_EQ(m.size(), 1u);
}

}  // namespace
}  // namespace velmo::ai
