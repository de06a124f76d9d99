#include "analysis/tracker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmo::ai {
namespace {

constexpr std::int64_t T = 1'700'000'000'000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Detection det(double x, double y, double w, double h, double score = 0.9, std::string label = "person") {
  return Detection{std::move(label), score, Rect{x, y, w, h}};
}

// A person box of the given width at x; every box in a test shares its vertical extent.
Detection at(double x, double w = 0.1, double score = 0.9) { return det(x, 0.3, w, 0.4, score); }

const TrackObservation* find_by_x(const std::vector<TrackObservation>& obs, double x) {
  for (const auto& o : obs) {
    if (o.box.x == x) return &o;
  }
  return nullptr;
}

std::string only_id(const std::vector<TrackObservation>& obs) {
  EXPECT_EQ(obs.size(), 1u);
  return obs.empty() ? std::string() : obs.front().track_id;
}

TEST(Tracker, RejectsInvalidConfiguration) {
  const std::vector<TrackerConfig> bad = {
      {-0.1, 0.16, 2, 5000}, {1.1, 0.16, 2, 5000}, {kNaN, 0.16, 2, 5000},    {0.2, -0.01, 2, 5000},
      {0.2, 1.5, 2, 5000},   {0.2, kNaN, 2, 5000}, {0.2, 0.16, 0, 5000},     {0.2, 0.16, -1, 5000},
      {0.2, 0.16, 2, 0},     {0.2, 0.16, 2, -5},   {0.2, 0.16, 2, 5000, -1},
  };
  for (const auto& config : bad) {
    try {
      Tracker tracker(config);
      ADD_FAILURE() << "accepted min_iou " << config.min_iou << " max_center_distance " << config.max_center_distance
                    << " confirm_hits " << config.confirm_hits << " forget_after_ms " << config.forget_after_ms
                    << " coast_ms " << config.coast_ms;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "invalid tracker configuration");
    }
  }
  EXPECT_NO_THROW(Tracker({0.0, 0.0, 1, 1}));
  EXPECT_NO_THROW(Tracker({1.0, 1.0, 1, 1}));
  EXPECT_NO_THROW(Tracker({0.2, 0.16, 2, 5000, 0}));
}

TEST(Tracker, ConfirmsAtSecondConsecutiveMatch) {
  Tracker tracker(TrackerConfig{});
  auto first = tracker.update({at(0.3)}, T);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].track_id, "track-1");
  EXPECT_EQ(first[0].label, "person");
  EXPECT_EQ(first[0].hits, 1);
  EXPECT_FALSE(first[0].confirmed);

  auto second = tracker.update({at(0.31, 0.1, 0.7)}, T + 333);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].track_id, "track-1");
  EXPECT_EQ(second[0].hits, 2);
  EXPECT_TRUE(second[0].confirmed);
  EXPECT_DOUBLE_EQ(second[0].score, 0.7);
  EXPECT_DOUBLE_EQ(second[0].box.x, 0.31);  // the detection's box, not a prediction
}

TEST(Tracker, IdsFollowOpeningOrderAndAreNeverReused) {
  Tracker tracker(TrackerConfig{});
  auto obs = tracker.update({at(0.1, 0.1, 0.5), at(0.4, 0.1, 0.9), at(0.7, 0.1, 0.7)}, T);
  ASSERT_EQ(obs.size(), 3u);
  EXPECT_EQ(find_by_x(obs, 0.1)->track_id, "track-1");
  EXPECT_EQ(find_by_x(obs, 0.4)->track_id, "track-2");
  EXPECT_EQ(find_by_x(obs, 0.7)->track_id, "track-3");
  // Highest score first.
  EXPECT_EQ(obs[0].track_id, "track-2");
  EXPECT_EQ(obs[1].track_id, "track-3");
  EXPECT_EQ(obs[2].track_id, "track-1");

  EXPECT_TRUE(tracker.update({}, T + 5001).empty());  // all forgotten
  EXPECT_EQ(only_id(tracker.update({at(0.4)}, T + 5002)), "track-4");

  tracker.reset();
  EXPECT_EQ(only_id(tracker.update({at(0.4)}, T + 6000)), "track-1");
}

