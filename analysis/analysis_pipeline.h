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

#include "analysis/analysis_step.h"
#include "analysis/decoder/ffmpeg_decoder.h"
#include "analysis/event_documents.h"
#include "analysis/event_sink/event_sink.h"
#include "analysis/frame_sampler.h"
#include "analysis/task.h"
#include "foundation/clock.h"
#include "foundation/config.h"
#include "foundation/json.h"
#include "inference/inference_scheduler.h"

namespace velmo::ai {

// Receives each "detections" message on the publishing task's analysis thread.
using DetectionCallback = std::function<void(const Json&)>;

// The analysis thread's wait for the next frame: up to timeout_ms for the oldest queued frame,
// returning early once the queue is closed or stop is requested.
using FrameWait =
    std::function<std::optional<VideoFrame>(LatestFrameQueue& frames, int timeout_ms, const std::stop_token& stop)>;

// What the decoder thread runs: reports its states and hands every frame to the callbacks until
// stop is requested. An exception out of it marks the task failed.
using FrameSource = std::function<void(std::stop_token, const DecoderCallbacks&)>;

// Makes the sink of a task that names a callback URL; may return null (events are then counted
// but not delivered). Called once, by the pipeline's constructor; its exceptions propagate.
using EventSinkFactory = std::function<std::unique_ptr<EventSink>(const TaskConfig&)>;

// Replaceable parts of a pipeline; each one left empty keeps the real thing.
struct PipelineSeams {
  std::shared_ptr<const Clock> clock;    // empty: the system clock
  FrameSource source;                    // empty: an FfmpegDecoder on the task's stream URL
  EventSinkFactory sink;                 // empty: no events are delivered
  FrameWait wait_for_frame;              // empty: the queue's own timed wait
  std::optional<double> sampling_phase;  // empty: spread over the pipelines the process made
};

// One running analysis task: a decoder thread feeds the newest frames to an analysis thread that
// samples them, watches the scene, runs the shared detector while the scene changes, tracks people,
// evaluates the intrusion rules and emits detection messages, rule events and scene-change events.
// Its rates and timeouts run on the clock's steady time; its wall time only stamps what it emits.
class AnalysisPipeline final : public TaskRunner {
 public:
  // Throws InvalidInput for a non-positive AI.MaxChannels and for the refusals of the frame queue
  // and the analysis units (a rate or scene or rule setting), ServiceUnavailable while the
  // scheduler is not ready; the sink factory's exceptions propagate. No thread runs yet, except
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
  // A successor that is a pipeline takes the undelivered events into its own sink (HttpEventSink
  // decides whether the URLs allow it).
  void stop_into(TaskRunner& successor) override;
  TaskSnapshot snapshot() const override;
  TaskPhase phase() const override;

  // The key of this pipeline's requests to the scheduler: task id, "#", process-wide pipeline number.
  const std::string& task_key() const { return task_key_; }

 private:
  // stop() and stop_into(): the sink is stopped into `successor` when there is one.
  void finish(EventSink* successor);
  void decoder_loop(std::stop_token stop);
  // Waits for a frame, runs one step and hands on what it produced, until stop.
  void analysis_loop(const std::stop_token& stop);
  // Decoder events never move a failed task out of failed; only start and stop do.
  void set_phase(TaskPhase phase, const std::string& error, bool leave_failed = false);
  void publish(const StepResult& result);
  void update_statistics(double latency_ms);
  void refresh_rates(std::int64_t steady_ms);
  // A warning for the first failure, then at most one per interval with the count since the last.
  void report_iteration_failure(const std::string& what);
  void emit_detections(const InferenceRun& run);
  void emit_event(const AnalysisEvent& event);

  TaskConfig config_;
  AiConfig ai_;
  InferenceScheduler& scheduler_;
  std::uint64_t id_;  // the process's count of pipelines made
  std::string task_key_;
  DetectionCallback on_detections_;
  EventSource event_source_;  // fixed by the constructor
  std::shared_ptr<const Clock> clock_;
  FrameSource source_;
  FrameWait wait_for_frame_;
  LatestFrameQueue frames_;
  // Its run and close belong to the analysis thread; the decoder thread asks its wants_frame.
  std::unique_ptr<AnalysisStep> step_;
  std::unique_ptr<EventSink> sink_;  // destroyed after both threads
  std::jthread decoder_thread_;
  std::jthread analysis_thread_;
  std::atomic<bool> running_{false};

  mutable std::mutex mutex_;
  TaskSnapshot status_;
  std::deque<double> latencies_;
  std::int64_t fps_sample_ms_ = 0;
  std::uint64_t fps_sample_frames_ = 0;
  std::uint64_t fps_sample_runs_ = 0;

  // Analysis thread only.
  bool failure_reported_ = false;
  std::int64_t last_failure_report_ms_ = 0;  // monotonic
  std::uint64_t failures_unreported_ = 0;
};

}  // namespace velmo::ai
