#include "analysis/analysis_pipeline.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "analysis/event_sink/http_event_sink.h"
#include "foundation/errors.h"
#include "foundation/json.h"
#include "foundation/time.h"
#include "inference/onnx_engine.h"
#include "tests/support/http_receiver.h"
#include "tests/support/manual_clock.h"
#include "tests/support/rtsp_server.h"
#include "tests/support/test_models.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::HttpReceiver;
using test::RtspServerOptions;
using test::RtspTestServer;
using ::testing::HasSubstr;

// The "ball" test pattern: a white disc of about 37 pixels moving over black, centred in the first
// frame. The bright-pixel model reports it as one person.
constexpr double kBallW = 37.0 / 640.0;
constexpr double kBallH = 37.0 / 360.0;

// Every "detections" message a pipeline handed out.
class DetectionLog {
 public:
  DetectionCallback callback() {
    return [this](const Json& message) {
      std::lock_guard lock(mutex_);
      messages_.push_back(message);
    };
  }
  std::vector<Json> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::size_t with_boxes() const {
    std::lock_guard lock(mutex_);
    return std::count_if(messages_.begin(), messages_.end(), [](const Json& m) { return !m["boxes"].empty(); });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Json> messages_;
};

// The events a receiver got, parsed.
std::vector<Json> events_of(const HttpReceiver& receiver) {
  std::vector<Json> out;
  for (const auto& request : receiver.requests()) out.push_back(parse_json(request.body));
  return out;
}

std::vector<Json> events_where(const HttpReceiver& receiver, const std::string& type, const std::string& state) {
  std::vector<Json> out;
  for (const Json& e : events_of(receiver)) {
    if (e["event_type"] == type && e["event_state"] == state) out.push_back(e);
  }
  return out;
}

// What the service gives its pipelines: an HTTP sink for a task that names a callback URL.
EventSinkFactory http_sink() {
  return [](const TaskConfig& task) {
    return std::make_unique<HttpEventSink>(task.callback_url, 64, EventSinkOwner{task.task_id, task.stream_id});
  };
}

// The real decoder and clock, posting to the task's callback URL.
PipelineSeams posting() {
  PipelineSeams seams;
  seams.sink = http_sink();
  return seams;
}

AiConfig fast_ai() {
  AiConfig ai;
  ai.enabled = true;
  ai.device = "cpu";
  ai.inference_fps = 5;
  ai.active_fps = 5;
  ai.idle_fps = 1;
  ai.max_channels = 4;
  ai.max_queue_frames = 2;
  ai.scene_hold_ms = 4000;
  ai.decode_mode = "all";      // every frame, not only key frames
  ai.hardware_decode = "off";  // no time lost probing for VAAPI
  return ai;
}

// A task that sees the moving ball as a scene change at once and counts anyone anywhere in the
// frame as an intruder.
Json ball_task(const std::string& url, const std::string& callback) {
  Json task{{"task_id", "cam1"},
            {"stream_id", "stream-1"},
            {"stream_url", url},
            {"fps", 5},
            {"scene",
             {{"change_threshold", 0.002},
              {"blur_threshold", 0.0},
              {"trigger_ms", 0},
              {"cooldown_ms", 0},
              {"hold_ms", 2000}}},
            {"rules",
             Json::array({{{"type", "intrusion"},
                           {"zones", Json::array({Json::array({{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}})})},
                           {"min_duration_ms", 0},
                           {"min_hits", 2},
                           {"lost_timeout_ms", 5000}}})}};
  if (!callback.empty()) task["callback_url"] = callback;
  return task;
}

RtspServerOptions slow_ball() {
  RtspServerOptions options;
  options.width = 640;
  options.height = 360;
  options.fps = 10;  // the disc moves per frame: at 10 fps it crosses the picture in about 10 s
  options.pattern = "ball";
  return options;
}

// ---- scripted runs: frames handed over by the test, time moved by the test ----

// The analysis thread's wait for a frame, held until the test moves time: every `step` lets
// exactly one iteration of the analysis loop run and returns once it has finished.
class Stepper {
 public:
  explicit Stepper(std::shared_ptr<test::ManualClock> clock) : clock_(std::move(clock)) {}

  FrameWait wait() {
    return [this](LatestFrameQueue& frames, int, const std::stop_token& stop) {
      std::unique_lock lock(mutex_);
      ++waiting_;
      changed_.notify_all();
      changed_.wait(lock, stop, [&] { return released_ >= waiting_; });
      return frames.pop();
    };
  }

  // Moves both clocks on by `ms`, then runs one iteration.
  void step(std::int64_t ms) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 10s, [&] { return waiting_ > released_; })) {
      throw std::runtime_error("the analysis thread never came back to its wait");
    }
    clock_->advance(ms);
    ++released_;
    changed_.notify_all();
    if (!changed_.wait_for(lock, 10s, [&] { return waiting_ > released_; })) {
      throw std::runtime_error("an iteration did not finish");
    }
  }

 private:
  std::shared_ptr<test::ManualClock> clock_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::uint64_t waiting_ = 0;   // waits begun by the analysis thread
  std::uint64_t released_ = 0;  // waits the test let go
};

// Stands in for the decoder: online at once, then hands over whatever frame the test delivers.
class ScriptedSource {
 public:
  FrameSource source() {
    return [this](std::stop_token stop, const DecoderCallbacks& callbacks) {
      if (callbacks.on_state) callbacks.on_state(DecoderState::opening, "opening stream");
      if (callbacks.on_state) callbacks.on_state(DecoderState::online, "stream online");
      std::unique_lock lock(mutex_);
      callbacks_ = &callbacks;
      changed_.notify_all();
      changed_.wait(lock, stop, [] { return false; });
      callbacks_ = nullptr;
    };
  }

