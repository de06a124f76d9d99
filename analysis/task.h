#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/event_sink/event_sink.h"
#include "foundation/geometry.h"
#include "foundation/json.h"

namespace velmo::ai {

// Candidate stream URLs, "" where the role has none.
struct StreamSources {
  std::string main;
  std::string sub;
  std::string custom;
};

// The kinds of zone rule; a request names them by rule_type_name's text.
enum class RuleType { intrusion };
// How the scene's baseline picture is kept: the pipeline refreshes it on its own, or leaves it as
// it is. A request names them by baseline_mode_name's text.
enum class BaselineMode { automatic, manual };

// "intrusion": the text of a request and of the JSON forms. An unknown value reads as "intrusion".
const char* rule_type_name(RuleType type);
// "auto" or "manual": the text of a request and of the JSON forms. An unknown value reads as "auto".
const char* baseline_mode_name(BaselineMode mode);

struct ZoneRule {
  RuleType type = RuleType::intrusion;
  std::vector<Polygon> zones;  // a person counts as inside when inside any zone
  std::int32_t min_duration_ms = 1000;
  std::int32_t cooldown_ms = 30000;
  std::int32_t min_hits = 2;
  std::int32_t lost_timeout_ms = 5000;
};

struct SceneConfig {
  double change_threshold = 0.015;
  double brightness_delta_threshold = 45.0;
  double blur_threshold = 12.0;
  std::int32_t trigger_ms = 1500;
  std::int32_t cooldown_ms = 30000;
  std::int32_t hold_ms = 4000;
  BaselineMode baseline_mode = BaselineMode::automatic;
  std::vector<Polygon> rois;
  std::vector<Polygon> ignore_zones;
  // The request named "hold_ms"; otherwise the service's scene hold time applies. Never written out.
  bool hold_ms_given = false;
};

struct TaskConfig {
  std::string task_id;
  std::string stream_id;
  std::string stream_url;  // after parsing: the URL of the selected role
  StreamSources streams;
  std::string selected_stream_role = "url";  // after parsing: "main", "sub" or "custom"
  std::string device = "auto";
  std::int32_t fps = 3;
  std::string stream_role = "auto";
  std::string callback_url;  // empty: no event delivery
  std::vector<ZoneRule> rules;
  SceneConfig scene;
};

enum class TaskPhase : int { idle = 0, connecting = 1, running = 2, failed = 3 };

struct TaskSnapshot {
  TaskConfig config;
  TaskPhase phase = TaskPhase::idle;
  std::string error;
  // Why the stream last failed, in plain words; empty once it is online again.
  std::string last_error;
  // Keyframe mode: the camera sends no key frames, so nothing reaches the analysis.
  bool keyframe_starved = false;
  // What the stream's connection guarantees: "none" (no TLS) or "certificate not verified".
  std::string stream_tls = "none";
  std::int64_t started_at = 0;
  double decode_fps = 0.0;
  double inference_fps = 0.0;
  double inference_fps_asked = 0.0;     // while the scene changes
  double inference_fps_achieved = 0.0;  // while the scene changed
  std::uint64_t frames_decoded = 0;
  std::uint64_t frames_dropped = 0;
  std::uint64_t scenes_detected = 0;
  std::uint64_t detections = 0;  // inference runs, not detected objects
  std::uint64_t events_started = 0;
  std::uint64_t events_ended = 0;
  std::uint64_t reconnects = 0;
  // What the task's event sink did with its rule and scene events; all 0 without a callback URL.
  EventDeliveryCounts event_delivery;
  double inference_latency_p50_ms = 0.0;
  double inference_latency_p95_ms = 0.0;
  std::int32_t queue_depth = 0;
  std::string execution_provider = "unavailable";
  std::string model;
  std::string model_version;
};

// One running analysis task as the task manager sees it.
class TaskRunner {
 public:
  // A runner that is still running is stopped first.
  virtual ~TaskRunner() = default;
  // Begins the work on the runner's own threads and returns without waiting.
  virtual void start() = 0;
  // Ends the work and joins the runner's threads; a repeated call, or one before start, does nothing.
  virtual void stop() = 0;
  // Ends like stop(), except that events still waiting for delivery go on in `successor`, the
  // runner that replaces this one, where it posts them to the same place.
  virtual void stop_into(TaskRunner& successor) {
    (void)successor;
    stop();
  }
  // Callable from any thread at any time.
  virtual TaskSnapshot snapshot() const = 0;
  // The phase alone, as snapshot() would give it; runners override it where a snapshot costs
  // more than reading one field (health reads every task's on each request).
  virtual TaskPhase phase() const { return snapshot().phase; }
};

// Validates a task request; throws InvalidInput naming the first offending key.
TaskConfig parse_task_config(const Json& body);
// The keys of a task request that parse_task_config does not read, at the top level, in "scene"
// and in each rule ("callbak_url", "scene.trigger", "rules[0].min_hit"), in that order; callers may
// send extra keys, so they are reported, not refused.
std::vector<std::string> ignored_task_keys(const Json& body);
Json task_config_json(const TaskConfig& config);
Json task_snapshot_json(const TaskSnapshot& snapshot);
// "idle", "connecting", "running" or "failed"; an unknown value reads as "idle".
std::string task_phase_name(TaskPhase phase);

}  // namespace velmo::ai
