// A thread the system refuses: every unit that starts threads fails cleanly, the threads it got
// stopped and joined, instead of ending the process with joinable threads.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/errors.h"
#include "service/http_transport.h"
#include "service/worker_pool.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

std::atomic<int> g_starts_left{0};

int thread_count() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

TEST(ThreadStart, ARefusedStartUnwindsWhatWasStartedAndThrows) {
  const auto bind = [] {
    HttpTransport transport{HttpRoutes{}};
    std::string error;
    transport.bind("127.0.0.1", 0, error);
  };
  // How many starts go through first, and what starts threads.
  const std::vector<std::pair<int, std::function<void()>>> cases = {
      {0, [] { WorkerPool pool(4, "t-"); }},
      {2, [] { WorkerPool pool(4, "t-"); }},
      {1, bind},  // among the four quick workers
      {6, bind},  // among the eight blocking ones
  };
  // A sanitizer starts a helper thread of its own with the process's first thread, and keeps it:
  // start one first, so that the counts below see only the units' threads.
  std::thread([] {}).join();
  thread_start_gate = [] { return g_starts_left.fetch_sub(1) > 0; };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const int before = thread_count();
    g_starts_left = cases[i].first;
    try {
      cases[i].second();
      ADD_FAILURE() << "no failure";
    } catch (const ServiceUnavailable& e) {
      EXPECT_STREQ(e.what(), "thread start refused: Resource temporarily unavailable");
    }
    EXPECT_TRUE(test::eventually([&] { return thread_count() == before; })) << thread_count() << " vs " << before;
  }
  thread_start_gate = nullptr;
}

}  // namespace
}  // namespace velmo::ai
