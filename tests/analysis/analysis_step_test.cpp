#include "analysis/analysis_step.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
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
  return parse_task_config(
      Json{{"task_id", "cam"},
           {"stream_id", "s"},
           {"stream_url", "rtsp://127.0.0.1:1/live"},
           {"fps", 5},
           {"scene", {{"change_threshold", 0.002}, {"blur_threshold", 0.0}, {"trigger_ms", 0}, {"hold_ms", 1000}}},
           {"rules", Json::array({{{"type", "intrusion"},
                                   {"zones", zone},
                                   {"min_duration_ms", 0},
                                   {"min_hits", 2},
                                   {"cooldown_ms", 0},
                                   {"lost_timeout_ms", 1000}}})}});
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
    people = t < 1000    ? std::vector<Detection>{}
             : t <= 1400 ? std::vector{kLeft, kRight}
             : t <= 2800 ? std::vector{kLeft}
                         : std::vector<Detection>{};
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
  for (const Case c :
       {Case{2000, -3'600'000}, Case{2000, 3'600'000}, Case{2000, -700}, Case{1200, 700}, Case{3000, -3'600'000}}) {
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

// ---- one person, scripted ----

// As task(), with one rule per lost timeout (cooldown 30 s) and a baseline left as it is.
TaskConfig task_with_rules(const std::vector<std::int32_t>& lost_timeouts) {
  TaskConfig config = task();
  config.scene.baseline_mode = BaselineMode::manual;
  config.rules.assign(lost_timeouts.size(), config.rules.front());
  for (std::size_t i = 0; i < lost_timeouts.size(); ++i) {
    config.rules[i].lost_timeout_ms = lost_timeouts[i];
    config.rules[i].cooldown_ms = 30000;
  }
  return config;
}

struct Person {
  std::vector<RuleEvent> rule_events;
  std::vector<SceneEvent> scene_events;
  std::vector<std::pair<std::int64_t, std::string>> sightings;  // wall ms and track id of each run
  double achieved_fps = 0.0;
};

// Every 200 ms to `end_ms`: the empty scene at 0, then a person in view (the block, and the
// detector's box creeping right) from 1 s to `leave_ms`, whom the detector misses for `miss_ms`
// from 3 s. Each run waits `queue_wait_ms` for the detector.
Person script_person(const TaskConfig& config, std::int64_t miss_ms, std::int64_t leave_ms, std::int64_t end_ms,
                     std::int64_t queue_wait_ms = 0) {
  test::ManualClock clock(kWall);
  std::vector<Detection> people;
  AnalysisStep step(config, ai(), [&](VideoFrame, const std::optional<Rect>&) {
    clock.advance(queue_wait_ms);
    return InferenceResult{people, 1.0, "CPUExecutionProvider", "scripted", "1"};
  });
  Person out;
  auto keep = [&](std::vector<AnalysisEvent> events) {
    for (AnalysisEvent& e : events) {
      if (auto* rule = std::get_if<RuleEvent>(&e)) out.rule_events.push_back(std::move(*rule));
      if (auto* scene = std::get_if<SceneEvent>(&e)) out.scene_events.push_back(*scene);
    }
  };
  double x = 0.4;
  for (std::int64_t t = 0; t <= end_ms; t += 200) {
    if (t > 0) clock.advance(200);
    const bool in_view = t >= 1000 && t < leave_ms;
    const bool seen = in_view && (t < 3000 || t >= 3000 + miss_ms);
    if (seen) x += 0.002;
    people = seen ? std::vector<Detection>{{"person", 0.9, Rect{x, 0.3, 0.1, 0.4}}} : std::vector<Detection>{};
    StepResult r = step.run(test::frame_with_rectangle(320, 180, 100, 60, in_view ? 130 : 100, 120), instant_of(clock));
    keep(std::move(r.events));
    if (r.run && !r.run->tracks.empty()) out.sightings.emplace_back(r.run->timestamp, r.run->tracks.front().track_id);
  }
  keep(step.close(instant_of(clock)));
  out.achieved_fps = step.achieved_inference_fps();
  return out;
}

// A person missed for less than the longest lost timeout of the task keeps their track: one
// intrusion per rule, each ended its lost timeout after the sighting before, and a rule that ended
// theirs in the miss holds them to its cooldown. Beyond every timeout (the default 5 s included)
// they come back as a new person.
TEST(AnalysisStep, APersonMissedWithinTheRulesTimeoutKeepsTheirTrackAndIntrusion) {
  struct Case {
    const char* name;
    std::vector<std::int32_t> lost_timeouts;
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
    const Person p = script_person(task_with_rules(c.lost_timeouts), c.miss_ms, 5000 + c.miss_ms, 67000 + c.miss_ms);
    ASSERT_FALSE(p.sightings.empty());
    EXPECT_EQ(p.sightings.front().second, "track-1");
    EXPECT_EQ(p.sightings.back().second, c.id_after);
    for (std::size_t rule = 0; rule < c.starts.size(); ++rule) {
      std::size_t starts = 0, ends = 0;
      for (const RuleEvent& e : p.rule_events) {
        if (e.rule_index != rule) continue;
        if (e.event_state == EventState::started) ++starts;
        if (e.event_state != EventState::ended) continue;
        ++ends;
        const auto before =
            std::find_if(p.sightings.rbegin(), p.sightings.rend(), [&](const auto& s) { return s.first < e.ended_at; });
        ASSERT_NE(before, p.sightings.rend());
        EXPECT_GE(e.ended_at - before->first, c.lost_timeouts[rule]) << rule;
        EXPECT_LT(e.ended_at - before->first, c.lost_timeouts[rule] + 1000) << rule << ", on the rule tick";
      }
      EXPECT_EQ(starts, c.starts[rule]) << rule;
      EXPECT_EQ(ends, starts) << rule;
    }
  }
}

// The automatic baseline follows the empty scene only: a person tracked for longer than its
// refresh period must not become part of it, or the change and the runs would end while they stay.
TEST(AnalysisStep, TheAutomaticBaselineWaitsWhilePeopleAreTracked) {
  const Person p = script_person(task(), 0, 70000, 72000);
  ASSERT_FALSE(p.sightings.empty());
  EXPECT_EQ(p.sightings.back().first, kWall + 69800);
  ASSERT_EQ(p.scene_events.size(), 2u);
  EXPECT_GE(p.scene_events[1].ended_at, kWall + 70000);
}

// The rate a task gets, beside the one it asks for: its wait for the detector counts against it.
TEST(AnalysisStep, TheAchievedInferenceRateCountsTheQueueWait) {
  for (const auto& [wait_ms, fps] : {std::pair{0, 5.0}, std::pair{2000, 1000.0 / 2200.0}}) {
    EXPECT_DOUBLE_EQ(script_person(task(), 0, 20000, 20000, wait_ms).achieved_fps, fps) << wait_ms;
  }
}

}  // namespace
}  // namespace velmo::ai
