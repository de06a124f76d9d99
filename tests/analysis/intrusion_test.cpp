#include "analysis/intrusion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmo::ai {
namespace {

constexpr std::int64_t T = 1'700'000'000'000;

// The square (0.25, 0.25)..(0.75, 0.75); every coordinate below is exact in binary.
const Polygon kSquare = {{0.25, 0.25}, {0.75, 0.25}, {0.75, 0.75}, {0.25, 0.75}};

ZoneRule make_rule(std::int32_t min_hits = 2, std::int32_t min_duration_ms = 1000, std::int32_t cooldown_ms = 30000,
                   std::int32_t lost_timeout_ms = 5000) {
  ZoneRule rule;
  rule.zones = {kSquare};
  rule.min_hits = min_hits;
  rule.min_duration_ms = min_duration_ms;
  rule.cooldown_ms = cooldown_ms;
  rule.lost_timeout_ms = lost_timeout_ms;
  return rule;
}

// A confirmed person whose feet stand at (feet_x, feet_y).
TrackObservation person(const std::string& id, double score = 0.9, double feet_x = 0.5, double feet_y = 0.5) {
  TrackObservation o;
  o.track_id = id;
  o.label = "person";
  o.score = score;
  o.box = Rect{feet_x - 0.0625, feet_y - 0.25, 0.125, 0.25};
  o.hits = 2;
  o.confirmed = true;
  return o;
}

// Both clocks at `t`: these cases measure and stamp on the same numbers.
Instant at(std::int64_t t) { return Instant{t, t}; }

std::vector<RuleEvent> feed(IntrusionRule& rule, const std::vector<TrackObservation>& obs, std::int64_t now) {
  return rule.update(obs, at(now));
}

// A rule with "p1" started at T + 1000 (seen at T and T + 1000).
IntrusionRule started_rule(ZoneRule config = make_rule()) {
  IntrusionRule rule(std::move(config));
  EXPECT_TRUE(feed(rule, {person("p1")}, T).empty());
  auto events = feed(rule, {person("p1")}, T + 1000);
  EXPECT_EQ(events.size(), 1u);
  return rule;
}

TEST(IntrusionRule, RejectsInvalidConfiguration) {
  std::vector<ZoneRule> bad;
  bad.push_back(make_rule());
  bad.back().type = static_cast<RuleType>(1);  // no rule type the parser makes
  bad.push_back(make_rule(0));
  bad.push_back(make_rule(2, -1));
  bad.push_back(make_rule(2, 1000, -1));
  bad.push_back(make_rule(2, 1000, 30000, 0));
  bad.push_back(make_rule());
  bad.back().zones.clear();
  for (auto& config : bad) {
    try {
      IntrusionRule rule(config);
      ADD_FAILURE() << "accepted type " << static_cast<int>(config.type) << " min_hits " << config.min_hits;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "invalid intrusion rule configuration");
    }
  }
  EXPECT_NO_THROW(IntrusionRule(make_rule(1, 0, 0, 1)));
}

TEST(IntrusionRule, InsideAnyZoneTestsTheFeet) {
  ZoneRule config = make_rule();
  config.zones = {{{0.0, 0.0}, {0.1, 0.1}}, kSquare};  // a two-point zone contains nothing
  IntrusionRule rule(config);
  EXPECT_TRUE(rule.inside_any_zone(person("a").box));
  // Feet exactly on the bottom edge and on a vertex count; just below does not.
  EXPECT_TRUE(rule.inside_any_zone(person("a", 0.9, 0.5, 0.75).box));
  EXPECT_TRUE(rule.inside_any_zone(person("a", 0.9, 0.75, 0.75).box));
  EXPECT_FALSE(rule.inside_any_zone(person("a", 0.9, 0.5, 0.765625).box));
  // Head inside, feet outside.
  EXPECT_FALSE(rule.inside_any_zone(Rect{0.4375, 0.5, 0.125, 0.375}));
  EXPECT_FALSE(rule.inside_any_zone(person("a", 0.9, 0.05, 0.05).box));
}

