#include "analysis/analysis_pipeline.h"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>

#include "analysis/decoder/ffmpeg_decoder.h"
#include "analysis/event_documents.h"
#include "foundation/errors.h"
#include "foundation/log.h"
#include "foundation/percentile.h"
#include "foundation/randombytes.h"
#include "foundation/signature.h"
#include "foundation/thread_name.h"

namespace velmo::ai {
namespace {

std::atomic<std::uint64_t> g_next_pipeline_id{1};

// The pipeline number's bits mirrored behind the point (1/2, 1/4, 3/4, 1/8, ...): pipelines 1 to
// 2^k - 1 take the points of the sampling interval's split into 2^k equal parts, so tasks made
// together convert their pictures at evenly spread instants, each as far from the next as their
// number allows.
double sampling_phase(std::uint64_t id) {
  double phase = 0.0;
  for (double part = 0.5; id != 0; id >>= 1, part /= 2) {
    if ((id & 1u) != 0) phase += part;
  }
  return phase;
}

constexpr int kFrameWaitMs = 200;
constexpr std::size_t kLatencyWindow = 100;
constexpr std::int64_t kRateSampleMs = 1000;
constexpr std::int64_t kFailureReportMs = 10000;  // one warning per task at most this often

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

std::optional<VideoFrame> queue_wait(LatestFrameQueue& frames, int timeout_ms, const std::stop_token&) {
  // stop closes the queue, which ends this wait.
  return frames.wait_pop(timeout_ms);
}

FrameSource ffmpeg_source(const TaskConfig& task, const AiConfig& ai, std::shared_ptr<const Clock> clock) {
  DecoderOptions options;
  options.clock = std::move(clock);
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

AnalysisPipeline::AnalysisPipeline(TaskConfig config, AiConfig ai, InferenceScheduler& scheduler,
                                   DetectionCallback on_detections, PipelineSeams seams)
    : config_(std::move(config)),
      ai_(std::move(ai)),
      scheduler_(scheduler),
      id_(g_next_pipeline_id.fetch_add(1)),
      task_key_(config_.task_id + "#" + std::to_string(id_)),
      on_detections_(std::move(on_detections)),
      clock_(clock_or_system(std::move(seams.clock))),
      source_(seams.source ? std::move(seams.source) : ffmpeg_source(config_, ai_, clock_)),
      wait_for_frame_(seams.wait_for_frame ? std::move(seams.wait_for_frame) : FrameWait(queue_wait)),
      frames_(static_cast<std::size_t>(std::max(ai_.max_queue_frames, 0))) {
  if (ai_.max_channels <= 0) throw InvalidInput("AI.MaxChannels must be positive");
  if (!config_.scene.hold_ms_given) config_.scene.hold_ms = ai_.scene_hold_ms;
  status_ = TaskSnapshot{};
  status_.config = config_;
  status_.stream_tls = stream_tls(config_.stream_url);
  if (!scheduler_.ready()) throw ServiceUnavailable("shared inference scheduler is not ready");
  const InferenceScheduler::Statistics stats = scheduler_.statistics();
  status_.execution_provider = stats.execution_provider;
  status_.model = stats.model;
  status_.model_version = stats.model_version;
  event_source_ = EventSource{config_.task_id, config_.stream_id, stats.model, stats.model_version};
  try {
    step_ = std::make_unique<AnalysisStep>(
        config_, ai_,
        [this](VideoFrame frame, const std::optional<Rect>& region) {
          return scheduler_.infer(task_key_, std::move(frame), region);
        },
        seams.sampling_phase.value_or(sampling_phase(id_)));
  } catch (const std::invalid_argument& e) {
    // A rate or setting the units refuse is the caller's to fix, as the task parser would say.
    throw InvalidInput(e.what());
  }
  status_.inference_fps_asked = step_->asked_inference_fps();
  if (!config_.callback_url.empty() && seams.sink) sink_ = seams.sink(config_);
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
  analysis_thread_ = start_thread<std::jthread>([this](const std::stop_token& stop) { analysis_loop(stop); });
  log(LogLevel::info, "task: analysis started", {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}});
}

void AnalysisPipeline::stop() { finish(nullptr); }

void AnalysisPipeline::stop_into(TaskRunner& successor) {
  auto* next = dynamic_cast<AnalysisPipeline*>(&successor);
  finish(next != nullptr && next != this ? next->sink_.get() : nullptr);
}

void AnalysisPipeline::finish(EventSink* successor) {
  if (!running_.exchange(false)) return;
  decoder_thread_.request_stop();
  analysis_thread_.request_stop();
  frames_.close();
  if (decoder_thread_.joinable()) decoder_thread_.join();
  if (analysis_thread_.joinable()) analysis_thread_.join();
  if (sink_ && successor != nullptr) {
    sink_->stop_into(*successor);
  } else if (sink_) {
    sink_->stop();
  }
  set_phase(TaskPhase::idle, "", true);
  log(LogLevel::info, "task: analysis stopped", {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}});
}

TaskSnapshot AnalysisPipeline::snapshot() const {
  TaskSnapshot copy;
  {
    std::lock_guard lock(mutex_);
    copy = status_;
    copy.queue_depth = static_cast<std::int32_t>(frames_.size());
    copy.frames_dropped = frames_.dropped();
  }
  // The sink counts under its own lock, which is never taken with the pipeline's.
  if (sink_) copy.event_delivery = sink_->counts();
  return copy;
}

TaskPhase AnalysisPipeline::phase() const {
  std::lock_guard lock(mutex_);
  return status_.phase;
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
    // `reconnects` counts streams lost and reopened, not attempts; until the stream was first
    // online, the error is why it does not open rather than "reopening stream".
    bool was_online = false;
    callbacks.on_state = [this, &was_online](DecoderState state, const std::string& message) {
      switch (state) {
        case DecoderState::opening: set_phase(TaskPhase::connecting, ""); break;
        case DecoderState::online:
          set_phase(TaskPhase::running, "");
          {
            std::lock_guard lock(mutex_);
            status_.last_error.clear();
            if (was_online) ++status_.reconnects;
          }
          was_online = true;
          break;
        case DecoderState::reopening: {
          std::string error = message;
          if (!was_online) {
            std::lock_guard lock(mutex_);
            error = status_.last_error;
          }
          set_phase(TaskPhase::connecting, error);
          break;
        }
        case DecoderState::stopped: break;
      }
    };
    // While the video decoder refuses every packet the stream is up but nothing is decoded.
    callbacks.on_packets_refused = [this](const std::string& cause) {
      std::lock_guard lock(mutex_);
      if (!cause.empty()) status_.last_error = cause;
      if (status_.phase == TaskPhase::running) status_.error = cause;
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
    callbacks.wants_frame = [this](std::int64_t pts_ms) {
      if (step_->wants_frame(pts_ms, clock_->steady_ms())) return true;
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

void AnalysisPipeline::analysis_loop(const std::stop_token& stop) {
  set_thread_name("analysis:" + config_.task_id);
  while (!stop.stop_requested()) {
    std::optional<VideoFrame> frame = wait_for_frame_(frames_, kFrameWaitMs, stop);
    const Instant now = instant_of(*clock_);
    refresh_rates(now.steady_ms);
    // One bad iteration (a throwing subscriber, a frame the detector refuses) costs only itself.
    try {
      publish(step_->run(std::move(frame), now));
    } catch (const std::exception& e) {
      report_iteration_failure(e.what());
    }
  }
  try {
    for (const AnalysisEvent& event : step_->close(instant_of(*clock_))) emit_event(event);
  } catch (const std::exception& e) {
    log(LogLevel::error, "task: closing events failed",
        {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}, {"err", e.what()}});
  }
}

// The events go out before the detections message: a subscriber that throws must not cost the
// sink a "started" whose "ended" would follow later.
void AnalysisPipeline::publish(const StepResult& result) {
  if (result.scene_started) {
    std::lock_guard lock(mutex_);
    ++status_.scenes_detected;
  }
  if (result.run) update_statistics(result.run->latency_ms);
  if (!result.inference_error.empty()) {
    log(LogLevel::warn, "inference: frame inference failed",
        {{"task_id", config_.task_id}, {"stream_id", config_.stream_id}, {"err", result.inference_error}});
  }
  for (const AnalysisEvent& event : result.events) emit_event(event);
  if (result.run) emit_detections(*result.run);
  if (!result.failure.empty()) report_iteration_failure(result.failure);
}

void AnalysisPipeline::update_statistics(double latency_ms) {
  std::lock_guard lock(mutex_);
  ++status_.detections;
  latencies_.push_back(latency_ms);
  while (latencies_.size() > kLatencyWindow) latencies_.pop_front();
  const std::vector<double> window(latencies_.begin(), latencies_.end());
  status_.inference_latency_p50_ms = nearest_rank_percentile(window, 0.5);
  status_.inference_latency_p95_ms = nearest_rank_percentile(window, 0.95);
}

// Both rates are sampled about once a second from what was delivered and run, so an outage or a
// task that never infers reads 0 rather than a stale figure. The rate achieved while the scene
// changed is the step's own measure.
void AnalysisPipeline::refresh_rates(std::int64_t t) {
  std::lock_guard lock(mutex_);
  status_.inference_fps_achieved = step_->achieved_inference_fps();
  const std::int64_t dt = t - fps_sample_ms_;
  if (dt < kRateSampleMs) return;
  const double seconds = static_cast<double>(dt) / 1000.0;
  status_.decode_fps = static_cast<double>(status_.frames_decoded - fps_sample_frames_) / seconds;
  status_.inference_fps = static_cast<double>(status_.detections - fps_sample_runs_) / seconds;
  fps_sample_ms_ = t;
  fps_sample_frames_ = status_.frames_decoded;
  fps_sample_runs_ = status_.detections;
}

void AnalysisPipeline::report_iteration_failure(const std::string& what) {
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

void AnalysisPipeline::emit_detections(const InferenceRun& run) {
  if (!on_detections_) return;
  on_detections_(detections_message(event_source_, run));
}

// Rule events are counted with or without a sink; scene changes are counted as they start.
void AnalysisPipeline::emit_event(const AnalysisEvent& event) {
  if (const auto* rule = std::get_if<RuleEvent>(&event)) {
    std::lock_guard lock(mutex_);
    ++(rule->event_state == EventState::started ? status_.events_started : status_.events_ended);
  }
  if (!sink_) return;
  sink_->publish(event_document(event_source_, event, next_event_id()));
}

}  // namespace velmo::ai
