#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "analysis/frame_sampler.h"
#include "analysis/intrusion.h"
#include "analysis/scene_detector.h"
#include "analysis/task.h"
#include "analysis/tracker.h"
#include "foundation/clock.h"
#include "foundation/config.h"
#include "foundation/geometry.h"
#include "foundation/video_frame.h"
#include "inference/inference_engine.h"

namespace velmo::ai {

// One scene-change event; times are wall-clock ms.
struct SceneEvent {
  EventState state = EventState::started;
  std::int64_t started_at = 0;
  std::int64_t ended_at = 0;  // 0 in a "started" event
};

// An event for the task's sink, in the order the analysis raised it.
using AnalysisEvent = std::variant<RuleEvent, SceneEvent>;

// One completed inference run: what the "detections" message reports.
struct InferenceRun {
  std::vector<TrackObservation> tracks;  // the tracker's output, confirmed or not
  std::int64_t timestamp = 0;            // wall-clock ms of the iteration
  double latency_ms = 0.0;
};

// What one iteration produced. Events raised before a failure are kept, so that every "started"
// that went out is matched by its "ended" later.
struct StepResult {
  std::vector<AnalysisEvent> events;
  std::optional<InferenceRun> run;
  bool scene_started = false;   // a new scene change was detected
  std::string inference_error;  // why the run of this iteration failed; empty when none failed
  std::string failure;          // why the iteration stopped short; empty when it did not
};

// Runs the detector on a frame and its changed region (none: the whole frame) and blocks until the
// result; throws a std::exception on refusal or failure.
using InferFunction = std::function<InferenceResult(VideoFrame frame, const std::optional<Rect>& region)>;

// The per-frame work of one task: sampling, the scene detector, the shared detector while the scene
// changes, the tracker, the intrusion rules and the scene-change events. No thread, lock or clock of
// its own: the caller hands in each frame and the instant. Every duration (sampling slots, the
// inference interval, rule ticks, holds, cooldowns, lost timeouts, baseline refresh) is measured
// on the instants' monotonic times; wall times only stamp what it reports.
// run and close belong to one thread; wants_frame may be called from any thread meanwhile.
class AnalysisStep {
 public:
  // `config` with its scene hold already settled; `sampling_phase`: see SharedSamplingGate. Throws
  // std::invalid_argument for a rate, scene setting or rule its units refuse.
  AnalysisStep(const TaskConfig& config, const AiConfig& ai, InferFunction infer, double sampling_phase = 0.0);

  // Asked before a picture is converted: true when the gate will take it (its slot then counts as
  // taken). A picture that is not wanted need not be handed to run.
  bool wants_frame(std::int64_t pts_ms, std::int64_t now_steady_ms);

  // One iteration at `now`, with the frame that arrived since the last one, if any. Never throws:
  // a failure ends the iteration and is reported in the result.
  StepResult run(std::optional<VideoFrame> frame, Instant now);

  // Closing events when the task stops: every open intrusion and an open scene change end at `now`.
  // May throw; the step is finished either way.
  std::vector<AnalysisEvent> close(Instant now);

  // The detector runs a second the task asks for while its scene changes: min(AI.InferenceFPS,
  // AI.ActiveFPS, fps), 0 without rules.
  double asked_inference_fps() const { return asked_inference_fps_; }
  // The runs a second it got while its scene changed, over the last second or more of change (the
  // queue wait for the shared detector included); 0 until measured, kept while the scene is idle.
  double achieved_inference_fps() const { return achieved_inference_fps_; }

 private:
  void iterate(std::optional<VideoFrame>& frame, Instant now, StepResult& out);
  void tick_rules(Instant now, StepResult& out);
  void end_scene(std::int64_t ended_at, std::vector<AnalysisEvent>& out);
  void measure_demand(std::int64_t now_ms);

  // How often open intrusions are given a chance to end while no inference runs.
  static constexpr std::int64_t kRuleTickMs = 1000;
  // How often an automatic baseline follows the empty scene.
  static constexpr std::int64_t kBaselineRefreshMs = 60000;
  // How much time of change the achieved rate is measured over, at least.
  static constexpr std::int64_t kRateSampleMs = 1000;

  InferFunction infer_;
  SharedSamplingGate gate_;
  SceneDetector scene_;
  Tracker tracker_;
  std::vector<IntrusionRule> rules_;
  std::int64_t infer_interval_ms_;
  bool auto_baseline_;

  bool active_ = false;      // the latest observation's scene state
  bool has_tracks_ = false;  // the latest run tracked someone: the baseline must not take them in
  std::optional<std::int64_t> last_rule_tick_;
  std::optional<std::int64_t> last_baseline_;
  std::int64_t infer_slot_ = 0;  // the runs' schedule, kept as the gate keeps its own
  bool scene_open_ = false;      // a "started" scene event went out and its "ended" not yet
  std::int64_t scene_started_at_ = 0;

  double asked_inference_fps_;
  double achieved_inference_fps_ = 0.0;
  bool wants_runs_ = false;  // after the latest iteration: the scene changes and there are rules
  std::optional<std::int64_t> last_iteration_ms_;
  std::int64_t demand_ms_ = 0;  // time wanting runs since the last sample
  std::uint64_t runs_ = 0;      // runs since the last sample
};

}  // namespace velmo::ai