TEST(IntrusionRule, StartNeedsBothHitsAndDuration) {
  {
    IntrusionRule rule(make_rule(2, 1000));
    EXPECT_TRUE(feed(rule, {person("p1")}, T).empty());
    EXPECT_TRUE(feed(rule, {person("p1")}, T + 500).empty());  // 2 hits, only 500 ms
    auto events = feed(rule, {person("p1", 0.8)}, T + 1000);
    ASSERT_EQ(events.size(), 1u);
    const RuleEvent& e = events[0];
    EXPECT_EQ(e.event_type, "intrusion");
    EXPECT_EQ(e.event_state, EventState::started);
    EXPECT_EQ(e.label, "person");
    EXPECT_EQ(e.track_id, "p1");
    EXPECT_DOUBLE_EQ(e.score, 0.8);
    EXPECT_EQ(e.started_at, T + 1000);
    EXPECT_EQ(e.ended_at, 0);
    ASSERT_EQ(e.boxes.size(), 1u);
    EXPECT_EQ(e.boxes[0].label, "person");
    EXPECT_DOUBLE_EQ(e.boxes[0].score, 0.8);
    EXPECT_DOUBLE_EQ(e.boxes[0].box.x, person("p1").box.x);
  }
  {
    IntrusionRule rule(make_rule(2, 1000));
    EXPECT_TRUE(feed(rule, {person("p1")}, T).empty());
    EXPECT_EQ(feed(rule, {person("p1")}, T + 1000).size(), 1u);
    // Staying inside while active starts nothing more and never ends.
    for (std::int64_t t = T + 2000; t <= T + 60000; t += 1000) {
      EXPECT_TRUE(feed(rule, {person("p1")}, t).empty()) << t - T;
      EXPECT_TRUE(feed(rule, {}, t + 500).empty()) << t - T;
    }
  }
  {
    IntrusionRule rule(make_rule(3, 0));
    EXPECT_TRUE(feed(rule, {person("p1")}, T).empty());
    EXPECT_TRUE(feed(rule, {person("p1")}, T + 100).empty());
    EXPECT_EQ(feed(rule, {person("p1")}, T + 200).size(), 1u);
  }
}

TEST(IntrusionRule, PersonsStartingTogetherShareOneEvent) {
  IntrusionRule rule(make_rule(2, 1000));
  feed(rule, {person("low", 0.6, 0.3, 0.5), person("high", 0.9, 0.6, 0.5)}, T);
  auto events = feed(rule, {person("low", 0.6, 0.3, 0.5), person("high", 0.9, 0.6, 0.5)}, T + 1000);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_state, EventState::started);
  EXPECT_EQ(events[0].track_id, "high");
  EXPECT_DOUBLE_EQ(events[0].score, 0.9);
  ASSERT_EQ(events[0].boxes.size(), 2u);
  EXPECT_DOUBLE_EQ(events[0].boxes[0].score, 0.9);
  EXPECT_DOUBLE_EQ(events[0].boxes[1].score, 0.6);
  // Each box names its own person.
  EXPECT_EQ(events[0].boxes[0].track_id, "high");
  EXPECT_EQ(events[0].boxes[1].track_id, "low");
}

struct NonQualifyingCase {
  const char* name;
  TrackObservation observation;
};

std::vector<NonQualifyingCase> non_qualifying() {
  std::vector<NonQualifyingCase> cases;
  cases.push_back({"unconfirmed", person("p1")});
  cases.back().observation.confirmed = false;
  cases.push_back({"other label", person("p1")});
  cases.back().observation.label = "car";
  cases.push_back({"feet outside", person("p1", 0.9, 0.5, 0.875)});
  cases.push_back({"NaN score", person("p1", std::numeric_limits<double>::quiet_NaN())});
  cases.push_back({"NaN box", person("p1", 0.9, std::numeric_limits<double>::quiet_NaN(), 0.5)});
  return cases;
}

TEST(IntrusionRule, NonQualifyingObservationsNeitherCountNorRefresh) {
  for (const auto& c : non_qualifying()) {
    {
      IntrusionRule rule(make_rule(3, 0));
      EXPECT_TRUE(feed(rule, {person("p1")}, T).empty()) << c.name;
      EXPECT_TRUE(feed(rule, {c.observation}, T + 500).empty()) << c.name;
      EXPECT_TRUE(feed(rule, {person("p1")}, T + 1000).empty()) << c.name;  // only 2 hits
      EXPECT_EQ(feed(rule, {person("p1")}, T + 1500).size(), 1u) << c.name;
    }
    {
      IntrusionRule rule = started_rule();  // last inside T + 1000
      EXPECT_TRUE(feed(rule, {c.observation}, T + 4000).empty()) << c.name;
      auto events = feed(rule, {c.observation}, T + 6000);
      ASSERT_EQ(events.size(), 1u) << c.name;
      EXPECT_EQ(events[0].event_state, EventState::ended) << c.name;
    }
  }
}

struct GapCase {
  std::int32_t min_duration_ms;
  std::int64_t gap_ms;
  bool starts;
};

