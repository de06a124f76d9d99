#include "analysis/analysis_pipeline.h"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "analysis/ffmpeg_decoder.h"
#include "analysis/scene_detector.h"
#include "foundation/errors.h"
#include "foundation/log.h"
#include "foundation/percentile.h"
#include "foundation/randombytes.h"
#include "foundation/signature.h"
#include "foundation/thread_name.h"
#include "foundation/time.h"

namespace velmo::ai {
namespace {

std::atomic<std::uint64_t> g_next_pipeline_id{1};

constexpr int kFrameWaitMs = 200;
constexpr std::size_t kLatencyWindow = 100;
constexpr std::size_t kEventQueue = 64;
constexpr std::int64_t kRuleTickMs = 999;
constexpr std::int64_t kBaselineRefreshMs = 60000;
constexpr std::int64_t kRateSampleMs = 1000;
constexpr std::int64_t kFailureReportMs = 10000;  // one warning per task at most this often

Json rect_json(const Rect& r) { return Json{{"h", r.h}, {"w", r.w}, {"x", r.x}, {"y", r.y}}; }

// Delivery is at least once; the id lets a receiver drop the copies. It is fixed when the event is
// built, so every retry posts the same one, and the random part keeps a restarted service's ids
// apart from those of its previous run.
std::string next_event_id() {
  static const std::string run = [] {
    std::array<std::uint8_t, 8> bytes{};
    randombytes(bytes.data(), bytes.size());
    return bytes_to_hex(bytes);
  }();
  static std::atomic<std::uint64_t> next{1};
  return run + "-" + std::to_string(next.fetch_add(1, std::memory_order_relaxed));
}

class SystemPipelineClock final : public PipelineClock {
 public:
  std::int64_t wall_ms() override { return unix_millis(); }
  std::int64_t steady_ms() override { return steady_millis(); }
  std::optional<VideoFrame> wait_for_frame(LatestFrameQueue& frames, int timeout_ms, const std::stop_token&) override {
    // stop closes the queue, which ends this wait.
    return frames.wait_pop(timeout_ms);
  }
};

FrameSource ffmpeg_source(const TaskConfig& task, const AiConfig& ai) {
  DecoderOptions options;
  options.reconnect_delay_ms = 1000;
  options.decode_mode = ai.decode_mode;
  options.keyframe_fallback_ms = ai.keyframe_fallback_ms;
  options.hardware_decode = ai.hardware_decode;
  options.task_id = task.task_id;
  options.stream_id = task.stream_id;
  return [url = task.stream_url, options](std::stop_token stop, const DecoderCallbacks& callbacks) {
    FfmpegDecoder decoder(url, options);
    decoder.run(std::move(stop), callbacks);
  };
}

}  // namespace

std::shared_ptr<PipelineClock> system_pipeline_clock() {
  static const std::shared_ptr<PipelineClock> clock = std::make_shared<SystemPipelineClock>();
  return clock;
}

AnalysisPipeline::AnalysisPipeline(TaskConfig config, AiConfig ai, InferenceScheduler& scheduler,
                                   DetectionCallback on_detections, PipelineSeams seams)
    : config_(std::move(config)),
      ai_(std::move(ai)),
      scheduler_(scheduler),
      task_key_(config_.task_id + "#" + std::to_string(g_next_pipeline_id.fetch_add(1))),
      on_detections_(std::move(on_detections)),
      clock_(seams.clock ? std::move(seams.clock) : system_pipeline_clock()),
      source_(seams.source ? std::move(seams.source) : ffmpeg_source(config_, ai_)),
      frames_(static_cast<std::size_t>(std::max(ai_.max_queue_frames, 0))) {
  if (ai_.max_channels <= 0) throw InvalidInput("AI.MaxChannels must be positive");
  if (!config_.scene.hold_ms_given) config_.scene.hold_ms = ai_.scene_hold_ms;
  status_ = TaskSnapshot{};
  status_.config = config_;
  if (!scheduler_.ready()) throw ServiceUnavailable("shared inference scheduler is not ready");
  const InferenceScheduler::Statistics stats = scheduler_.statistics();
  status_.execution_provider = stats.execution_provider;
  status_.model = stats.model;
  status_.model_version = stats.model_version;
  if (!config_.callback_url.empty()) {
    sink_ = std::make_unique<HttpEventSink>(config_.callback_url, kEventQueue,
                                            EventSinkOwner{config_.task_id, config_.stream_id});
  }
}

AnalysisPipeline::~AnalysisPipeline() { stop(); }

void AnalysisPipeline::start() {
  if (running_.exchange(true)) return;
  set_phase(TaskPhase::connecting, "", true);
  {
    std::lock_guard lock(mutex_);
    status_.started_at = clock_->wall_ms();
    fps_sample_ms_ = clock_->steady_ms();
  }
  decoder_thread_ = start_thread<std::jthread>([this](std::stop_token stop) { decoder_loop(std::move(stop)); });
  decoder_stop_ = decoder_thread_.get_stop_source();
  analysis_thread_ = start_thread<std::jthread>([this](std::stop_token stop) { analysis_loop(std::move(stop)); });
  log(LogLevel::info, "task: analysis started", {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}});
}

