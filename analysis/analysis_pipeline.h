#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "analysis/ffmpeg_decoder.h"
#include "analysis/frame_sampler.h"
#include "analysis/http_event_sink.h"
#include "analysis/intrusion.h"
#include "analysis/task.h"
#include "analysis/tracker.h"
#include "foundation/config.h"
#include "foundation/json.h"
#include "inference/inference_engine.h"
#include "inference/inference_scheduler.h"

namespace velmo::ai {

// Receives each "detections" message on the publishing task's analysis thread.
using DetectionCallback = std::function<void(const Json&)>;

// The pipeline's notion of time: the wall clock of its events, rules and sampling, the monotonic
// clock of its rates, and the analysis thread's wait for the next frame.
class PipelineClock {
 public:
  virtual ~PipelineClock() = default;
  virtual std::int64_t wall_ms() = 0;
  virtual std::int64_t steady_ms() = 0;
  // Waits up to timeout_ms for the oldest queued frame; returns early once the queue is closed or
  // stop is requested.
  virtual std::optional<VideoFrame> wait_for_frame(LatestFrameQueue& frames, int timeout_ms,
                                                   const std::stop_token& stop) = 0;
};

// unix_millis, steady_millis and the queue's own timed wait.
std::shared_ptr<PipelineClock> system_pipeline_clock();

// What the decoder thread runs: reports its states and hands every frame to the callbacks until
// stop is requested. An exception out of it marks the task failed.
using FrameSource = std::function<void(std::stop_token, const DecoderCallbacks&)>;

// Replaceable parts of a pipeline; each one left empty keeps the real thing.
struct PipelineSeams {
  std::shared_ptr<PipelineClock> clock;  // empty: system_pipeline_clock()
  FrameSource source;                    // empty: an FfmpegDecoder on the task's stream URL
};

// One running analysis task: a decoder thread feeds the newest frames to an analysis thread that
// samples them, watches the scene, runs the shared detector while the scene changes, tracks people,
// evaluates the intrusion rules and emits detection messages, rule events and scene-change events.
class AnalysisPipeline final : public TaskRunner {
 public:
  // Throws InvalidInput for a non-positive AI.MaxChannels (and the frame queue's and event sink's
  // own refusals), ServiceUnavailable while the scheduler is not ready. No thread runs yet, except
  // the event sink's delivery thread once the sink exists.
  AnalysisPipeline(TaskConfig config, AiConfig ai, InferenceScheduler& scheduler, DetectionCallback on_detections,
                   PipelineSeams seams = {});
  ~AnalysisPipeline() override;
  AnalysisPipeline(const AnalysisPipeline&) = delete;
  AnalysisPipeline& operator=(const AnalysisPipeline&) = delete;

  // ServiceUnavailable when a thread cannot be started; stop() or destruction ends one that did.
  void start() override;
  // Joins both threads, sends the closing events and drains the event sink. Final.
  void stop() override;
  TaskSnapshot snapshot() const override;

  // The key of this pipeline's requests to the scheduler: task id, "#", process-wide pipeline number.
  const std::string& task_key() const { return task_key_; }

 private:
  void decoder_loop(std::stop_token stop);
  void analysis_loop(std::stop_token stop);
  // A failure to set up the analysis ends the task's work like a decoder failure does.
  void fail_analysis(const std::string& message);
  // Decoder events never move a failed task out of failed; only start and stop do.
  void set_phase(TaskPhase phase, const std::string& error, bool leave_failed = false);
  void update_statistics(const InferenceResult& result);
  void refresh_rates();
  // A warning for the first failure, then at most one per interval with the count since the last.
  void report_iteration_failure(const char* what);
  void emit_detections(const std::vector<TrackObservation>& tracks, std::int64_t now);
  void emit_rule_event(const RuleEvent& event);
  void emit_scene_event(const char* state, std::int64_t ended_at);
  Json event_base(const char* event_type, const std::string& state) const;

  TaskConfig config_;
  AiConfig ai_;
  InferenceScheduler& scheduler_;
  std::string task_key_;
  DetectionCallback on_detections_;
  std::shared_ptr<PipelineClock> clock_;
  FrameSource source_;
  LatestFrameQueue frames_;
  std::unique_ptr<EventSink> sink_;  // destroyed after both threads
  std::jthread decoder_thread_;
  std::jthread analysis_thread_;
  std::stop_source decoder_stop_;  // the decoder thread's, for the analysis thread to end it
  std::atomic<bool> running_{false};

  mutable std::mutex mutex_;
  TaskSnapshot status_;
  std::deque<double> latencies_;
  std::int64_t fps_sample_ms_ = 0;
  std::uint64_t fps_sample_frames_ = 0;
  std::uint64_t fps_sample_runs_ = 0;

  // Written by the analysis thread, read by the decoder thread, so that a picture the sampling
  // gate would refuse is never converted: the gate's last slot, the scene state it samples by,
  // and the stream's picture spacing (from the decoder thread).
  std::atomic<std::int64_t> gate_slot_ms_{0};
  std::atomic<bool> gate_active_{false};
  std::atomic<std::int64_t> frame_period_ms_{0};

  // Analysis thread only.
  std::int64_t scene_started_at_ = 0;
  bool scene_active_ = false;
  bool failure_reported_ = false;
  std::int64_t last_failure_report_ms_ = 0;  // monotonic
  std::uint64_t failures_unreported_ = 0;
};

}  // namespace velmo::ai
