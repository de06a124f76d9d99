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

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(RequestLog, AtMostTheCapInAnyOneSecondAndTheHeldBackAreCounted) {
  auto clock = std::make_shared<test::ManualClock>();
  RequestLog requests(3, clock);
  test::LogCapture capture;
  for (int i = 0; i < 5; ++i) requests.refused("POST", "/v1/tasks", 400, "invalid JSON: x");
  clock->advance(999);
  requests.failed("GET", "/v1/tasks", "snapshot failed");  // same second: held back too
  EXPECT_EQ(count_of(capture.text(), "msg="), 3);

  clock->advance(1);
  requests.failed("DELETE", "/v1/tasks/t1", "stop failed");
  requests.refused("GET", "/v1/tasks/t9", 404, "task not found");
  const std::string text = capture.text();
  EXPECT_EQ(count_of(text, "msg="), 5);
  EXPECT_THAT(text, HasSubstr("level=INFO msg=\"api: request refused\" method=\"POST\" route=\"/v1/tasks\" "
                              "status=\"400\" message=\"invalid JSON: x\"\n"));
  EXPECT_THAT(text, HasSubstr("level=ERROR msg=\"api: request failed\" method=\"DELETE\" route=\"/v1/tasks/t1\" "
                              "cause=\"stop failed\" suppressed=\"3\"\n"));
  // The count goes with one line only.
  EXPECT_THAT(text, HasSubstr("route=\"/v1/tasks/t9\" status=\"404\" message=\"task not found\"\n"));
}

TEST(RequestLog, WhatTheClientSentIsCut) {
  RequestLog requests(10, std::make_shared<test::ManualClock>());
  test::LogCapture capture;
  requests.refused(std::string(100, 'M'), "/" + std::string(1000, 'a'), 400, "invalid JSON: " + std::string(1000, 'x'));
  EXPECT_THAT(capture.text(), HasSubstr("method=\"" + std::string(16, 'M') + "...\" route=\"/" +
                                        std::string(255, 'a') + "...\" status=\"400\" message=\"invalid JSON: " +
                                        std::string(512 - 14, 'x') + "...\"\n"));
}

}  // namespace
}  // namespace velmo::ai
