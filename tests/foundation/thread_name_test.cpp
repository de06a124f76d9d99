#include "foundation/thread_name.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <thread>

namespace velmo::ai {
namespace {

std::string name_on_new_thread(const std::string& requested) {
  std::string seen;
  std::thread([&] {
    set_thread_name(requested);
    char buffer[64] = {};
    if (pthread_getname_np(pthread_self(), buffer, sizeof buffer) == 0) seen = buffer;
  }).join();
  return seen;
}

TEST(ThreadName, ShortNamesAreKeptAndLongOnesCutToFifteenBytesOnACharacterBoundary) {
  EXPECT_EQ(name_on_new_thread("sched"), "sched");
  EXPECT_EQ(name_on_new_thread("decode:cam-0123456789"), "decode:cam-0123");
  EXPECT_EQ(name_on_new_thread("exactly15bytes!"), "exactly15bytes!");
  // "é" is two bytes; a cut at 15 would split the one at offset 14.
  EXPECT_EQ(name_on_new_thread("analysis:abcde\xC3\xA9xyz"), "analysis:abcde");
  EXPECT_EQ(name_on_new_thread("analysis:abcd\xC3\xA9xyz"), "analysis:abcd\xC3\xA9");
  EXPECT_EQ(name_on_new_thread(std::string("sink\0tail", 9)), "sink");
}

}  // namespace
}  // namespace velmo::ai
