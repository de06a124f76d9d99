#include "analysis/analysis_step.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace velmo::ai {
namespace {

std::vector<IntrusionRule> make_rules(const std::vector<ZoneRule>& rules) {
  std::vector<IntrusionRule> out;
  out.reserve(rules.size());
  for (const ZoneRule& rule : rules) out.emplace_back(rule);
  return out;
}

// A person the rules still wait for keeps their track: one who comes back within a rule's lost
// timeout is the same person to that rule, so no second intrusion opens beside the first and no
// cooldown is skipped. Tasks without long timeouts keep the tracker's own.
TrackerConfig tracker_config(const std::vector<ZoneRule>& rules) {
  TrackerConfig config;
  for (const ZoneRule& rule : rules) config.forget_after_ms = std::max(config.forget_after_ms, rule.lost_timeout_ms);
  return config;
}

void append(std::vector<RuleEvent> events, std::size_t rule_index, std::vector<AnalysisEvent>& out) {
  for (RuleEvent& event : events) {
    event.rule_index = rule_index;
    out.emplace_back(std::move(event));
  }
}

}  // namespace

AnalysisStep::AnalysisStep(const TaskConfig& config, const AiConfig& ai, InferFunction infer, double sampling_phase)
    : infer_(std::move(infer)),
      gate_(std::min(config.fps, ai.idle_fps), std::min(config.fps, ai.active_fps), sampling_phase),
      scene_(config.scene),
      tracker_(tracker_config(config.rules)),
      rules_(make_rules(config.rules)),
      infer_interval_ms_(1000 / std::max(1, std::min(ai.inference_fps, config.fps))),
      auto_baseline_(config.scene.baseline_mode == BaselineMode::automatic),
      asked_inference_fps_(
          config.rules.empty() ? 0.0 : static_cast<double>(std::min({ai.inference_fps, ai.active_fps, config.fps}))) {}

bool AnalysisStep::wants_frame(std::int64_t pts_ms, std::int64_t now_steady_ms) {
  return gate_.wants(pts_ms, now_steady_ms);
}

StepResult AnalysisStep::run(std::optional<VideoFrame> frame, Instant now) {
  StepResult out;
  measure_demand(now.steady_ms);
  try {
    iterate(frame, now, out);
  } catch (const std::exception& e) {
    out.failure = e.what();
  }
  wants_runs_ = active_ && !rules_.empty();
  if (out.run) ++runs_;
  return out;
}

// The time since the last iteration wanted runs when that iteration left the scene changing; a
// run that blocked on the shared detector's queue is in it.
void AnalysisStep::measure_demand(std::int64_t now_ms) {
  if (last_iteration_ms_ && wants_runs_) demand_ms_ += std::max<std::int64_t>(0, now_ms - *last_iteration_ms_);
  last_iteration_ms_ = now_ms;
  if (demand_ms_ < kRateSampleMs) return;
  achieved_inference_fps_ = static_cast<double>(runs_) * 1000.0 / static_cast<double>(demand_ms_);
  demand_ms_ = 0;
  runs_ = 0;
}

void AnalysisStep::iterate(std::optional<VideoFrame>& frame, Instant now, StepResult& out) {
  scene_.tick(now.steady_ms);
  if (!scene_.active()) {
    // Also a change that came back silently in a cooldown: its people no longer hold the baseline.
    active_ = false;
    has_tracks_ = false;
    // The hold ran out between iterations: the event names that moment, stamped on today's wall.
    if (scene_open_) end_scene(now.wall_ms - (now.steady_ms - scene_.active_until()), out.events);
  }
  gate_.set_active(active_);

  tick_rules(now, out);

  if (!frame || !gate_.accept(now.steady_ms)) return;

  const SceneObservation observation = scene_.observe(*frame, now.steady_ms);
  active_ = observation.active;
  gate_.set_active(active_);
  if (observation.started) {
    out.scene_started = true;
    // Every "started" has its own "ended".
    if (scene_open_) end_scene(now.wall_ms, out.events);
    scene_open_ = true;
    scene_started_at_ = now.wall_ms;
    out.events.emplace_back(SceneEvent{EventState::started, now.wall_ms, 0});
  } else if (scene_open_ && !observation.active) {
    has_tracks_ = false;
    end_scene(now.wall_ms, out.events);
  }

  if (auto_baseline_ && !has_tracks_ && (!last_baseline_ || now.steady_ms - *last_baseline_ >= kBaselineRefreshMs)) {
    scene_.refresh_baseline(*frame);
    last_baseline_ = now.steady_ms;
  }

  if (!active_ || rules_.empty()) return;
  // The gate's rule: a frame it took early must not miss its run, and runs keep to the rate over
  // any stretch of time.
  const std::optional<std::int64_t> due =
      sampling_slot(infer_slot_, now.steady_ms, infer_interval_ms_, gate_.frame_period_ms());
  if (!due) return;
  // Whatever happens to this run, the next one waits for its slot.
  infer_slot_ = *due;
  InferenceResult result;
  try {
    result = infer_(std::move(*frame), observation.region);
  } catch (const std::exception& e) {
    out.inference_error = e.what();
    return;
  }
  std::vector<TrackObservation> tracks = tracker_.update(result.detections, now.steady_ms);
  has_tracks_ = !tracks.empty();
  for (std::size_t i = 0; i < rules_.size(); ++i) append(rules_[i].update(tracks, now), i, out.events);
  out.run = InferenceRun{std::move(tracks), now.wall_ms, result.latency_ms};
}

// Open intrusions must be able to end while no inference runs.
void AnalysisStep::tick_rules(Instant now, StepResult& out) {
  if (last_rule_tick_ && now.steady_ms - *last_rule_tick_ < kRuleTickMs) return;
  last_rule_tick_ = now.steady_ms;
  for (std::size_t i = 0; i < rules_.size(); ++i) append(rules_[i].update({}, now), i, out.events);
}

void AnalysisStep::end_scene(std::int64_t ended_at, std::vector<AnalysisEvent>& out) {
  scene_open_ = false;
  out.emplace_back(SceneEvent{EventState::ended, scene_started_at_, ended_at});
}

std::vector<AnalysisEvent> AnalysisStep::close(Instant now) {
  std::vector<AnalysisEvent> out;
  for (std::size_t i = 0; i < rules_.size(); ++i) append(rules_[i].flush(now), i, out);
  if (scene_open_) end_scene(now.wall_ms, out);
  return out;
}

}  // namespace velmo::ai
