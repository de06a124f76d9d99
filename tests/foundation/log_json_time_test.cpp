#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/clock.h"
#include "foundation/errors.h"
#include "foundation/json.h"
#include "foundation/log.h"
#include "foundation/time.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

// Runs `body` with standard error sent to a temporary file and returns what it wrote.
template <typename Body>
std::string capture_stderr(Body body) {
  test::TempDir dir;
  auto path = dir / "stderr.txt";
  FILE* f = std::fopen(path.c_str(), "w");
  int saved = dup(STDERR_FILENO);
  dup2(fileno(f), STDERR_FILENO);
  body();
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::fclose(f);
  return test::read_file(path);
}

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { set_log_level("info"); }
};

TEST_F(LogTest, LineFormat) {
  std::string out = capture_stderr([] {
    log(LogLevel::info, "task: analysis started", {{"task_id", "t1"}, {"n", "3"}});
  });
  std::regex re(
      R"re(^time="\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z" level=INFO msg="task: analysis started" task_id="t1" n="3"\n$)re");
  EXPECT_TRUE(std::regex_match(out, re)) << out;
}

TEST_F(LogTest, EscapingKeepsOneLine) {
  std::string out = capture_stderr([] {
    log(LogLevel::error, "a\"b\\c\td\re\nf", {{"we=ird key", "x\ny"}, {"empty", ""}});
  });
  auto pos = out.find(" level=ERROR msg=");
  ASSERT_NE(pos, std::string::npos) << out;
  EXPECT_EQ(out.substr(pos), " level=ERROR msg=\"a\\\"b\\\\c\\td\\re\\nf\" we=ird key=\"x\\ny\" empty=\"\"\n");
}

TEST_F(LogTest, NoFieldsEndsAfterMessage) {
  std::string out = capture_stderr([] { log(LogLevel::warn, "cli: shutdown requested"); });
  EXPECT_NE(out.find(" level=WARN msg=\"cli: shutdown requested\"\n"), std::string::npos);
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find('\n'), out.size() - 1);
}

TEST_F(LogTest, Threshold) {
  set_log_level("WARN");
  EXPECT_EQ(log_level(), LogLevel::warn);
  std::string out = capture_stderr([] {
    log(LogLevel::debug, "d");
    log(LogLevel::info, "i");
    log(LogLevel::warn, "w");
    log(LogLevel::error, "e");
  });
  EXPECT_EQ(out.find("msg=\"d\""), std::string::npos);
  EXPECT_EQ(out.find("msg=\"i\""), std::string::npos);
  EXPECT_NE(out.find("level=WARN msg=\"w\""), std::string::npos);
  EXPECT_NE(out.find("level=ERROR msg=\"e\""), std::string::npos);

  set_log_level("debug");
  EXPECT_EQ(log_level(), LogLevel::debug);
  set_log_level("Error");
  EXPECT_EQ(log_level(), LogLevel::error);
  set_log_level("");
  EXPECT_EQ(log_level(), LogLevel::info);
  set_log_level("verbose");
  EXPECT_EQ(log_level(), LogLevel::info);
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
  std::string out = capture_stderr([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i)
          log(LogLevel::info, "test: line", {{"thread", std::to_string(t)}, {"pad", std::string(300, 'a' + t)}});
      });
    }
    for (auto& th : threads) th.join();
  });
  std::regex line_re(R"re(^time="[^"]+" level=INFO msg="test: line" thread="(\d)" pad="([a-h])\2{299}"$)re");
  size_t start = 0, lines = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = out.substr(start, end - start);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_re)) << line.substr(0, 120);
    EXPECT_EQ(m[2].str()[0], 'a' + std::stoi(m[1].str()));
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 1600u);
}

TEST(Iso8601, Formatting) {
  EXPECT_EQ(iso8601_utc(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(iso8601_utc(1005), "1970-01-01T00:00:01.005Z");
  EXPECT_EQ(iso8601_utc(1700000000123), "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(iso8601_utc(951782400000 + 86399999), "2000-02-29T23:59:59.999Z");
  // Before the epoch the milliseconds stay in 0..999.
  EXPECT_EQ(iso8601_utc(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(iso8601_utc(-1000), "1969-12-31T23:59:59.000Z");
}

TEST(Clocks, WallClockIsUnixMillisAndSteadyIsMonotonic) {
  std::int64_t wall = unix_millis();
  EXPECT_GT(wall, 1600000000000);  // after 2020
  std::int64_t a = steady_millis();
  std::int64_t b = steady_millis();
  EXPECT_LE(a, b);
}

// The coarse reading is the same clock a tick late: never ahead, and not far behind (a kernel tick
// is 1 to 10 ms; the bound leaves room for a descheduled thread).
TEST(Clocks, CoarseSteadyIsTheSteadyClockAtMostATickLate) {
  const Clock& clock = *system_clock();
  for (int i = 0; i < 1000; ++i) {
    const std::int64_t before = clock.steady_ms();
    const std::int64_t coarse = clock.coarse_steady_ms();
    const std::int64_t after = clock.steady_ms();
    ASSERT_LE(coarse, after) << i;
    ASSERT_GE(coarse, before - 50) << i;
  }
}

TEST(Json, ParseStrictly) {
  EXPECT_EQ(parse_json(" {\"a\": [1, 2.5, \"x\"]} \n")["a"][1].get<double>(), 2.5);
  for (const char* bad : {"", "{\"a\":1} // c", "/* c */ {}", "{} {}", "[1,]", "{'a':1}"}) {
    try {
      parse_json(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const InvalidInput& e) {
      EXPECT_EQ(std::string(e.what()).rfind("invalid JSON: ", 0), 0u) << e.what();
    }
  }
}

TEST(Json, DumpSortedCompactUtf8) {
  Json doc = Json::object();
  doc["zeta"] = 1;
  doc["alpha"] = Json::array({1.5, 45.0, 0.1});
  doc["Beta"] = "caf\xC3\xA9";
  EXPECT_EQ(dump_json(doc), "{\"Beta\":\"caf\xC3\xA9\",\"alpha\":[1.5,45.0,0.1],\"zeta\":1}");
  Json bad = std::string("\xFF\xFE");
  EXPECT_THROW(dump_json(bad), nlohmann::json::type_error);
}

}  // namespace
}  // namespace velmo::ai