TEST(Tracker, OutputHoldsMatchedAndOpenedTracksOnly) {
  Tracker tracker(TrackerConfig{});
  tracker.update({at(0.1), at(0.7)}, T);
  // The track at 0.7 coasts; a new far-away person opens a track.
  auto obs = tracker.update({at(0.1, 0.1, 0.5), det(0.4, 0.0, 0.1, 0.1, 0.8)}, T + 300);
  ASSERT_EQ(obs.size(), 2u);
  EXPECT_EQ(obs[0].track_id, "track-3");
  EXPECT_FALSE(obs[0].confirmed);
  EXPECT_EQ(obs[1].track_id, "track-1");
  EXPECT_TRUE(obs[1].confirmed);

  EXPECT_TRUE(tracker.update({}, T + 600).empty());
}

TEST(Tracker, UnmatchedUpdateInTheSameMillisecondReportsNothing) {
  Tracker tracker(TrackerConfig{});
  ASSERT_EQ(tracker.update({at(0.3)}, T).size(), 1u);
  EXPECT_TRUE(tracker.update({}, T).empty());
}

struct AssociationCase {
  const char* name;
  double width;
  double shift;
  const char* label;
  bool associated;
};

TEST(Tracker, AssociationNeedsOverlapOrCloseCentre) {
  const AssociationCase cases[] = {
      // width (0.11 / 0.9) and shift 0.1 give IoU 0.1 at centre distance 0.1.
      {"low overlap, close centre", 0.11 / 0.9, 0.1, "person", true},
      // IoU 0.1 at centre distance 0.2: both tests fail.
      {"low overlap, far centre", 0.22 / 0.9, 0.2, "person", false},
      {"high overlap, far centre", 0.8, 0.2, "person", true},
      {"other label on the same box", 0.2, 0.0, "car", false},
  };
  for (const auto& c : cases) {
    Tracker tracker(TrackerConfig{});
    tracker.update({at(0.1, c.width)}, T);
    Detection moved = det(0.1 + c.shift, 0.3, c.width, 0.4, 0.9, c.label);
    auto obs = tracker.update({moved}, T + 333);
    ASSERT_EQ(obs.size(), 1u) << c.name;
    EXPECT_EQ(obs[0].track_id, c.associated ? "track-1" : "track-2") << c.name;
    EXPECT_EQ(obs[0].label, c.label) << c.name;
  }
}

TEST(Tracker, HigherPairScoreWinsAndTheOtherTrackCoasts) {
  Tracker tracker(TrackerConfig{});
  tracker.update({at(0.30, 0.2), at(0.38, 0.2)}, T);  // track-1, track-2
  // Against track-1: shift 0.01 (score about 2.9); against track-2: shift 0.07 (about 2.0).
  auto obs = tracker.update({at(0.31, 0.2)}, T + 333);
  ASSERT_EQ(obs.size(), 1u);
  EXPECT_EQ(obs[0].track_id, "track-1");
  EXPECT_EQ(obs[0].hits, 2);
}

TEST(Tracker, AssignsGreedilyByScoreAcrossAllPairs) {
  Tracker tracker(TrackerConfig{});
  tracker.update({at(0.30, 0.2), at(0.20, 0.2)}, T);  // track-1 at 0.30, track-2 at 0.20
  // The first detection prefers track-1, but the second fits track-1 better still; taking
  // detections in input order would pair them the wrong way round.
  auto obs = tracker.update({at(0.26, 0.2), at(0.31, 0.2)}, T + 333);
  ASSERT_EQ(obs.size(), 2u);
  EXPECT_EQ(find_by_x(obs, 0.31)->track_id, "track-1");
  EXPECT_EQ(find_by_x(obs, 0.26)->track_id, "track-2");
}

// Track-1 moves at 0.1 per second: matched at x 0.1 at T and at x 0.2 at T + 1 s.
Tracker moving_track(std::int32_t forget_after_ms = 5000) {
  TrackerConfig config;
  config.forget_after_ms = forget_after_ms;
  Tracker tracker(config);
  tracker.update({at(0.1)}, T);
  EXPECT_EQ(only_id(tracker.update({at(0.2)}, T + 1000)), "track-1");
  return tracker;
}