  bool deliver(VideoFrame frame) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 10s, [&] { return callbacks_ != nullptr; })) {
      throw std::runtime_error("the frame source never ran");
    }
    frame.sequence = ++sequence_;
    return callbacks_->on_frame(std::move(frame));
  }

  // Calls the callbacks as the decoder does, from the test's thread.
  void report(const std::function<void(const DecoderCallbacks&)>& what) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 10s, [&] { return callbacks_ != nullptr; })) {
      throw std::runtime_error("the frame source never ran");
    }
    what(*callbacks_);
  }

  // As the decoder does: asks first, and hands the picture over only when it is wanted.
  bool offer(VideoFrame frame, std::int64_t pts_ms) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 10s, [&] { return callbacks_ != nullptr; })) {
      throw std::runtime_error("the frame source never ran");
    }
    if (!callbacks_->wants_frame(pts_ms)) return false;
    frame.pts_ms = pts_ms;
    frame.sequence = ++sequence_;
    return callbacks_->on_frame(std::move(frame));
  }

 private:
  std::mutex mutex_;
  std::condition_variable_any changed_;
  const DecoderCallbacks* callbacks_ = nullptr;
  std::uint64_t sequence_ = 0;
};

constexpr std::int64_t kT0 = 1'700'000'000'000;  // the manual wall clock's start

// 320 x 180 frames: black (the empty scene) or with one red block, which changes the scene and
// which the bright-pixel model reports as a person.
VideoFrame empty_picture() { return test::frame_with_rectangle(320, 180, 0, 0, 0, 0); }
VideoFrame block_at(int x, int y = 60) { return test::frame_with_rectangle(320, 180, x, y, x + 30, y + 60); }

// A task whose scene reacts to the block at once; `rules` adds an intrusion zone over the whole
// picture.
Json scripted_task(int hold_ms, int cooldown_ms, bool rules) {
  Json task{{"task_id", "cam5"},
            {"stream_id", "stream-5"},
            {"stream_url", "rtsp://127.0.0.1:1/live"},
            {"fps", 5},
            {"scene",
             {{"change_threshold", 0.002},
              {"blur_threshold", 0.0},
              {"trigger_ms", 0},
              {"cooldown_ms", cooldown_ms},
              {"hold_ms", hold_ms}}}};
  if (rules) {
    task["rules"] =
        Json::array({{{"type", "intrusion"},
                      {"zones", Json::array({Json::array({{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}})})},
                      {"min_duration_ms", 0},
                      {"min_hits", 2},
                      {"cooldown_ms", 0},
                      {"lost_timeout_ms", 1000}}});
  }
  return task;
}

// A started pipeline on a manual clock and a scripted source, posting to a real receiver. The
// clock starts at kT0 - 1000, so the first `step(1000)` runs at kT0.
class Script {
 public:
  Script(Json task, InferenceScheduler& scheduler, DetectionCallback on_detections = {}, AiConfig ai = fast_ai(),
         bool post_events = true, std::optional<double> sampling_phase = 0.0) {
    if (post_events) task["callback_url"] = receiver.url("/v1/events");
    if (!on_detections) on_detections = detections.callback();
    pipeline =
        std::make_unique<AnalysisPipeline>(parse_task_config(task), std::move(ai), scheduler, std::move(on_detections),
                                           PipelineSeams{clock, source.source(), http_sink(), stepper.wait(),
                                                         sampling_phase});
    pipeline->start();
  }
  ~Script() { pipeline->stop(); }

  // One iteration `ms` after the last, with this frame waiting.
  void frame(std::int64_t ms, VideoFrame picture) {
    source.deliver(std::move(picture));
    stepper.step(ms);
  }
  // One iteration `ms` after the last, without a frame.
  void idle(std::int64_t ms) { stepper.step(ms); }
  // Offered as the decoder offers a decoded picture, at the present time; true: handed over.
  bool offer(VideoFrame picture, std::int64_t pts_ms) { return source.offer(std::move(picture), pts_ms); }
  std::int64_t now() { return clock->wall_ms(); }

  std::vector<Json> scene_events() const {
    std::vector<Json> out;
    for (const Json& e : events_of(receiver)) {
      if (e["event_type"] == "scene_change") out.push_back(e);
    }
    return out;
  }

  std::shared_ptr<test::ManualClock> clock = std::make_shared<test::ManualClock>(kT0 - 1000);
  Stepper stepper{clock};
  ScriptedSource source;
  HttpReceiver receiver;
  DetectionLog detections;
  std::unique_ptr<AnalysisPipeline> pipeline;
};

// "started" and "ended" alternate and each "ended" carries its "started"'s start time.
void expect_balanced(const std::vector<Json>& events) {
  ASSERT_EQ(events.size() % 2, 0u) << dump_json(Json(events));
  for (std::size_t i = 0; i < events.size(); ++i) {
    ASSERT_EQ(events[i]["event_state"], i % 2 == 0 ? "started" : "ended") << dump_json(Json(events));
    if (i % 2 == 1) {
      EXPECT_EQ(events[i]["started_at"], events[i - 1]["started_at"]) << i;
    }
  }
}

// "started" and "ended" of one event type alternate, each "ended" closing the "started" before it,
// and no start time repeats: nothing lost, nothing sent twice.
void expect_balanced_without_repeats(const HttpReceiver& receiver, const std::string& type) {
  std::vector<Json> events;
  for (const Json& e : events_of(receiver)) {
    if (e["event_type"] == type) events.push_back(e);
  }
  SCOPED_TRACE(type);
  expect_balanced(events);
  for (std::size_t i = 2; i < events.size(); i += 2) {
    EXPECT_GT(events[i]["started_at"].get<std::int64_t>(), events[i - 2]["started_at"].get<std::int64_t>());
  }
}

class PipelineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir();
    package_ = new test::ModelPackage(test::write_signed_package(dir_->path() / "model", "bright_dets"));
    const test::ModelPackage package = *package_;
    scheduler_ = new InferenceScheduler(
        [package] {
          return std::make_unique<OnnxEngine>(package.manifest, package.public_key, true, ExecutionProvider::cpu, 1);
        },
        4);
    ASSERT_TRUE(scheduler_->start()) << scheduler_->statistics().error;
  }
  static void TearDownTestSuite() {
    delete scheduler_;
    delete package_;
    delete dir_;
  }

  static InferenceScheduler& scheduler() { return *scheduler_; }

  static test::TempDir* dir_;
  static test::ModelPackage* package_;
  static InferenceScheduler* scheduler_;
};

test::TempDir* PipelineTest::dir_ = nullptr;
test::ModelPackage* PipelineTest::package_ = nullptr;
InferenceScheduler* PipelineTest::scheduler_ = nullptr;

TEST_F(PipelineTest, DetectsTracksAndReportsAMovingPersonEndToEnd) {
  RtspTestServer server(slow_ball());
  HttpReceiver receiver;
  DetectionLog detections;
  AnalysisPipeline pipeline(parse_task_config(ball_task(server.live_url(), receiver.url("/v1/events"))), fast_ai(),
                            scheduler(), detections.callback(), posting());
  EXPECT_EQ(pipeline.snapshot().phase, TaskPhase::idle);

  const std::int64_t before_start = unix_millis();
  pipeline.start();
  TaskSnapshot first = pipeline.snapshot();
  EXPECT_NE(first.phase, TaskPhase::idle);
  EXPECT_GE(first.started_at, before_start);
  ASSERT_TRUE(eventually([&] { return pipeline.snapshot().phase == TaskPhase::running; }, 10s));
  EXPECT_EQ(pipeline.snapshot().error, "");

  // Two detections messages with the disc, an intrusion and a scene change that started.
  ASSERT_TRUE(eventually(
      [&] {
        return detections.with_boxes() >= 2 && !events_where(receiver, "intrusion", "started").empty() &&
               !events_where(receiver, "scene_change", "started").empty() && pipeline.snapshot().decode_fps > 0.0 &&
               pipeline.snapshot().inference_fps > 0.0;
      },
      15s));

  for (const Json& message : detections.messages()) {
    EXPECT_EQ(message["type"], "detections");
    EXPECT_EQ(message["task_id"], "cam1");
    EXPECT_EQ(message["stream_id"], "stream-1");
    EXPECT_TRUE(message["timestamp"].is_number_integer());
    EXPECT_GE(message["timestamp"].get<std::int64_t>(), before_start);
  }
  const auto messages = detections.messages();
  const auto with_box =
      std::find_if(messages.begin(), messages.end(), [](const Json& m) { return !m["boxes"].empty(); });
  ASSERT_NE(with_box, messages.end());
  const Json& box = (*with_box)["boxes"][0];
  EXPECT_EQ(box["label"], "person");
  EXPECT_DOUBLE_EQ(box["score"].get<double>(), 1.0);
  EXPECT_THAT(box["track_id"].get<std::string>(), ::testing::StartsWith("track-"));
  EXPECT_NEAR(box["box"]["w"].get<double>(), kBallW, 0.03);
  EXPECT_NEAR(box["box"]["h"].get<double>(), kBallH, 0.04);
  EXPECT_GE(box["box"]["x"].get<double>(), 0.0);
  EXPECT_LE(box["box"]["x"].get<double>() + box["box"]["w"].get<double>(), 1.0 + 1e-9);

  const Json started = events_where(receiver, "intrusion", "started").front();
  EXPECT_EQ(started.size(), 14u);
  EXPECT_EQ(started["rule_index"], 0);
  EXPECT_EQ(started["label"], "person");
  EXPECT_EQ(started["model"], "bright_dets");
  EXPECT_EQ(started["model_version"], "1.0.0");
  EXPECT_EQ(started["task_id"], "cam1");
  EXPECT_EQ(started["stream_id"], "stream-1");
  EXPECT_EQ(started["ended_at"], 0);
  EXPECT_GE(started["started_at"].get<std::int64_t>(), before_start);
  EXPECT_THAT(started["track_id"].get<std::string>(), ::testing::StartsWith("track-"));
  ASSERT_EQ(started["boxes"].size(), 1u);
  const Json& event_box = started["boxes"][0];
  EXPECT_FALSE(event_box.contains("label"));
  EXPECT_EQ(event_box["track_id"], started["track_id"]);
  EXPECT_NEAR(event_box["w"].get<double>(), kBallW, 0.03);
  EXPECT_DOUBLE_EQ(event_box["score"].get<double>(), 1.0);

  const Json scene_started = events_where(receiver, "scene_change", "started").front();
  EXPECT_EQ(scene_started.size(), 13u);
  EXPECT_NE(scene_started["event_id"], started["event_id"]);
  EXPECT_EQ(scene_started["label"], "scene");
  EXPECT_EQ(scene_started["boxes"], Json::array());
  EXPECT_EQ(scene_started["track_id"], "");
  EXPECT_EQ(scene_started["ended_at"], 0);
  EXPECT_TRUE(scene_started["score"].is_number_float());
  EXPECT_GE(scene_started["started_at"].get<std::int64_t>(), before_start);
  EXPECT_EQ(dump_json(scene_started["score"]), "0.0");

  for (const auto& request : receiver.requests()) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/events");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
  }

  TaskSnapshot running = pipeline.snapshot();
  EXPECT_EQ(running.phase, TaskPhase::running);
  EXPECT_GT(running.frames_decoded, 0u);
  EXPECT_GE(running.detections, 2u);
  EXPECT_GE(running.scenes_detected, 1u);
  EXPECT_GE(running.events_started, 1u);
  EXPECT_GT(running.decode_fps, 0.0);
  EXPECT_GT(running.inference_fps, 0.0);
  EXPECT_GE(running.inference_latency_p95_ms, running.inference_latency_p50_ms);
  EXPECT_LE(running.queue_depth, 2);
  EXPECT_EQ(running.execution_provider, "CPUExecutionProvider");
  EXPECT_EQ(running.model, "bright_dets");
  EXPECT_EQ(running.model_version, "1.0.0");
  EXPECT_EQ(running.reconnects, 0u);

  // Stop: whatever is still open ends then, so every "started" has its "ended" by the time stop
  // returns, each with the start it was reported with.
  const auto stop_began = std::chrono::steady_clock::now();
  pipeline.stop();
  const std::int64_t after_stop = unix_millis();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_began, 15s);
  expect_balanced_without_repeats(receiver, "intrusion");
  expect_balanced_without_repeats(receiver, "scene_change");
  for (const Json& e : events_of(receiver)) {
    if (e["event_state"] == "ended") {
      EXPECT_LE(e["ended_at"].get<std::int64_t>(), after_stop) << e;
    }
  }

  TaskSnapshot stopped = pipeline.snapshot();
  EXPECT_EQ(stopped.phase, TaskPhase::idle);
  EXPECT_EQ(stopped.error, "");
  EXPECT_EQ(stopped.events_started, events_where(receiver, "intrusion", "started").size());
  EXPECT_EQ(stopped.events_ended, stopped.events_started);
  const std::size_t messages_at_stop = detections.messages().size();
  const std::size_t requests_at_stop = receiver.request_count();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(detections.messages().size(), messages_at_stop);
  EXPECT_EQ(receiver.request_count(), requests_at_stop);
  pipeline.stop();  // a second stop does nothing
  EXPECT_EQ(receiver.request_count(), requests_at_stop);
  // Every picture's block came back to the process's pool: from the queue, the detector and the
  // inference alike.
  EXPECT_EQ(FramePool::process_pool()->blocks_in_use(), 0u);
}