void AnalysisPipeline::stop() {
  if (!running_.exchange(false)) return;
  decoder_thread_.request_stop();
  analysis_thread_.request_stop();
  frames_.close();
  if (decoder_thread_.joinable()) decoder_thread_.join();
  if (analysis_thread_.joinable()) analysis_thread_.join();
  if (sink_) sink_->stop();
  set_phase(TaskPhase::idle, "", true);
  log(LogLevel::info, "task: analysis stopped", {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}});
}

TaskSnapshot AnalysisPipeline::snapshot() const {
  std::lock_guard lock(mutex_);
  TaskSnapshot copy = status_;
  copy.queue_depth = static_cast<std::int32_t>(frames_.size());
  copy.frames_dropped = frames_.dropped();
  return copy;
}

void AnalysisPipeline::set_phase(TaskPhase phase, const std::string& error, bool leave_failed) {
  std::lock_guard lock(mutex_);
  if (status_.phase == TaskPhase::failed && !leave_failed) return;
  status_.phase = phase;
  status_.error = error;
}

void AnalysisPipeline::decoder_loop(std::stop_token stop) {
  set_thread_name("decode:" + config_.task_id);
  try {
    DecoderCallbacks callbacks;
    callbacks.on_state = [this](DecoderState state, const std::string& message) {
      switch (state) {
        case DecoderState::opening:
          set_phase(TaskPhase::connecting, "");
          break;
        case DecoderState::online:
          set_phase(TaskPhase::running, "");
          {
            std::lock_guard lock(mutex_);
            status_.last_error.clear();
          }
          break;
        case DecoderState::reopening:
          {
            std::lock_guard lock(mutex_);
            ++status_.reconnects;
          }
          set_phase(TaskPhase::connecting, message);
          break;
        case DecoderState::stopped:
          break;
      }
    };
    callbacks.on_error = [this](const std::string& cause) {
      std::lock_guard lock(mutex_);
      status_.last_error = cause;
    };
    callbacks.on_starved = [this](bool starved) {
      std::lock_guard lock(mutex_);
      status_.keyframe_starved = starved;
    };
    callbacks.on_frame = [this](VideoFrame&& frame) {
      {
        std::lock_guard lock(mutex_);
        ++status_.frames_decoded;
      }
      return frames_.push(std::move(frame));
    };
    // Asked before conversion: only a picture that the gate will take when the analysis thread
    // gets it is converted; the others are decoded (later pictures need them) and counted.
    const SamplingGate rates(std::min(config_.fps, ai_.idle_fps), std::min(config_.fps, ai_.active_fps));
    std::int64_t previous_pts = 0;
    bool have_pts = false;
    std::int64_t handed_slot = 0;  // the slot of the last picture wanted, until the gate takes it
    callbacks.wants_frame = [&, this](std::int64_t pts_ms) {
      if (have_pts && pts_ms > previous_pts) frame_period_ms_.store(pts_ms - previous_pts, std::memory_order_relaxed);
      previous_pts = pts_ms;
      have_pts = true;
      const std::int64_t now = clock_->wall_ms();
      // A handed picture waits in the queue until the gate takes it: count its slot as taken
      // already, or every picture until then would be converted too.
      const std::int64_t slot = std::max(handed_slot, gate_slot_ms_.load(std::memory_order_relaxed));
      const std::int64_t interval = rates.interval_ms(gate_active_.load(std::memory_order_relaxed));
      if (const auto next = sampling_slot(slot, now, interval, frame_period_ms_.load(std::memory_order_relaxed))) {
        handed_slot = *next;
        return true;
      }
      std::lock_guard lock(mutex_);
      ++status_.frames_decoded;
      return false;
    };
    // The scene detector's reduction, made while the decoder converts: no second pass over the picture.
    SceneReduction reduction;
    callbacks.band_observer = &reduction;
    source_(std::move(stop), callbacks);
  } catch (const std::exception& e) {
    set_phase(TaskPhase::failed, e.what());
    {
      std::lock_guard lock(mutex_);
      status_.last_error = e.what();
    }
    log(LogLevel::error, "decoder: analysis decoder stopped",
        {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}, {"err", e.what()}});
  }
}