TEST(IntrusionRule, StayContinuesUpToTheGapLimitAndRestartsBeyond) {
  const GapCase cases[] = {
      {0, 1500, true}, {0, 1501, false}, {500, 1500, true}, {500, 1501, false}, {2000, 2500, true}, {2000, 2501, false},
  };
  for (const auto& c : cases) {
    IntrusionRule rule(make_rule(2, c.min_duration_ms));
    feed(rule, {person("p1")}, T);
    auto events = feed(rule, {person("p1")}, T + c.gap_ms);
    EXPECT_EQ(events.size(), c.starts ? 1u : 0u) << "min_duration " << c.min_duration_ms << " gap " << c.gap_ms;
  }
  // One sighting per key frame, a second apart give or take the stream's jitter: the stay goes on.
  IntrusionRule rule(make_rule(3, 2000));
  std::int64_t now = T;
  std::size_t started = 0;
  for (std::int64_t gap : {0, 1040, 1090, 1030}) {
    now += gap;
    started += feed(rule, {person("p1")}, now).size();
  }
  EXPECT_EQ(started, 1u);
}

// The dwell is only known to half the spacing of the sightings: a stay seen a second apart that
// falls a few ms short of a 1000 ms dwell starts now, not a second later; denser sightings get less.
TEST(IntrusionRule, DwellShortOfItByJitterStartsOnTheSightingThatCompletesIt) {
  {
    IntrusionRule rule(make_rule(2, 1000));
    feed(rule, {person("p1")}, T);
    EXPECT_EQ(feed(rule, {person("p1")}, T + 997).size(), 1u);
  }
  {
    IntrusionRule rule(make_rule(2, 1000));
    feed(rule, {person("p1")}, T);
    EXPECT_TRUE(feed(rule, {person("p1")}, T + 600).empty());  // 400 ms short: more than jitter
  }
  {
    IntrusionRule rule(make_rule(2, 1000));
    for (std::int64_t t = 0; t <= 800; t += 200) EXPECT_TRUE(feed(rule, {person("p1")}, T + t).empty()) << t;
    EXPECT_EQ(feed(rule, {person("p1")}, T + 990).size(), 1u);
  }
}

TEST(IntrusionRule, EndsAtTheLostTimeoutEvenWithoutObservations) {
  IntrusionRule rule = started_rule();
  feed(rule, {person("p1", 0.7, 0.375, 0.625)}, T + 2000);  // last inside, new score and box
  EXPECT_TRUE(feed(rule, {}, T + 6999).empty());
  auto events = feed(rule, {}, T + 7000);
  ASSERT_EQ(events.size(), 1u);
  const RuleEvent& e = events[0];
  EXPECT_EQ(e.event_type, "intrusion");
  EXPECT_EQ(e.event_state, EventState::ended);
  EXPECT_EQ(e.label, "person");
  EXPECT_EQ(e.track_id, "p1");
  EXPECT_DOUBLE_EQ(e.score, 0.7);
  EXPECT_EQ(e.started_at, T + 1000);
  EXPECT_EQ(e.ended_at, T + 7000);
  ASSERT_EQ(e.boxes.size(), 1u);
  EXPECT_DOUBLE_EQ(e.boxes[0].box.x, 0.3125);
  EXPECT_DOUBLE_EQ(e.boxes[0].box.y, 0.375);
  EXPECT_TRUE(feed(rule, {}, T + 8000).empty());  // ended once only
}

TEST(IntrusionRule, EndedEventGroupsPersonsUnderTheHighestScore) {
  IntrusionRule rule(make_rule(2, 1000));
  feed(rule, {person("a", 0.5, 0.3, 0.5)}, T);
  feed(rule, {person("a", 0.5, 0.3, 0.5), person("b", 0.8, 0.6, 0.5)}, T + 1000);  // a starts
  feed(rule, {person("b", 0.8, 0.6, 0.5)}, T + 2000);                              // b starts
  feed(rule, {person("a", 0.6, 0.3, 0.5), person("b", 0.8, 0.6, 0.5)}, T + 3000);
  auto events = feed(rule, {}, T + 8000);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_state, EventState::ended);
  EXPECT_EQ(events[0].track_id, "b");
  EXPECT_DOUBLE_EQ(events[0].score, 0.8);
  EXPECT_EQ(events[0].started_at, T + 1000);
  std::multiset<double> scores;
  for (const auto& d : events[0].boxes) scores.insert(d.score);
  EXPECT_EQ(scores, (std::multiset<double>{0.6, 0.8}));
}