TEST_F(PipelineTest, ScriptedSceneChangesOfATaskWithoutRulesAreBalancedAndRunNoInference) {
  // No hold and no cooldown: a change ends as soon as it starts, and each frame with the block
  // (sampled at the idle rate again) triggers anew.
  Script script(scripted_task(0, 0, false), scheduler());
  script.frame(1000, empty_picture());  // the baseline
  script.frame(1000, block_at(100));
  script.frame(200, block_at(140));  // the idle rate drops it
  script.frame(800, block_at(180));
  script.frame(1000, block_at(220));
  script.pipeline->stop();

  const auto events = script.scene_events();
  expect_balanced(events);
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[0]["started_at"], kT0 + 1000);
  EXPECT_EQ(events[1]["ended_at"], kT0 + 1000);
  EXPECT_EQ(events[2]["started_at"], kT0 + 2000);
  EXPECT_EQ(events[4]["started_at"], kT0 + 3000);
  EXPECT_EQ(events[5]["ended_at"], kT0 + 3000) << "closed at stop";
  const TaskSnapshot s = script.pipeline->snapshot();
  EXPECT_EQ(s.scenes_detected, 3u);
  EXPECT_EQ(s.frames_decoded, 5u);
  EXPECT_EQ(s.detections, 0u);
  EXPECT_EQ(s.events_started, 0u);
  EXPECT_TRUE(script.detections.messages().empty());
}

// A picture is converted only when the sampling gate will take it: the decoder is told no for the
// others (at the idle rate, then at the active rate once the scene changes), and every picture
// still counts as decoded. Pictures 40 ms apart may come 20 ms before their slot, and the slots
// keep to the rate: the one taken early at 980 ms holds the slot of 1000 ms.
TEST_F(PipelineTest, ScriptedOnlyPicturesTheGateWillTakeAreConverted) {
  Script script(scripted_task(10000, 0, false), scheduler());
  script.frame(1000, empty_picture());  // kT0: the first picture is taken, as the baseline
  EXPECT_FALSE(script.offer(empty_picture(), 40));
  EXPECT_FALSE(script.offer(empty_picture(), 80));
  script.idle(979);
  EXPECT_FALSE(script.offer(empty_picture(), 120));  // 21 ms early for 1 fps
  script.idle(1);
  EXPECT_TRUE(script.offer(block_at(100), 160));
  EXPECT_FALSE(script.offer(block_at(100), 200));  // the one handed over is not taken yet
  script.idle(0);                                  // taken: the scene changes, sampling goes to 5 fps
  ASSERT_EQ(script.pipeline->snapshot().scenes_detected, 1u);
  EXPECT_FALSE(script.offer(block_at(100), 240));
  script.idle(199);
  EXPECT_FALSE(script.offer(block_at(100), 280));  // 21 ms early for the slot at 1200 ms
  script.idle(1);
  EXPECT_TRUE(script.offer(block_at(100), 320));
  script.idle(0);
  const TaskSnapshot s = script.pipeline->snapshot();
  EXPECT_EQ(s.frames_decoded, 9u);
  EXPECT_EQ(s.frames_dropped, 0u);
  EXPECT_EQ(s.queue_depth, 0);
}

