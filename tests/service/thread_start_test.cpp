// A thread the system refuses: every unit that starts threads fails cleanly, with the threads it
// got stopped and joined, instead of ending the process with joinable threads.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "foundation/errors.h"
#include "inference/inference_scheduler.h"
#include "service/http_transport.h"
#include "service/worker_pool.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

std::atomic<int> g_starts_left{0};
bool take_a_start() { return g_starts_left.fetch_sub(1) > 0; }

// While it lives, the first `allowed` thread starts go through and the rest are refused.
class RefusedThreadStarts {
 public:
  explicit RefusedThreadStarts(int allowed) {
    g_starts_left = allowed;
    thread_start_gate = &take_a_start;
  }
  ~RefusedThreadStarts() { thread_start_gate = nullptr; }
  RefusedThreadStarts(const RefusedThreadStarts&) = delete;
  RefusedThreadStarts& operator=(const RefusedThreadStarts&) = delete;
};

int thread_count() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

class NoEngine : public InferenceEngine {
 public:
  void warmup() override {}
  InferenceResult detect(const VideoFrame&, const std::optional<Rect>&) override { return {}; }
  std::string execution_provider() const override { return "CPUExecutionProvider"; }
  std::string model_name() const override { return "none"; }
  std::string model_version() const override { return "0"; }
};

TEST(ThreadStart, ARefusedStartUnwindsWhatWasStartedAndThrows) {
  struct Case {
    const char* what;
    int allowed;
    std::function<void()> start;
  };
  const Case cases[] = {
      {"pool, first thread", 0, [] { WorkerPool pool(4, "t-"); }},
      {"pool, third thread", 2, [] { WorkerPool pool(4, "t-"); }},
      // Four quick workers, then eight blocking ones: the refusal in each pool.
      {"transport, quick workers", 1,
       [] {
         HttpTransport transport{HttpRoutes{}};
         std::string error;
         transport.bind("127.0.0.1", 0, error);
       }},
      {"transport, blocking workers", 6,
       [] {
         HttpTransport transport{HttpRoutes{}};
         std::string error;
         transport.bind("127.0.0.1", 0, error);
       }},
      // The scheduler reports it as a failed start, as for an engine that cannot be built.
      {"scheduler worker", 0,
       [] {
         InferenceScheduler scheduler([] { return std::make_unique<NoEngine>(); }, 4);
         if (!scheduler.start()) {
           EXPECT_FALSE(scheduler.ready());
           throw ServiceUnavailable(scheduler.statistics().error);
         }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int before = thread_count();
    {
      RefusedThreadStarts refused(c.allowed);
      try {
        c.start();
        ADD_FAILURE() << "no failure";
      } catch (const ServiceUnavailable& e) {
        EXPECT_NE(std::string(e.what()).find("thread start refused"), std::string::npos) << e.what();
      }
    }
    EXPECT_TRUE(test::eventually([&] { return thread_count() == before; })) << thread_count() << " vs " << before;
  }
  // Nothing is left refused: a pool starts and runs its jobs.
  std::atomic<int> ran{0};
  {
    WorkerPool pool(2, "t-");
    pool.submit([&] { ++ran; });
  }
  EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace velmo::ai