TEST(IntrusionRule, EndedEventNamesTheHighestScoringPersonWhereverItIs) {
  // Map order is arbitrary, so the best person is put in each position in turn.
  for (int best = 0; best < 5; ++best) {
    for (bool by_flush : {false, true}) {
      IntrusionRule rule(make_rule(1, 0));
      std::vector<TrackObservation> crowd;
      for (int k = 0; k < 5; ++k) {
        crowd.push_back(person("p" + std::to_string(k), k == best ? 0.95 : 0.5 + 0.01 * k, 0.3 + 0.1 * k, 0.5));
      }
      ASSERT_EQ(feed(rule, crowd, T).size(), 1u);
      auto events = by_flush ? rule.flush(at(T + 100)) : feed(rule, {}, T + 5000);
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].track_id, "p" + std::to_string(best)) << (by_flush ? "flush" : "update");
      EXPECT_DOUBLE_EQ(events[0].score, 0.95);
      EXPECT_EQ(events[0].boxes.size(), 5u);
    }
  }
}

TEST(IntrusionRule, CooldownHoldsBackARestartOfTheSameTrack) {
  IntrusionRule rule = started_rule(make_rule(2, 1000, 30000, 5000));
  const std::int64_t ended = T + 6000;
  ASSERT_EQ(feed(rule, {}, ended).size(), 1u);
  for (std::int64_t t = ended + 1000; t < ended + 30000; t += 1000) {
    EXPECT_TRUE(feed(rule, {person("p1")}, t).empty()) << t - ended;
  }
  auto events = feed(rule, {person("p1")}, ended + 30000);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_state, EventState::started);
  EXPECT_EQ(events[0].started_at, ended + 30000);
}

TEST(IntrusionRule, CooldownOutlivesAnAbsenceLongerThanItself) {
  // Last inside at T + 1000, ended at T + 6000: unseen for more than the 30 s cooldown from
  // T + 31000 on, yet its cooldown runs until T + 36000.
  IntrusionRule rule = started_rule(make_rule(2, 1000, 30000, 5000));
  const std::int64_t ended = T + 6000;
  ASSERT_EQ(feed(rule, {}, ended).size(), 1u);
  for (std::int64_t t = ended + 1000; t <= ended + 27000; t += 1000) EXPECT_TRUE(feed(rule, {}, t).empty());
  for (std::int64_t t = ended + 28000; t < ended + 30000; t += 1000) {
    EXPECT_TRUE(feed(rule, {person("p1")}, t).empty()) << t - ended;
  }
  auto events = feed(rule, {person("p1")}, ended + 30000);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].started_at, ended + 30000);
}

TEST(IntrusionRule, OneCallCanStartAndEnd) {
  IntrusionRule rule = started_rule();  // p1 last inside T + 1000
  feed(rule, {person("p2", 0.7)}, T + 5000);
  auto events = feed(rule, {person("p2", 0.7)}, T + 6000);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event_state, EventState::started);
  EXPECT_EQ(events[0].track_id, "p2");
  EXPECT_EQ(events[1].event_state, EventState::ended);
  EXPECT_EQ(events[1].track_id, "p1");
}

TEST(IntrusionRule, FlushEndsEveryOpenIntrusionWithoutCooldown) {
  IntrusionRule rule(make_rule(2, 1000));
  EXPECT_TRUE(rule.flush(at(T)).empty());
  feed(rule, {person("a", 0.5, 0.3, 0.5)}, T);
  feed(rule, {person("a", 0.5, 0.3, 0.5), person("b", 0.8, 0.6, 0.5)}, T + 1000);
  feed(rule, {person("b", 0.8, 0.6, 0.5)}, T + 2000);

  auto events = rule.flush(at(T + 2500));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_state, EventState::ended);
  EXPECT_EQ(events[0].started_at, T + 1000);
  EXPECT_EQ(events[0].ended_at, T + 2500);
  EXPECT_EQ(events[0].track_id, "b");
  ASSERT_EQ(events[0].boxes.size(), 2u);
  EXPECT_EQ((std::set<std::string>{events[0].boxes[0].track_id, events[0].boxes[1].track_id}),
            (std::set<std::string>{"a", "b"}));

  EXPECT_TRUE(rule.flush(at(T + 2600)).empty());
  // No cooldown and the stay is kept: the next qualifying sighting starts again.
  auto again = feed(rule, {person("b", 0.8, 0.6, 0.5)}, T + 3000);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].event_state, EventState::started);
  EXPECT_EQ(again[0].started_at, T + 3000);
}

TEST(IntrusionRule, ResetForgetsEveryone) {
  IntrusionRule rule = started_rule();
  rule.reset();
  EXPECT_TRUE(rule.flush(at(T + 1500)).empty());
  EXPECT_TRUE(feed(rule, {person("p1")}, T + 2000).empty());  // a fresh stay: 1 hit
}

}  // namespace
}  // namespace velmo::ai