// A 25 fps camera whose every picture the gate takes (ActiveFPS 25) while the scene changes: the
// detector still runs no more often than AI.InferenceFPS 3, though a run may come a little early.
TEST_F(PipelineTest, ScriptedInferenceKeepsToItsRate) {
  AiConfig ai = fast_ai();
  ai.inference_fps = 3;
  ai.active_fps = 25;
  Json task = scripted_task(60000, 0, true);
  task["fps"] = 25;
  Script script(task, scheduler(), {}, ai);
  script.frame(1000, empty_picture());
  for (int i = 1; i <= 250; ++i) {
    script.offer(block_at(40 + i % 200), 40 * i);
    script.idle(40);
  }
  std::vector<std::int64_t> runs;
  for (const Json& message : script.detections.messages()) runs.push_back(message["timestamp"].get<std::int64_t>());
  ASSERT_GE(runs.size(), 20u);
  const std::int64_t interval = 333;
  const std::int64_t early = 20;  // half the cameras' picture spacing
  // n runs span at least n - 1 intervals, less what the first and the last may be early.
  EXPECT_GE(runs.back() - runs.front() + 2 * early, static_cast<std::int64_t>(runs.size() - 1) * interval);
  for (std::size_t i = 1; i < runs.size(); ++i) EXPECT_GE(runs[i] - runs[i - 1], interval - 2 * early) << i;
  // The detector kept up: the task got the rate it asked for.
  const Json statistics = task_snapshot_json(script.pipeline->snapshot())["statistics"];
  EXPECT_EQ(statistics["inference_fps_asked"], 3.0);
  EXPECT_NEAR(statistics["inference_fps_achieved"].get<double>(), 3.0, 0.1);
}

// What the decoder says about its camera reaches the task's status: why it last failed, until the
// stream is online again, whether a keyframe-mode camera sends no key frames, and whether its
// packets are all refused.
TEST_F(PipelineTest, ScriptedDecoderReportsReachTheStatus) {
  Script script(scripted_task(1000, 0, false), scheduler());
  script.source.report([](const DecoderCallbacks& decoder) {
    decoder.on_error("camera answered 401 Unauthorized");
    decoder.on_state(DecoderState::reopening, "reopening stream");
    decoder.on_starved(true);
  });
  const Json down = task_snapshot_json(script.pipeline->snapshot());
  EXPECT_EQ(down["phase"], "connecting");
  EXPECT_EQ(down["error"], "reopening stream");
  EXPECT_EQ(down["last_error"], "camera answered 401 Unauthorized");
  EXPECT_EQ(down["keyframe_starved"], true);
  script.source.report([](const DecoderCallbacks& decoder) {
    decoder.on_state(DecoderState::online, "stream online");
    decoder.on_starved(false);
  });
  const TaskSnapshot up = script.pipeline->snapshot();
  EXPECT_EQ(up.phase, TaskPhase::running);
  EXPECT_EQ(up.last_error, "");
  EXPECT_FALSE(up.keyframe_starved);
  // A video decoder that refuses every packet: the stream is up, and nothing is decoded.
  const std::string refused = "video decoder refused every packet for 5 s: Invalid data";
  script.source.report([&](const DecoderCallbacks& decoder) { decoder.on_packets_refused(refused); });
  EXPECT_EQ(script.pipeline->snapshot().error, refused);
  EXPECT_EQ(script.pipeline->snapshot().last_error, refused);
  script.source.report([](const DecoderCallbacks& decoder) { decoder.on_packets_refused(""); });
  EXPECT_EQ(script.pipeline->snapshot().error, "");
  EXPECT_EQ(script.pipeline->snapshot().phase, TaskPhase::running);
}

TEST_F(PipelineTest, ScriptedSceneChangeEndsWhenItsHoldRunsOutWithoutFrames) {
  Script script(scripted_task(1000, 0, false), scheduler());
  script.frame(1000, empty_picture());
  script.frame(1000, block_at(100));  // kT0 + 1000: started
  script.frame(200, block_at(110));   // held until kT0 + 2200
  // The camera goes quiet: no frame arrives any more.
  for (int i = 0; i < 5; ++i) script.idle(200);
  ASSERT_EQ(script.now(), kT0 + 2200);
  script.idle(200);
  ASSERT_TRUE(eventually([&] { return script.scene_events().size() == 2; }, 5s))
      << dump_json(Json(script.scene_events()));
  const Json ended = script.scene_events()[1];
  EXPECT_EQ(ended["event_state"], "ended");
  EXPECT_EQ(ended["started_at"], kT0 + 1000);
  EXPECT_EQ(ended["ended_at"], kT0 + 2200) << "when the hold ran out";

  // Frames come back: a new change starts and the stop closes it.
  script.frame(1000, block_at(200));
  script.pipeline->stop();
  const auto events = script.scene_events();
  expect_balanced(events);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[2]["started_at"], kT0 + 3400);
  EXPECT_EQ(events[3]["ended_at"], kT0 + 3400);
}

TEST_F(PipelineTest, ScriptedSceneCooldownHoldsBackOnlyTheEventNotTheDetector) {
  // Hold 400 ms, cooldown 30 s, an intrusion zone over the whole picture (2 hits, lost after 1 s).
  Script script(scripted_task(400, 30000, true), scheduler());
  script.frame(1000, empty_picture());
  script.frame(1000, block_at(100));  // kT0 + 1000: scene started, first sighting
  script.idle(200);
  script.idle(200);
  script.idle(200);  // kT0 + 1600: the hold ran out at kT0 + 1400
  ASSERT_TRUE(eventually([&] { return script.scene_events().size() == 2; }, 5s));

  // Inside the cooldown the person comes back: it is detected, confirmed and starts an intrusion.
  script.frame(400, block_at(100));  // kT0 + 2000
  script.frame(200, block_at(104));
  for (int i = 0; i < 10; ++i) script.idle(200);  // kT0 + 4200: scene and intrusion ran out
  script.pipeline->stop();

  const auto scene = script.scene_events();
  ASSERT_EQ(scene.size(), 2u) << "no scene event inside the cooldown: " << dump_json(Json(scene));
  EXPECT_EQ(scene[1]["ended_at"], kT0 + 1400);
  const auto started = events_where(script.receiver, "intrusion", "started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]["started_at"], kT0 + 2200) << "its second sighting in the zone";
  const auto ended = events_where(script.receiver, "intrusion", "ended");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0]["ended_at"], kT0 + 4000) << "on the once-a-second rule tick, not at the stop";
  EXPECT_EQ(script.detections.with_boxes(), 3u);
  const TaskSnapshot s = script.pipeline->snapshot();
  EXPECT_EQ(s.scenes_detected, 1u);
  EXPECT_EQ(s.detections, 3u);
}