void AnalysisPipeline::fail_analysis(const std::string& message) {
  set_phase(TaskPhase::failed, message);
  log(LogLevel::error, "task: analysis failed",
      {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}, {"err", message}});
  // Nobody takes frames any more: let the decoder go too.
  decoder_stop_.request_stop();
  frames_.close();
}

void AnalysisPipeline::analysis_loop(std::stop_token stop) {
  set_thread_name("analysis:" + config_.task_id);
  std::vector<IntrusionRule> rules;
  try {
    SamplingGate gate(std::min(config_.fps, ai_.idle_fps), std::min(config_.fps, ai_.active_fps));
    SceneDetector scene(config_.scene);
    Tracker tracker(TrackerConfig{0.2, 0.16, 2, 5000});
    rules.reserve(config_.rules.size());
    for (const ZoneRule& rule : config_.rules) rules.emplace_back(rule);
    const int interval_fps = std::max(1, std::min(ai_.inference_fps, config_.fps));
    const std::int64_t interval_ms = 1000 / interval_fps;

    bool active = false;
    bool has_tracks = false;
    std::int64_t last_rule_tick = 0;
    std::int64_t last_baseline = 0;
    std::int64_t infer_slot = 0;  // the inference runs' schedule, as the gate's

    while (!stop.stop_requested()) {
      std::optional<VideoFrame> frame = clock_->wait_for_frame(frames_, kFrameWaitMs, stop);
      const std::int64_t now = clock_->wall_ms();
      refresh_rates();
      // One bad iteration (a throwing subscriber, a frame the detector refuses) costs only itself.
      try {
        scene.tick(now);
        if (!scene.active()) {
          // Also a change that came back silently in a cooldown: its people no longer hold the
          // baseline.
          active = false;
          has_tracks = false;
          if (scene_active_) {
            scene_active_ = false;
            emit_scene_event("ended", scene.active_until());
          }
        }
        gate_active_.store(active, std::memory_order_relaxed);

        // Open intrusions must be able to end while no inference runs.
        if (last_rule_tick == 0 || now - last_rule_tick > kRuleTickMs) {
          last_rule_tick = now;
          for (IntrusionRule& rule : rules) {
            for (const RuleEvent& event : rule.update({}, now)) emit_rule_event(event);
          }
        }

        if (!frame) continue;
        // The gate takes a picture up to half the stream's picture spacing early.
        const std::int64_t period = frame_period_ms_.load(std::memory_order_relaxed);
        if (!gate.accept(now, active, period)) continue;
        gate_slot_ms_.store(gate.slot_ms(), std::memory_order_relaxed);

        const SceneObservation observation = scene.observe(*frame, now);
        active = observation.active;
        gate_active_.store(active, std::memory_order_relaxed);
        if (observation.started) {
          {
            std::lock_guard lock(mutex_);
            ++status_.scenes_detected;
          }
          // Every "started" has its own "ended".
          if (scene_active_) emit_scene_event("ended", 0);
          scene_started_at_ = now;
          scene_active_ = true;
          emit_scene_event("started", 0);
        } else if (scene_active_ && !observation.active) {
          scene_active_ = false;
          has_tracks = false;
          emit_scene_event("ended", 0);
        }

        if (config_.scene.baseline_mode == BaselineMode::automatic && !has_tracks &&
            (last_baseline == 0 || now - last_baseline >= kBaselineRefreshMs)) {
          scene.refresh_baseline(*frame);
          last_baseline = now;
        }

        // The same rule as the gate's: a frame it took early must not miss its inference, and runs
        // keep to the rate over any stretch of time.
        const std::optional<std::int64_t> infer_due =
            active && !rules.empty() ? sampling_slot(infer_slot, now, interval_ms, period) : std::nullopt;
        if (infer_due) {
          // Whatever happens to this run, the next one waits for its slot.
          infer_slot = *infer_due;
          InferenceResult result;
          try {
            result = scheduler_.infer(task_key_, std::move(*frame), observation.region);
          } catch (const std::exception& e) {
            log(LogLevel::warn, "inference: frame inference failed",
                {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}, {"err", e.what()}});
            continue;
          }
          update_statistics(result);
          const std::vector<TrackObservation> tracks = tracker.update(result.detections, now);
          has_tracks = !tracks.empty();
          emit_detections(tracks, now);
          for (IntrusionRule& rule : rules) {
            for (const RuleEvent& event : rule.update(tracks, now)) emit_rule_event(event);
          }
        }
      } catch (const std::exception& e) {
        report_iteration_failure(e.what());
      }
    }
  } catch (const std::exception& e) {
    fail_analysis(e.what());
  }

  try {
    const std::int64_t now = clock_->wall_ms();
    for (IntrusionRule& rule : rules) {
      for (const RuleEvent& event : rule.flush(now)) emit_rule_event(event);
    }
    if (scene_active_) {
      scene_active_ = false;
      emit_scene_event("ended", now);
    }
  } catch (const std::exception& e) {
    log(LogLevel::error, "task: closing events failed",
        {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}, {"err", e.what()}});
  }
}

