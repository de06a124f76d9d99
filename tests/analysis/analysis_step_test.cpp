#include "analysis/analysis_step.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "foundation/json.h"
#include "tests/support/manual_clock.h"
#include "tests/support/test_models.h"

namespace velmo::ai {
namespace {

constexpr std::int64_t kWall = 1'700'000'000'000;
const Detection kLeft{"person", 0.9, Rect{0.125, 0.25, 0.125, 0.5}};
const Detection kRight{"person", 0.8, Rect{0.625, 0.25, 0.125, 0.5}};

// Reacts to the block at once, holds a change 1 s; people anywhere are intruders after two
// sightings and lost after 1 s. Idle 1 fps, active and inference 5 fps.
TaskConfig task() {
  const Json zone = Json::array({Json::array({{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}})});
  return parse_task_config(Json{
      {"task_id", "cam"}, {"stream_id", "s"}, {"stream_url", "rtsp://127.0.0.1:1/live"}, {"fps", 5},
      {"scene", {{"change_threshold", 0.002}, {"blur_threshold", 0.0}, {"trigger_ms", 0}, {"hold_ms", 1000}}},
      {"rules", Json::array({{{"type", "intrusion"}, {"zones", zone}, {"min_duration_ms", 0}, {"min_hits", 2},
                              {"cooldown_ms", 0}, {"lost_timeout_ms", 1000}}})}});
}

AiConfig ai() {
  AiConfig ai;
  ai.inference_fps = 5;
  ai.active_fps = 5;
  ai.idle_fps = 1;
  return ai;
}

struct Played {
  std::vector<AnalysisEvent> events;
  std::vector<std::int64_t> runs;  // the detections messages' timestamps
};

// Every 200 ms from 0 to 4000: an empty picture at 0 (the baseline), the block from 1000 to 2800,
// empty pictures after; both people until 1400, the left one until 2800. The wall clock steps by
// `step_ms` just before the iteration at `step_at`.
Played play(std::int64_t step_at = 0, std::int64_t step_ms = 0) {
  test::ManualClock clock(kWall);
  std::vector<Detection> people;
  AnalysisStep step(task(), ai(), [&](VideoFrame, const std::optional<Rect>&) {
    return InferenceResult{people, 1.0, "CPUExecutionProvider", "scripted", "1"};
  });
  Played out;
  for (std::int64_t t = 0; t <= 4000; t += 200) {
    if (t > 0) clock.advance(200);
    if (t == step_at) clock.step_wall(step_ms);
    people = t < 1000 ? std::vector<Detection>{} : t <= 1400 ? std::vector{kLeft, kRight}
           : t <= 2800 ? std::vector{kLeft} : std::vector<Detection>{};
    const bool block = t >= 1000 && t <= 2800;
    StepResult r = step.run(test::frame_with_rectangle(320, 180, 100, 60, block ? 130 : 100, 120), instant_of(clock));
    EXPECT_EQ(r.failure + r.inference_error, "") << t;
    for (AnalysisEvent& e : r.events) out.events.push_back(std::move(e));
    if (r.run) out.runs.push_back(r.run->timestamp);
  }
  for (AnalysisEvent& e : step.close(instant_of(clock))) out.events.push_back(std::move(e));
  return out;
}

std::vector<std::string> ids(const RuleEvent& e) {
  std::vector<std::string> out;
  for (const PersonBox& b : e.boxes) out.push_back(b.track_id);
  return out;
}

TEST(AnalysisStep, TwoPeopleStartTogetherAndEndApart) {
  const Played p = play();
  ASSERT_EQ(p.events.size(), 5u);
  const auto& scene_started = std::get<SceneEvent>(p.events[0]);
  EXPECT_EQ(scene_started.state, EventState::started);
  EXPECT_EQ(scene_started.started_at, kWall + 1000);
  const auto& started = std::get<RuleEvent>(p.events[1]);
  EXPECT_EQ(started.event_state, EventState::started);
  EXPECT_EQ(started.started_at, kWall + 1400) << "the second confirmed sighting";
  EXPECT_EQ(ids(started), (std::vector<std::string>{"track-1", "track-2"}));
  EXPECT_EQ(started.track_id, "track-1") << "the higher score";
  // Each person ends on its own lost timeout, with the start it was reported with.
  const auto& right_ended = std::get<RuleEvent>(p.events[2]);
  EXPECT_EQ(ids(right_ended), std::vector<std::string>{"track-2"});
  EXPECT_EQ(right_ended.started_at, kWall + 1400);
  EXPECT_EQ(right_ended.ended_at, kWall + 2400);
  const auto& left_ended = std::get<RuleEvent>(p.events[3]);
  EXPECT_EQ(ids(left_ended), std::vector<std::string>{"track-1"});
  EXPECT_EQ(left_ended.ended_at, kWall + 3800);
  // The hold ran out 1 s after the last changed picture, before the iteration that saw it.
  const auto& scene_ended = std::get<SceneEvent>(p.events[4]);
  EXPECT_EQ(scene_ended.started_at, kWall + 1000);
  EXPECT_EQ(scene_ended.ended_at, kWall + 3800);
  // Runs at the inference rate while the scene was active: 1000, 1200, ... 3800.
  ASSERT_EQ(p.runs.size(), 15u);
  EXPECT_EQ(p.runs.front(), kWall + 1000);
  EXPECT_EQ(p.runs.back(), kWall + 3800);
}

// A wall clock stepped either way changes no rate, hold, timeout or order: each stamp taken after
// the step moves by it, and those taken before (a start carried by its end) stay as they were.
TEST(AnalysisStep, AWallClockStepShiftsOnlyTheStampsTakenAfterIt) {
  const Played reference = play();
  auto shifted = [](std::int64_t stamp, std::int64_t at, std::int64_t by) {
    return stamp != 0 && stamp >= kWall + at ? stamp + by : stamp;
  };
  struct Case {
    std::int64_t at, by;
  };
  for (const Case c : {Case{2000, -3'600'000}, Case{2000, 3'600'000}, Case{2000, -700}, Case{1200, 700},
                       Case{3000, -3'600'000}}) {
    SCOPED_TRACE(std::to_string(c.by) + " ms at " + std::to_string(c.at));
    const Played p = play(c.at, c.by);
    ASSERT_EQ(p.events.size(), reference.events.size());
    for (std::size_t i = 0; i < p.events.size(); ++i) {
      ASSERT_EQ(p.events[i].index(), reference.events[i].index()) << i;
      auto check = [&](const auto& got, const auto& want) {
        EXPECT_EQ(got.started_at, shifted(want.started_at, c.at, c.by)) << i;
        EXPECT_EQ(got.ended_at, shifted(want.ended_at, c.at, c.by)) << i;
      };
      if (const auto* rule = std::get_if<RuleEvent>(&p.events[i])) {
        const auto& want = std::get<RuleEvent>(reference.events[i]);
        EXPECT_EQ(rule->event_state, want.event_state) << i;
        EXPECT_EQ(ids(*rule), ids(want)) << i;
        check(*rule, want);
      } else {
        const auto& want = std::get<SceneEvent>(reference.events[i]);
        EXPECT_EQ(std::get<SceneEvent>(p.events[i]).state, want.state) << i;
        check(std::get<SceneEvent>(p.events[i]), want);
      }
    }
    ASSERT_EQ(p.runs.size(), reference.runs.size());
    for (std::size_t i = 0; i < p.runs.size(); ++i) EXPECT_EQ(p.runs[i], shifted(reference.runs[i], c.at, c.by)) << i;
  }
}

// One schedule for both threads: a picture wanted counts as taken, the active rate follows the scene.
TEST(AnalysisStep, TheGateWantsOnlyDuePictures) {
  test::ManualClock clock(kWall, 10'000);
  AnalysisStep step(task(), ai(), [](VideoFrame, const std::optional<Rect>&) { return InferenceResult{}; });
  EXPECT_TRUE(step.wants_frame(0, 10'000));
  EXPECT_FALSE(step.wants_frame(40, 10'040)) << "the one handed over is not taken yet";
  EXPECT_TRUE(step.run(test::frame_with_rectangle(320, 180, 0, 0, 0, 0), instant_of(clock)).failure.empty());
  EXPECT_FALSE(step.wants_frame(80, 10'979)) << "21 ms early for 1 fps, pictures 40 ms apart";
  EXPECT_TRUE(step.wants_frame(120, 10'980));
  clock.advance(980);
  const StepResult changed = step.run(test::frame_with_rectangle(320, 180, 100, 60, 130, 120), instant_of(clock));
  EXPECT_TRUE(changed.scene_started);
  EXPECT_FALSE(step.wants_frame(160, 11'179)) << "the slot of the early one was 11000";
  EXPECT_TRUE(step.wants_frame(200, 11'180)) << "5 fps while the scene changes";
}

// ---- a person the detector misses for a while ----

Json whole_picture_rule(std::int32_t lost_timeout_ms) {
  const Json zone = Json::array({Json::array({{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}})});
  return Json{{"type", "intrusion"}, {"zones", zone}, {"min_duration_ms", 0}, {"min_hits", 2},
              {"cooldown_ms", 30000}, {"lost_timeout_ms", lost_timeout_ms}};
}

// As task(), with one rule per lost timeout and a baseline left as it is.
TaskConfig task_with_rules(const std::vector<std::int32_t>& lost_timeouts) {
  Json rules = Json::array();
  for (const std::int32_t ms : lost_timeouts) rules.push_back(whole_picture_rule(ms));
  return parse_task_config(Json{
      {"task_id", "cam"}, {"stream_id", "s"}, {"stream_url", "rtsp://127.0.0.1:1/live"}, {"fps", 5},
      {"scene", {{"change_threshold", 0.002}, {"blur_threshold", 0.0}, {"trigger_ms", 0}, {"hold_ms", 1000},
                 {"cooldown_ms", 0}, {"baseline_mode", "manual"}}},
      {"rules", std::move(rules)}});
}

struct Occlusion {
  std::vector<RuleEvent> events;
  std::vector<std::string> ids_before;  // track ids of the runs before the miss
  std::vector<std::string> ids_after;   // and after it
  std::vector<std::int64_t> sightings;  // wall ms of the runs that saw the person
};

// Every 200 ms: the empty scene at 0, then a person in view (the block, and the detector's box
// creeping right) from 1 s; the detector misses them for `miss_ms` from 3 s on, then sees them
// where it lost them for 2 s more, after which they leave. Runs until the longest timeout after.
Occlusion occlude(const std::vector<std::int32_t>& lost_timeouts, std::int64_t miss_ms) {
  test::ManualClock clock(kWall);
  std::vector<Detection> people;
  AnalysisStep step(task_with_rules(lost_timeouts), ai(), [&](VideoFrame, const std::optional<Rect>&) {
    return InferenceResult{people, 1.0, "CPUExecutionProvider", "scripted", "1"};
  });
  const std::int64_t back = 3000 + miss_ms;
  const std::int64_t leave = back + 2000;
  const std::int64_t end = leave + *std::max_element(lost_timeouts.begin(), lost_timeouts.end()) + 2000;
  Occlusion out;
  double x = 0.4;
  for (std::int64_t t = 0; t <= end; t += 200) {
    if (t > 0) clock.advance(200);
    const bool in_view = t >= 1000 && t < leave;
    const bool seen = in_view && (t < 3000 || t >= back);
    if (seen) x += 0.002;
    people = seen ? std::vector<Detection>{{"person", 0.9, Rect{x, 0.3, 0.1, 0.4}}} : std::vector<Detection>{};
    StepResult r = step.run(test::frame_with_rectangle(320, 180, 100, 60, in_view ? 130 : 100, 120), instant_of(clock));
    EXPECT_EQ(r.failure + r.inference_error, "") << t;
    for (AnalysisEvent& e : r.events) {
      if (auto* rule = std::get_if<RuleEvent>(&e)) out.events.push_back(std::move(*rule));
    }
    if (!r.run || r.run->tracks.empty()) continue;
    (t < 3000 ? out.ids_before : out.ids_after).push_back(r.run->tracks.front().track_id);
    out.sightings.push_back(r.run->timestamp);
  }
  for (AnalysisEvent& e : step.close(instant_of(clock))) {
    if (auto* rule = std::get_if<RuleEvent>(&e)) out.events.push_back(std::move(*rule));
  }
  return out;
}

std::vector<const RuleEvent*> events_of(const Occlusion& o, std::size_t rule, EventState state) {
  std::vector<const RuleEvent*> out;
  for (const RuleEvent& e : o.events) {
    if (e.rule_index == rule && e.event_state == state) out.push_back(&e);
  }
  return out;
}

// A person missed for less than the longest lost timeout of the task keeps their track: one
// intrusion per rule, ended a lost timeout after they leave, and a rule that ended theirs during
// the miss holds them to its cooldown. A miss beyond every timeout (the default rule's 5 s
// included) brings them back as a new person.
TEST(AnalysisStep, APersonMissedWithinTheRulesTimeoutKeepsTheirTrackAndIntrusion) {
  struct Case {
    const char* name;
    std::vector<std::int32_t> lost_timeouts;  // one rule each, cooldown 30 s
    std::int64_t miss_ms;
    const char* id_after;
    std::vector<std::size_t> starts;  // per rule
  };
  const Case cases[] = {
      {"60 s rule, 7 s miss", {60000}, 7000, "track-1", {1}},
      {"10 s rule, 7 s miss", {10000}, 7000, "track-1", {1}},
      {"10 s rule, 12 s miss", {10000}, 12000, "track-2", {2}},
      {"default rule, 7 s miss", {5000}, 7000, "track-2", {2}},
      {"5 s rule ended in the miss, 60 s rule beside it", {5000, 60000}, 7000, "track-1", {1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Occlusion o = occlude(c.lost_timeouts, c.miss_ms);
    ASSERT_FALSE(o.ids_before.empty());
    ASSERT_FALSE(o.ids_after.empty());
    EXPECT_EQ(std::set<std::string>(o.ids_before.begin(), o.ids_before.end()), std::set<std::string>{"track-1"});
    EXPECT_EQ(std::set<std::string>(o.ids_after.begin(), o.ids_after.end()), std::set<std::string>{c.id_after});
    for (std::size_t rule = 0; rule < c.lost_timeouts.size(); ++rule) {
      SCOPED_TRACE("rule " + std::to_string(rule));
      const auto starts = events_of(o, rule, EventState::started);
      const auto ends = events_of(o, rule, EventState::ended);
      EXPECT_EQ(starts.size(), c.starts[rule]);
      ASSERT_EQ(ends.size(), starts.size()) << "each start ends, before the task closes";
      // Each intrusion ends its rule's lost timeout after the sighting before, on the rule tick.
      for (const RuleEvent* end : ends) {
        const auto after = std::lower_bound(o.sightings.begin(), o.sightings.end(), end->ended_at);
        ASSERT_NE(after, o.sightings.begin());
        const std::int64_t unseen = end->ended_at - *std::prev(after);
        EXPECT_GE(unseen, c.lost_timeouts[rule]);
        EXPECT_LT(unseen, c.lost_timeouts[rule] + 1000);
      }
    }
  }
}

// The automatic baseline follows the empty scene only: a person tracked for longer than its
// refresh period must not become part of it, or the scene change and the detector would end
// while they are still there.
TEST(AnalysisStep, TheAutomaticBaselineWaitsWhilePeopleAreTracked) {
  test::ManualClock clock(kWall);
  TaskConfig config = task();
  config.scene.baseline_mode = BaselineMode::automatic;
  std::vector<Detection> people;
  AnalysisStep step(config, ai(), [&](VideoFrame, const std::optional<Rect>&) {
    return InferenceResult{people, 1.0, "CPUExecutionProvider", "scripted", "1"};
  });
  constexpr std::int64_t kLeave = 70000;
  std::int64_t last_run = 0;
  std::vector<SceneEvent> scene_events;
  for (std::int64_t t = 0; t <= kLeave + 2000; t += 200) {
    if (t > 0) clock.advance(200);
    const bool in_view = t >= 1000 && t < kLeave;
    people = in_view ? std::vector{kLeft} : std::vector<Detection>{};
    StepResult r = step.run(test::frame_with_rectangle(320, 180, 100, 60, in_view ? 130 : 100, 120), instant_of(clock));
    for (AnalysisEvent& e : r.events) {
      if (auto* scene = std::get_if<SceneEvent>(&e)) scene_events.push_back(*scene);
    }
    if (r.run && !r.run->tracks.empty()) last_run = t;
  }
  EXPECT_EQ(last_run, kLeave - 200) << "the detector ran as long as the person stayed";
  ASSERT_EQ(scene_events.size(), 2u);
  EXPECT_EQ(scene_events[1].state, EventState::ended);
  EXPECT_GE(scene_events[1].ended_at, kWall + kLeave);
}

// The rate a task gets from the shared detector, beside the one it asks for: a wait in the
// detector's queue counts against it, time without a scene change does not.
TEST(AnalysisStep, TheAchievedInferenceRateCountsTheQueueWait) {
  struct Case {
    const char* name;
    bool rules;
    std::int64_t queue_wait_ms;
    double asked, achieved;
  };
  const Case cases[] = {
      {"served at once", true, 0, 5.0, 5.0},
      {"2 s in the queue", true, 2000, 5.0, 1000.0 / 2200.0},
      {"no rules", false, 0, 0.0, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ManualClock clock(kWall);
    TaskConfig config = task();
    if (!c.rules) config.rules.clear();
    AnalysisStep step(config, ai(), [&](VideoFrame, const std::optional<Rect>&) {
      clock.advance(c.queue_wait_ms);
      return InferenceResult{{kLeft}, 1.0, "CPUExecutionProvider", "scripted", "1"};
    });
    EXPECT_EQ(step.asked_inference_fps(), c.asked);
    // Ten idle seconds, then a change that lasts.
    for (int i = 0; i <= 100; ++i) {
      if (i > 0) clock.advance(200);
      const bool block = i > 50;
      step.run(test::frame_with_rectangle(320, 180, 100, 60, block ? 130 : 100, 120), instant_of(clock));
    }
    EXPECT_DOUBLE_EQ(step.achieved_inference_fps(), c.achieved);
  }
}

}  // namespace
}  // namespace velmo::ai