// Extrapolated for the coast (1 s), then held there: a detection 0.16 or less from the predicted
// centre is associated, one 0.17 away is not.
TEST(Tracker, CoastsForASecondThenWaitsWhereTheCoastLeftIt) {
  struct Case {
    const char* name;
    std::int32_t forget_after_ms;
    std::vector<std::int64_t> empty_updates;  // ms after the last match
    std::int64_t seen_after_ms;
    double x;
    const char* want;
  };
  const Case cases[] = {
      {"half a second on: 0.25", 5000, {}, 500, 0.4, "track-1"},
      {"five seconds on: held at 0.3", 5000, {}, 5000, 0.3, "track-1"},
      {"five seconds on: not at 0.7", 5000, {}, 5000, 0.47, "track-2"},
      {"updates while unseen move nothing", 5000, {500, 1000, 2000, 3000, 4000, 4500}, 5000, 0.3, "track-1"},
      {"a long forget keeps it in place", 60000, {1000, 20000, 40000}, 59000, 0.3, "track-1"},
      {"forgotten after the forget time", 60000, {1000, 20000, 40000}, 60001, 0.3, "track-2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tracker tracker = moving_track(c.forget_after_ms);
    for (const std::int64_t ms : c.empty_updates) EXPECT_TRUE(tracker.update({}, T + 1000 + ms).empty());
    EXPECT_EQ(only_id(tracker.update({at(c.x)}, T + 1000 + c.seen_after_ms)), c.want);
  }
}

TEST(Tracker, ForgetsOnlyAfterTheForgetTime) {
  {
    Tracker tracker(TrackerConfig{});
    tracker.update({at(0.3)}, T);
    tracker.update({}, T + 4000);
    auto obs = tracker.update({at(0.3)}, T + 5000);  // exactly the timeout: still matched
    ASSERT_EQ(obs.size(), 1u);
    EXPECT_EQ(obs[0].track_id, "track-1");
    EXPECT_EQ(obs[0].hits, 2);
  }
  {
    Tracker tracker(TrackerConfig{});
    tracker.update({at(0.3)}, T);
    tracker.update({}, T + 5001);
    auto obs = tracker.update({at(0.3)}, T + 5002);
    ASSERT_EQ(obs.size(), 1u);
    EXPECT_EQ(obs[0].track_id, "track-2");
    EXPECT_EQ(obs[0].hits, 1);
  }
  {
    // No update in between: a track lost by now is forgotten before it could be matched.
    Tracker tracker(TrackerConfig{});
    tracker.update({at(0.3)}, T);
    auto obs = tracker.update({at(0.3)}, T + 6000);
    ASSERT_EQ(obs.size(), 1u);
    EXPECT_EQ(obs[0].track_id, "track-2");
    EXPECT_FALSE(obs[0].confirmed);
  }
}

TEST(Tracker, MatchInTheSameMillisecondTakesVelocityOverOneMillisecond) {
  {
    Tracker tracker(TrackerConfig{});
    tracker.update({at(0.1, 0.05)}, T);
    auto same = tracker.update({at(0.102, 0.05)}, T);  // 0.002 in 1 ms: 2 per second
    ASSERT_EQ(same.size(), 1u);
    EXPECT_EQ(same[0].track_id, "track-1");
    EXPECT_TRUE(same[0].confirmed);
    // Predicted 0.2 further on after 100 ms.
    EXPECT_EQ(only_id(tracker.update({at(0.302, 0.05)}, T + 100)), "track-1");
  }
  {
    Tracker tracker(TrackerConfig{});
    tracker.update({at(0.1, 0.05)}, T);
    tracker.update({at(0.102, 0.05)}, T);
    EXPECT_EQ(only_id(tracker.update({at(0.102, 0.05)}, T + 100)), "track-2");
  }
}

TEST(Tracker, IgnoresDetectionsWithoutARealBox) {
  Tracker tracker(TrackerConfig{});
  const std::vector<Detection> junk = {
      det(kNaN, 0.3, 0.1, 0.4),      det(0.3, 0.3, kNaN, 0.4), det(0.3, 0.3, 0.1, kInf), det(0.3, 0.3, 0.1, 0.4, kNaN),
      det(0.3, 0.3, 0.1, 0.4, kInf), det(0.3, 0.3, 0.0, 0.4),  det(0.3, 0.3, 0.1, -0.4),
  };
  EXPECT_TRUE(tracker.update(junk, T).empty());

  std::vector<Detection> mixed = junk;
  mixed.push_back(at(0.3));
  auto obs = tracker.update(mixed, T + 100);
  ASSERT_EQ(obs.size(), 1u);
  EXPECT_EQ(obs[0].track_id, "track-1");  // no number spent on junk

  // Junk never matches or moves a live track.
  EXPECT_TRUE(tracker.update(junk, T + 200).empty());
  auto again = tracker.update({at(0.3)}, T + 300);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].track_id, "track-1");
  EXPECT_EQ(again[0].hits, 2);
}

}  // namespace
}  // namespace velmo::ai