void AnalysisPipeline::update_statistics(const InferenceResult& result) {
  std::lock_guard lock(mutex_);
  ++status_.detections;
  latencies_.push_back(result.latency_ms);
  while (latencies_.size() > kLatencyWindow) latencies_.pop_front();
  const std::vector<double> window(latencies_.begin(), latencies_.end());
  status_.inference_latency_p50_ms = nearest_rank_percentile(window, 0.5);
  status_.inference_latency_p95_ms = nearest_rank_percentile(window, 0.95);
}

// Both rates are sampled about once a second from what was delivered and run, so an outage or a
// task that never infers reads 0 rather than a stale figure.
void AnalysisPipeline::refresh_rates() {
  const std::int64_t t = clock_->steady_ms();
  std::lock_guard lock(mutex_);
  const std::int64_t dt = t - fps_sample_ms_;
  if (dt < kRateSampleMs) return;
  const double seconds = static_cast<double>(dt) / 1000.0;
  status_.decode_fps = static_cast<double>(status_.frames_decoded - fps_sample_frames_) / seconds;
  status_.inference_fps = static_cast<double>(status_.detections - fps_sample_runs_) / seconds;
  fps_sample_ms_ = t;
  fps_sample_frames_ = status_.frames_decoded;
  fps_sample_runs_ = status_.detections;
}

void AnalysisPipeline::report_iteration_failure(const char* what) {
  const std::int64_t t = clock_->steady_ms();
  ++failures_unreported_;
  if (failure_reported_ && t - last_failure_report_ms_ < kFailureReportMs) return;
  log(LogLevel::warn, "task: analysis iteration failed",
      {{"task_id", config_.task_id},
       {"stream_id", config_.stream_id},
       {"err", what},
       {"count", std::to_string(failures_unreported_)}});
  failure_reported_ = true;
  last_failure_report_ms_ = t;
  failures_unreported_ = 0;
}

void AnalysisPipeline::emit_detections(const std::vector<TrackObservation>& tracks, std::int64_t now) {
  if (!on_detections_) return;
  Json boxes = Json::array();
  for (const TrackObservation& track : tracks) {
    boxes.push_back(Json{{"box", rect_json(track.box)},
                         {"label", track.label},
                         {"score", track.score},
                         {"track_id", track.track_id}});
  }
  const Json message{{"boxes", std::move(boxes)},
                     {"stream_id", config_.stream_id},
                     {"task_id", config_.task_id},
                     {"timestamp", now},
                     {"type", "detections"}};
  on_detections_(message);
}

Json AnalysisPipeline::event_base(const char* event_type, const std::string& state) const {
  // model and model_version are written only by the constructor, so they are read without the lock.
  return Json{{"event_id", next_event_id()},
              {"event_state", state},
              {"event_type", event_type},
              {"model", status_.model},
              {"model_version", status_.model_version},
              {"stream_id", config_.stream_id},
              {"task_id", config_.task_id}};
}

void AnalysisPipeline::emit_rule_event(const RuleEvent& event) {
  {
    std::lock_guard lock(mutex_);
    if (event.event_state == "started") {
      ++status_.events_started;
    } else {
      ++status_.events_ended;
    }
  }
  if (!sink_) return;
  Json boxes = Json::array();
  for (const PersonBox& d : event.boxes) {
    boxes.push_back(Json{{"h", d.box.h},
                         {"score", d.score},
                         {"track_id", d.track_id},
                         {"w", d.box.w},
                         {"x", d.box.x},
                         {"y", d.box.y}});
  }
  Json message = event_base(event.event_type.c_str(), event.event_state);
  message["boxes"] = std::move(boxes);
  message["ended_at"] = event.ended_at;
  message["label"] = event.label;
  message["score"] = event.score;
  message["started_at"] = event.started_at;
  message["track_id"] = event.track_id;
  sink_->publish(std::move(message));
}

void AnalysisPipeline::emit_scene_event(const char* state, std::int64_t ended_at) {
  if (!sink_) return;
  const std::int64_t emitted = clock_->wall_ms();
  const bool ended = std::string_view(state) == "ended";
  Json message = event_base("scene_change", state);
  message["boxes"] = Json::array();
  message["ended_at"] = ended ? (ended_at > 0 ? ended_at : emitted) : std::int64_t{0};
  message["label"] = "scene";
  message["score"] = 0.0;
  message["started_at"] = scene_started_at_ != 0 ? scene_started_at_ : emitted;
  message["track_id"] = "";
  sink_->publish(std::move(message));
  if (ended) scene_started_at_ = 0;
}

}  // namespace velmo::ai
