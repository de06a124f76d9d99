#include "service/request_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/manual_clock.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using ::testing::HasSubstr;

TEST(RequestLog, AtMostTheCapInAnyOneSecondTheHeldBackCountedAndLongFieldsCut) {
  auto clock = std::make_shared<test::ManualClock>();
  RequestLog requests(3, clock);
  test::LogCapture capture;
  for (int i = 0; i < 5; ++i) requests.refused("POST", "/v1/tasks", 400, "invalid JSON: x");
  clock->advance(999);
  requests.failed("GET", "/v1/tasks", "snapshot failed");  // the same second: held back too
  EXPECT_EQ(capture.text().find("snapshot failed"), std::string::npos);
  clock->advance(1);
  requests.failed("DELETE", "/v1/tasks/t1", "stop failed");
  requests.refused(std::string(100, 'M'), "/" + std::string(999, 'a'), 400, std::string(999, 'x'));
  EXPECT_THAT(capture.text(), HasSubstr("level=INFO msg=\"api: request refused\" method=\"POST\" route=\"/v1/tasks\" "
                                        "status=\"400\" message=\"invalid JSON: x\"\n"));
  EXPECT_THAT(capture.text(), HasSubstr("level=ERROR msg=\"api: request failed\" method=\"DELETE\" "
                                        "route=\"/v1/tasks/t1\" cause=\"stop failed\" suppressed=\"3\"\n"));
  // The count goes with one line only; what the client chose, or a message quotes, is cut.
  EXPECT_THAT(capture.text(), HasSubstr("method=\"" + std::string(16, 'M') + "...\" route=\"/" + std::string(255, 'a') +
                                        "...\" status=\"400\" message=\"" + std::string(512, 'x') + "...\"\n"));
}

}  // namespace
}  // namespace velmo::ai