TEST_F(PipelineTest, ScriptedFailingIterationIsLoggedOnceAndTheTaskGoesOn) {
  std::atomic<bool> failing{true};
  DetectionLog delivered;
  auto callback = delivered.callback();
  Script script(scripted_task(2000, 0, true), scheduler(), [&](const Json& message) {
    if (failing && !message["boxes"].empty()) throw std::runtime_error("subscriber gone");
    callback(message);
  });
  script.frame(1000, empty_picture());
  test::LogCapture log_capture;
  for (int i = 0; i < 5; ++i) script.frame(i == 0 ? 1000 : 200, block_at(100 + 4 * i));
  const TaskSnapshot during = script.pipeline->snapshot();
  failing = false;
  for (int i = 5; i < 8; ++i) script.frame(200, block_at(100 + 4 * i));
  const std::string log = log_capture.text();

  EXPECT_EQ(during.phase, TaskPhase::running);
  EXPECT_EQ(during.error, "");
  const TaskSnapshot after = script.pipeline->snapshot();
  EXPECT_EQ(after.phase, TaskPhase::running);
  EXPECT_EQ(after.frames_decoded, 9u) << "the decoder was not let go";
  EXPECT_EQ(delivered.with_boxes(), 3u);
  EXPECT_EQ(after.events_started, 1u);
  // Five failures within a second: one warning.
  EXPECT_EQ(during.detections, 5u);
  std::size_t lines = 0;
  for (std::size_t at = log.find("task: analysis iteration failed"); at != std::string::npos;
       at = log.find("task: analysis iteration failed", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1u) << log;
  EXPECT_THAT(log, HasSubstr("subscriber gone"));
  script.pipeline->stop();
  EXPECT_EQ(events_where(script.receiver, "intrusion", "started").size(), 1u);
  EXPECT_EQ(events_where(script.receiver, "intrusion", "ended").size(), 1u);
  expect_balanced(script.scene_events());
}

TEST_F(PipelineTest, ScriptedDecodeRateFollowsTheDeliveredFramesWithoutInference) {
  Script script(scripted_task(1000, 0, false), scheduler());
  script.frame(1000, empty_picture());
  for (int i = 0; i < 5; ++i) script.frame(200, empty_picture());
  EXPECT_DOUBLE_EQ(script.pipeline->snapshot().decode_fps, 5.0);
  // An outage: nothing delivered for a second.
  for (int i = 0; i < 5; ++i) script.idle(200);
  EXPECT_DOUBLE_EQ(script.pipeline->snapshot().decode_fps, 0.0);
  EXPECT_DOUBLE_EQ(script.pipeline->snapshot().inference_fps, 0.0);
}

TEST_F(PipelineTest, ScriptedCameraOutageEndsTheSceneReconnectsAndLosesNoEvent) {
  // Hold 1 s; an intrusion zone over the whole picture (2 hits, lost after 1 s).
  Script script(scripted_task(1000, 0, true), scheduler());
  script.frame(1000, empty_picture());
  for (int i = 0; i < 3; ++i) script.frame(i == 0 ? 1000 : 200, block_at(100 + 4 * i));  // last at kT0 + 1400
  EXPECT_EQ(script.pipeline->snapshot().events_started, 1u);

  // The camera dies: no picture comes any more while the decoder tries again.
  script.source.report(
      [](const DecoderCallbacks& decoder) { decoder.on_state(DecoderState::reopening, "reopening stream"); });
  for (int i = 0; i < 8; ++i) script.idle(200);  // kT0 + 3000
  const TaskSnapshot down = script.pipeline->snapshot();
  EXPECT_EQ(down.phase, TaskPhase::connecting);
  EXPECT_EQ(script.pipeline->phase(), TaskPhase::connecting) << "health reads the phase alone";
  EXPECT_EQ(down.error, "reopening stream");
  EXPECT_EQ(down.reconnects, 0u) << "lost, not yet reopened";
  EXPECT_DOUBLE_EQ(down.decode_fps, 0.0);
  ASSERT_TRUE(eventually([&] { return events_where(script.receiver, "intrusion", "ended").size() == 1; }, 5s));
  const auto scene = script.scene_events();
  ASSERT_EQ(scene.size(), 2u);
  EXPECT_EQ(scene[1]["ended_at"], kT0 + 2400) << "a hold after the last picture";
  EXPECT_EQ(events_where(script.receiver, "intrusion", "ended")[0]["ended_at"], kT0 + 3000) << "on the rule tick";

  // It comes back: running again, and the person makes a new scene change and intrusion.
  script.source.report([](const DecoderCallbacks& decoder) { decoder.on_state(DecoderState::online, "online"); });
  script.frame(1000, block_at(120));
  script.frame(200, block_at(124));
  EXPECT_EQ(script.pipeline->snapshot().phase, TaskPhase::running);
  EXPECT_EQ(script.pipeline->phase(), TaskPhase::running);
  EXPECT_EQ(script.pipeline->snapshot().error, "");
  EXPECT_EQ(script.pipeline->snapshot().reconnects, 1u);
  script.pipeline->stop();

  expect_balanced_without_repeats(script.receiver, "scene_change");
  expect_balanced_without_repeats(script.receiver, "intrusion");
  const TaskSnapshot s = script.pipeline->snapshot();
  EXPECT_EQ(s.scenes_detected, 2u);
  EXPECT_EQ(s.events_started, 2u);
  EXPECT_EQ(s.events_ended, 2u);
}

TEST_F(PipelineTest, ScriptedRuleEventsAreCountedWithoutACallbackUrl) {
  Script script(scripted_task(2000, 0, true), scheduler(), {}, fast_ai(), false);
  script.frame(1000, empty_picture());
  for (int i = 0; i < 3; ++i) script.frame(i == 0 ? 1000 : 200, block_at(100 + 4 * i));
  EXPECT_EQ(script.pipeline->snapshot().events_started, 1u);
  EXPECT_EQ(script.detections.with_boxes(), 3u);
  script.pipeline->stop();
  EXPECT_EQ(script.pipeline->snapshot().events_ended, 1u);
  EXPECT_EQ(script.receiver.request_count(), 0u);
}

// Pipelines made one after the other take their pictures at different instants of the sampling
// interval: of three in a row, one at least has an odd number (a phase of half an interval or
// more) and one an even number (less than half).
TEST_F(PipelineTest, ScriptedPipelinesMadeInARowSpreadTheirSamplingPhases) {
  std::set<std::int64_t> instants;  // of each pipeline's second picture, within the interval
  for (int i = 0; i < 3; ++i) {
    Script script(scripted_task(1000, 0, false), scheduler(), {}, fast_ai(), false, std::nullopt);
    std::vector<std::int64_t> wanted;
    for (std::int64_t pts = 0; wanted.size() < 2 && pts <= 3000; pts += 40, script.clock->advance(40)) {
      if (script.offer(empty_picture(), pts)) wanted.push_back(script.clock->steady_ms());
    }
    ASSERT_EQ(wanted.size(), 2u);
    instants.insert(wanted[1] % 1000);
  }
  EXPECT_GE(instants.size(), 2u);
}

TEST_F(PipelineTest, ConstructionFillsTheSceneHoldAndNumbersPipelines) {
  AiConfig ai = fast_ai();
  ai.scene_hold_ms = 2500;
  Json task{{"task_id", "cam9"}, {"stream_id", "s9"}, {"stream_url", "rtsp://127.0.0.1:1/live"}};

  AnalysisPipeline defaulted(parse_task_config(task), ai, scheduler(), {});
  EXPECT_EQ(defaulted.snapshot().config.scene.hold_ms, 2500);
  EXPECT_EQ(task_snapshot_json(defaulted.snapshot())["config"]["scene"]["hold_ms"], 2500);
  EXPECT_EQ(defaulted.snapshot().phase, TaskPhase::idle);
  EXPECT_EQ(defaulted.snapshot().model, "bright_dets");

  task["scene"] = Json{{"hold_ms", 0}};
  AnalysisPipeline zero(parse_task_config(task), ai, scheduler(), {});
  EXPECT_EQ(zero.snapshot().config.scene.hold_ms, 0);

  // Numbers run on across pipelines of the process; a failed construction still takes one.
  const std::string key = defaulted.task_key();
  ASSERT_EQ(key.rfind("cam9#", 0), 0u);
  const std::uint64_t n = std::stoull(key.substr(5));
  EXPECT_EQ(zero.task_key(), "cam9#" + std::to_string(n + 1));
  AiConfig bad = ai;
  bad.max_channels = 0;
  try {
    AnalysisPipeline refused(parse_task_config(task), bad, scheduler(), {});
    ADD_FAILURE() << "constructed with AI.MaxChannels 0";
  } catch (const InvalidInput& e) {
    EXPECT_STREQ(e.what(), "AI.MaxChannels must be positive");
  }
  AiConfig no_rate = ai;
  no_rate.idle_fps = 0;
  EXPECT_THROW(AnalysisPipeline(parse_task_config(task), no_rate, scheduler(), {}), InvalidInput);
  AnalysisPipeline next(parse_task_config(task), ai, scheduler(), {});
  EXPECT_EQ(next.task_key(), "cam9#" + std::to_string(n + 4));
  // Never started: stop and destruction do nothing.
  next.stop();
}

// An engine that always fails, behind a real scheduler.
class FailingEngine final : public InferenceEngine {
 public:
  void warmup() override {}
  InferenceResult detect(const VideoFrame&, const std::optional<Rect>&) override {
    throw std::runtime_error("engine exploded");
  }
  std::string execution_provider() const override { return "CPUExecutionProvider"; }
  std::string model_name() const override { return "failing"; }
  std::string model_version() const override { return "0.1"; }
};

TEST(PipelineFailureTest, NotReadySchedulerRefusesConstruction) {
  InferenceScheduler idle([] { return std::make_unique<FailingEngine>(); }, 2);
  HttpReceiver receiver;
  Json task = ball_task("rtsp://127.0.0.1:1/live", receiver.url("/v1/events"));
  try {
    AnalysisPipeline pipeline(parse_task_config(task), fast_ai(), idle, {}, posting());
    ADD_FAILURE() << "constructed without a ready scheduler";
  } catch (const ServiceUnavailable& e) {
    EXPECT_STREQ(e.what(), "shared inference scheduler is not ready");
  }
  EXPECT_EQ(receiver.request_count(), 0u);
}

TEST(PipelineFailureTest, ScriptedFailedInferenceSkipsTheFrameAndDroppedFramesAreCounted) {
  InferenceScheduler failing([] { return std::make_unique<FailingEngine>(); }, 2);
  ASSERT_TRUE(failing.start());
  AiConfig ai = fast_ai();
  ai.max_queue_frames = 1;
  test::LogCapture log_capture;
  Script script(scripted_task(2000, 0, true), failing, {}, ai);
  EXPECT_EQ(script.pipeline->snapshot().model, "failing");
  script.frame(1000, empty_picture());
  // Three frames arrive while the analysis is busy: only the newest is kept.
  script.source.deliver(block_at(100));
  script.source.deliver(block_at(104));
  script.frame(1000, block_at(108));
  script.frame(200, block_at(112));
  const TaskSnapshot s = script.pipeline->snapshot();
  script.pipeline->stop();
  const std::string log = log_capture.text();

  EXPECT_EQ(failing.statistics().failed, 2u);
  EXPECT_EQ(s.frames_dropped, 2u);
  EXPECT_EQ(s.queue_depth, 0);
  EXPECT_EQ(s.phase, TaskPhase::running);
  EXPECT_EQ(s.detections, 0u);
  EXPECT_EQ(s.events_started, 0u);
  EXPECT_TRUE(script.detections.messages().empty());
  EXPECT_THAT(log, HasSubstr("inference: frame inference failed"));
  EXPECT_THAT(log, HasSubstr("engine exploded"));
  // The scene change was still reported, and closed on stop.
  expect_balanced(script.scene_events());
  EXPECT_EQ(script.scene_events().size(), 2u);
  EXPECT_TRUE(events_where(script.receiver, "intrusion", "started").empty());
}

// The people the engine below reports, whatever the picture shows.
struct ScriptedPeople {
  void set(std::vector<Detection> now) {
    std::lock_guard lock(mutex);
    people = std::move(now);
  }
  std::mutex mutex;
  std::vector<Detection> people;
};

class ScriptedPeopleEngine final : public InferenceEngine {
 public:
  explicit ScriptedPeopleEngine(ScriptedPeople& script) : script_(script) {}
  void warmup() override {}
  InferenceResult detect(const VideoFrame&, const std::optional<Rect>&) override {
    std::lock_guard lock(script_.mutex);
    return InferenceResult{script_.people, 1.0, execution_provider(), model_name(), model_version()};
  }
  std::string execution_provider() const override { return "CPUExecutionProvider"; }
  std::string model_name() const override { return "scripted"; }
  std::string model_version() const override { return "1"; }

 private:
  ScriptedPeople& script_;
};

std::vector<std::string> box_track_ids(const Json& event) {
  std::vector<std::string> ids;
  for (const Json& box : event["boxes"]) ids.push_back(box["track_id"].get<std::string>());
  return ids;
}

// Two people start together and end apart, and every event's first attempt fails: each ended box
// names a person of a started box, and the two copies of an event carry the same event_id.
TEST(PipelineEventTest, ScriptedEndsPairWithStartsPerPersonAndCopiesShareTheirEventId) {
  ScriptedPeople people;
  InferenceScheduler scheduler([&people] { return std::make_unique<ScriptedPeopleEngine>(people); }, 2);
  ASSERT_TRUE(scheduler.start());
  Script script(scripted_task(10000, 0, true), scheduler);  // lost after 1 s
  script.receiver.reply_by([](const test::ReceivedRequest&, std::size_t index) {
    test::Reply reply;
    reply.status = index % 2 == 0 ? 500 : 204;
    return reply;
  });
  const Detection left{"person", 0.9, Rect{0.125, 0.25, 0.125, 0.5}};
  const Detection right{"person", 0.8, Rect{0.625, 0.25, 0.125, 0.5}};

  script.frame(1000, empty_picture());
  people.set({left, right});
  script.frame(1000, block_at(100));  // kT0 + 1000: both seen
  script.frame(200, block_at(104));   // confirmed: first time in the zone
  script.frame(200, block_at(108));   // kT0 + 1400: both start
  people.set({left});
  for (int i = 0; i < 8; ++i) script.frame(200, block_at(112 + 4 * i));  // right ends at kT0 + 2400
  people.set({});
  for (int i = 0; i < 6; ++i) script.frame(200, block_at(144 + 4 * i));  // left ends at kT0 + 4000
  script.pipeline->stop();

  // Every event came twice, byte for byte; distinct events have distinct ids.
  const auto requests = script.receiver.requests();
  ASSERT_EQ(requests.size() % 2, 0u);
  std::vector<Json> events;
  std::set<std::string> ids;
  for (std::size_t i = 0; i < requests.size(); i += 2) {
    EXPECT_EQ(requests[i].body, requests[i + 1].body);
    const Json event = parse_json(requests[i].body);
    ASSERT_TRUE(event["event_id"].is_string()) << event;
    EXPECT_TRUE(ids.insert(event["event_id"].get<std::string>()).second) << event;
    events.push_back(event);
  }

  std::vector<Json> started;
  std::vector<Json> ended;
  for (const Json& e : events) {
    if (e["event_type"] != "intrusion") continue;
    EXPECT_EQ(e.size(), 14u) << e;
    (e["event_state"] == "started" ? started : ended).push_back(e);
  }
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(box_track_ids(started[0]), (std::vector<std::string>{"track-1", "track-2"}));
  EXPECT_EQ(started[0]["track_id"], "track-1") << "the higher score";
  EXPECT_EQ(started[0]["started_at"], kT0 + 1400);

  // Each person ends once, in an event of its own, under the track id it started with.
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_EQ(box_track_ids(ended[0]), std::vector<std::string>{"track-2"});
  EXPECT_EQ(ended[0]["ended_at"], kT0 + 2400);
  EXPECT_EQ(box_track_ids(ended[1]), std::vector<std::string>{"track-1"});
  EXPECT_EQ(ended[1]["ended_at"], kT0 + 4000);
}

}  // namespace
}  // namespace velmo::ai
