#include "inference/auto_provider_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/errors.h"
#include "foundation/log.h"
#include "inference/cuda_runtime.h"
#include "inference/onnx_engine.h"
#include "tests/support/test_models.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr const char* kCuda = "CUDAExecutionProvider";
constexpr const char* kCpu = "CPUExecutionProvider";

// An exception type of the fakes' own, to see that failures pass through unchanged.
struct FakeFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Build {
  std::string manifest;
  std::string key;
  bool require_signature = false;
  std::string device;
  int threads = 0;
};

// What the fake runtime does and what it saw. One per test, shared with every fake engine.
struct FakeRuntime {
  bool cuda = true;
  std::map<std::string, std::string> build_error;           // device -> text
  std::map<std::string, std::string> warmup_error;          // device -> text
  std::map<std::string, std::string> detect_error;          // device -> text
  std::function<void(const std::string& device)> on_build;  // runs inside the build, before it returns

  std::mutex mutex;
  std::vector<Build> builds;
  std::vector<std::string> events;  // "warmup gpu", "detect cpu 7", "destroy gpu", ...

  void record(std::string event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(event));
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
};

class FakeEngine : public InferenceEngine {
 public:
  FakeEngine(FakeRuntime& runtime, std::string device) : runtime_(runtime), device_(std::move(device)) {}
  ~FakeEngine() override { runtime_.record("destroy " + device_); }

  void warmup() override {
    runtime_.record("warmup " + device_);
    if (auto it = runtime_.warmup_error.find(device_); it != runtime_.warmup_error.end()) {
      throw FakeFailure(it->second);
    }
  }

  InferenceResult detect(const VideoFrame& frame, const std::optional<Rect>& region) override {
    std::string event = "detect " + device_ + " " + std::to_string(frame.sequence);
    if (region) event += " roi " + std::to_string(region->x);
    runtime_.record(event);
    if (auto it = runtime_.detect_error.find(device_); it != runtime_.detect_error.end()) {
      throw FakeFailure(it->second);
    }
    InferenceResult result;
    result.detections.push_back(Detection{"person", 0.9, Rect{0.1, 0.1, 0.2, 0.2}});
    result.latency_ms = 3.0;
    result.execution_provider = execution_provider();
    result.model_name = model_name();
    result.model_version = model_version();
    return result;
  }

  std::string execution_provider() const override { return device_ == "gpu" ? kCuda : kCpu; }
  std::string model_name() const override { return device_ + "-model"; }
  std::string model_version() const override { return device_ + "-1"; }

 private:
  FakeRuntime& runtime_;
  std::string device_;
};

AutoProviderEngine::Backend fake_backend(FakeRuntime& runtime) {
  AutoProviderEngine::Backend backend;
  backend.cuda_available = [&runtime] { return runtime.cuda; };
  backend.make_engine = [&runtime](const std::filesystem::path& manifest, const std::filesystem::path& key,
                                   bool require_signature, ExecutionProvider provider,
                                   int threads) -> std::unique_ptr<InferenceEngine> {
    const std::string device = provider == ExecutionProvider::cuda ? "gpu" : "cpu";
    {
      std::lock_guard<std::mutex> lock(runtime.mutex);
      runtime.builds.push_back(Build{manifest.string(), key.string(), require_signature, device, threads});
    }
    runtime.record("build " + device);
    if (runtime.on_build) runtime.on_build(device);
    if (auto it = runtime.build_error.find(device); it != runtime.build_error.end()) {
      throw FakeFailure(it->second);
    }
    return std::make_unique<FakeEngine>(runtime, device);
  };
  return backend;
}

ModelConfig model_config() {
  ModelConfig config;
  config.manifest = "cpu.json";
  config.public_key = "cpu.pub";
  config.gpu_manifest = "gpu.json";
  config.gpu_public_key = "gpu.pub";
  config.require_signature = false;
  return config;
}

VideoFrame frame_with_sequence(std::uint64_t sequence) {
  VideoFrame frame;
  frame.sequence = sequence;
  frame.width = 4;
  frame.height = 4;
  frame.pixels.assign(48, 0);
  return frame;
}

std::vector<std::string> lines_with(const std::string& text, const std::string& needle) {
  std::vector<std::string> found;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.find(needle) != std::string::npos) found.push_back(line);
    start = end + 1;
  }
  return found;
}

const std::string kInitWarning = "msg=\"inference: CUDA initialization failed, falling back to CPU\"";
const std::string kWarmupWarning = "msg=\"inference: CUDA warmup failed, falling back to CPU\"";
const std::string kDetectWarning = "msg=\"inference: CUDA inference failed, falling back to CPU\"";

class AutoProviderEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_level("info");
    capture_.emplace();
  }
  void TearDown() override { capture_.reset(); }
  std::string captured_log() { return capture_->text(); }
  std::vector<std::string> devices_built() {
    std::vector<std::string> devices;
    for (const Build& b : runtime_.builds) devices.push_back(b.device);
    return devices;
  }

  FakeRuntime runtime_;
  std::optional<test::LogCapture> capture_;
};

// ---- construction: which engine the device policy picks ----

struct DeviceCase {
  std::string device;
  bool cuda;
  bool gpu_build_fails;
  std::vector<std::string> builds;
  std::string provider;
  bool init_warning;
};

class DevicePolicyTest : public AutoProviderEngineTest, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(DevicePolicyTest, PicksTheEngineAndWarnsOnlyOnAGpuBuildFailure) {
  const DeviceCase& c = GetParam();
  runtime_.cuda = c.cuda;
  if (c.gpu_build_fails) runtime_.build_error["gpu"] = "no CUDA session";

  AutoProviderEngine engine(model_config(), true, c.device, 2, fake_backend(runtime_));

  EXPECT_EQ(devices_built(), c.builds);
  EXPECT_EQ(engine.execution_provider(), c.provider);
  const std::string log = captured_log();
  auto warnings = lines_with(log, kInitWarning);
  if (c.init_warning) {
    ASSERT_EQ(warnings.size(), 1u) << log;
    EXPECT_THAT(warnings[0], HasSubstr("level=WARN"));
    EXPECT_THAT(warnings[0], HasSubstr("err=\"no CUDA session\""));
  } else {
    EXPECT_THAT(warnings, IsEmpty()) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, DevicePolicyTest,
                         ::testing::Values(DeviceCase{"cpu", true, false, {"cpu"}, kCpu, false},
                                           DeviceCase{"gpu", true, false, {"gpu"}, kCuda, false},
                                           DeviceCase{"auto", true, false, {"gpu"}, kCuda, false},
                                           DeviceCase{"auto", false, false, {"cpu"}, kCpu, false},
                                           DeviceCase{"auto", true, true, {"gpu", "cpu"}, kCpu, true}));

TEST_F(AutoProviderEngineTest, ADeviceTextThatIsNoDeviceIsRefusedAndBuildsNothing) {
  // Case matters: the configuration lowercases AI.Device before it gets here.
  for (const std::string device : {"", "tpu", "GPU", "Auto", "cpu "}) {
    SCOPED_TRACE(device);
    try {
      AutoProviderEngine engine(model_config(), true, device, 1, fake_backend(runtime_));
      ADD_FAILURE() << "constructor did not throw";
    } catch (const InvalidInput& e) {
      EXPECT_STREQ(e.what(), "AI.Device must be auto, cpu, or gpu");
    }
  }
  EXPECT_THAT(runtime_.builds, IsEmpty());
}

TEST_F(AutoProviderEngineTest, GpuWithoutTheCudaProviderFailsWithThePackTextAndBuildsNothing) {
  runtime_.cuda = false;
  try {
    AutoProviderEngine engine(model_config(), true, "gpu", 1, fake_backend(runtime_));
    FAIL() << "constructor did not throw";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              cuda_runtime_failure_message("GPU was requested but CUDAExecutionProvider is unavailable"));
  }
  EXPECT_THAT(runtime_.builds, IsEmpty());
}

TEST_F(AutoProviderEngineTest, GpuBuildFailureWithDeviceGpuPropagatesWithoutCpuFallBack) {
  runtime_.build_error["gpu"] = "model package validation failed: bad signature";
  EXPECT_THROW(AutoProviderEngine(model_config(), true, "gpu", 1, fake_backend(runtime_)), FakeFailure);
  EXPECT_EQ(devices_built(), std::vector<std::string>{"gpu"});
  EXPECT_THAT(lines_with(captured_log(), "falling back"), IsEmpty());
}

TEST_F(AutoProviderEngineTest, CpuBuildFailureLeavesTheConstructor) {
  runtime_.build_error["gpu"] = "gpu broken";
  runtime_.build_error["cpu"] = "model package validation failed: sha256 mismatch";
  try {
    AutoProviderEngine engine(model_config(), true, "auto", 1, fake_backend(runtime_));
    FAIL() << "constructor did not throw";
  } catch (const FakeFailure& e) {
    EXPECT_STREQ(e.what(), "model package validation failed: sha256 mismatch");
  }
  EXPECT_EQ(devices_built(), (std::vector<std::string>{"gpu", "cpu"}));
}

TEST_F(AutoProviderEngineTest, AutoWithABadGpuPackageWarnsWithItsTextAndUsesTheCpuPackage) {
  runtime_.build_error["gpu"] = "model package validation failed: signature does not verify";
  AutoProviderEngine engine(model_config(), true, "auto", 1, fake_backend(runtime_));
  ASSERT_EQ(runtime_.builds.size(), 2u);
  EXPECT_EQ(runtime_.builds[1].manifest, "cpu.json");
  EXPECT_EQ(runtime_.builds[1].key, "cpu.pub");
  auto warnings = lines_with(captured_log(), kInitWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("err=\"model package validation failed: signature does not verify\""));
}

// ---- which manifest, key, signature flag and thread count each engine gets ----

struct PathCase {
  std::string gpu_manifest;
  std::string gpu_key;
  std::string want_manifest;
  std::string want_key;
};

class GpuPackageTest : public AutoProviderEngineTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(GpuPackageTest, GpuManifestAndKeyFallBackToTheCpuOnesIndependently) {
  const PathCase& c = GetParam();
  ModelConfig config = model_config();
  config.gpu_manifest = c.gpu_manifest;
  config.gpu_public_key = c.gpu_key;
  runtime_.detect_error["gpu"] = "CUDA failure";

  AutoProviderEngine engine(config, true, "auto", 1, fake_backend(runtime_));
  engine.detect(frame_with_sequence(1), std::nullopt);  // falls back, so both engines are built

  ASSERT_EQ(runtime_.builds.size(), 2u);
  EXPECT_EQ(runtime_.builds[0].device, "gpu");
  EXPECT_EQ(runtime_.builds[0].manifest, c.want_manifest);
  EXPECT_EQ(runtime_.builds[0].key, c.want_key);
  EXPECT_EQ(runtime_.builds[1].device, "cpu");
  EXPECT_EQ(runtime_.builds[1].manifest, "cpu.json");
  EXPECT_EQ(runtime_.builds[1].key, "cpu.pub");
}

INSTANTIATE_TEST_SUITE_P(Paths, GpuPackageTest,
                         ::testing::Values(PathCase{"gpu.json", "gpu.pub", "gpu.json", "gpu.pub"},
                                           PathCase{"", "gpu.pub", "cpu.json", "gpu.pub"},
                                           PathCase{"gpu.json", "", "gpu.json", "cpu.pub"},
                                           PathCase{"", "", "cpu.json", "cpu.pub"}));

TEST_F(AutoProviderEngineTest, EnginesGetTheArgumentSignatureFlagAndAtLeastOneThread) {
  for (int threads : {0, -3, 1, 6}) {
    runtime_.builds.clear();
    ModelConfig config = model_config();
    config.require_signature = false;
    AutoProviderEngine engine(config, true, "cpu", threads, fake_backend(runtime_));
    ASSERT_EQ(runtime_.builds.size(), 1u);
    EXPECT_TRUE(runtime_.builds[0].require_signature);
    EXPECT_EQ(runtime_.builds[0].threads, threads > 0 ? threads : 1) << "threads " << threads;
  }
  runtime_.builds.clear();
  AutoProviderEngine engine(model_config(), false, "gpu", 3, fake_backend(runtime_));
  ASSERT_EQ(runtime_.builds.size(), 1u);
  EXPECT_FALSE(runtime_.builds[0].require_signature);
}

// ---- warm-up ----

TEST_F(AutoProviderEngineTest, AutoGpuWarmupFailureSwitchesToAWarmedCpuEngine) {
  runtime_.warmup_error["gpu"] = "cudnn missing";
  AutoProviderEngine engine(model_config(), true, "auto", 1, fake_backend(runtime_));
  engine.warmup();

  EXPECT_EQ(engine.execution_provider(), kCpu);
  EXPECT_EQ(engine.model_name(), "cpu-model");
  EXPECT_EQ(engine.model_version(), "cpu-1");
  EXPECT_EQ(runtime_.snapshot(),
            (std::vector<std::string>{"build gpu", "warmup gpu", "build cpu", "destroy gpu", "warmup cpu"}));
  auto warnings = lines_with(captured_log(), kWarmupWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("level=WARN"));
  EXPECT_THAT(warnings[0], HasSubstr("err=\"cudnn missing\""));
}

struct WarmupFailureCase {
  std::string device;
  std::map<std::string, std::string> warmup_error;
  std::map<std::string, std::string> build_error;
  std::string want_error;
  std::string want_provider;  // after the failure
  bool cuda = true;
};

class WarmupFailureTest : public AutoProviderEngineTest, public ::testing::WithParamInterface<WarmupFailureCase> {};

TEST_P(WarmupFailureTest, PropagatesTheErrorUnchanged) {
  const WarmupFailureCase& c = GetParam();
  runtime_.cuda = c.cuda;
  runtime_.warmup_error = c.warmup_error;
  AutoProviderEngine engine(model_config(), true, c.device, 1, fake_backend(runtime_));
  runtime_.build_error = c.build_error;
  try {
    engine.warmup();
    FAIL() << "warmup did not throw";
  } catch (const FakeFailure& e) {
    EXPECT_EQ(e.what(), c.want_error);
  }
  EXPECT_EQ(engine.execution_provider(), c.want_provider);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WarmupFailureTest,
    ::testing::Values(
        // "gpu" never falls back, and no CPU engine is built.
        WarmupFailureCase{"gpu", {{"gpu", "gpu warmup"}}, {}, "gpu warmup", kCuda},
        WarmupFailureCase{"cpu", {{"cpu", "cpu warmup"}}, {}, "cpu warmup", kCpu},
        // "auto" already on the CPU: no second fall-back.
        WarmupFailureCase{"auto", {{"cpu", "cpu warmup"}}, {}, "cpu warmup", kCpu, false},
        // The CPU engine that replaces the GPU one fails its own warm-up.
        WarmupFailureCase{"auto", {{"gpu", "gpu warmup"}, {"cpu", "cpu warmup"}}, {}, "cpu warmup", kCpu},
        // The CPU engine cannot be built: the GPU engine stays installed.
        WarmupFailureCase{"auto", {{"gpu", "gpu warmup"}}, {{"cpu", "cpu package"}}, "cpu package", kCuda}));

TEST_F(AutoProviderEngineTest, GpuWarmupFailureWithDeviceGpuBuildsNoCpuEngine) {
  runtime_.warmup_error["gpu"] = "gpu warmup";
  AutoProviderEngine engine(model_config(), true, "gpu", 1, fake_backend(runtime_));
  EXPECT_THROW(engine.warmup(), FakeFailure);
  EXPECT_EQ(devices_built(), std::vector<std::string>{"gpu"});
  EXPECT_THAT(lines_with(captured_log(), "falling back"), IsEmpty());
}

// ---- detection ----

TEST_F(AutoProviderEngineTest, AutoGpuDetectFailureRetriesTheSameFrameAndRegionOnTheCpuForGood) {
  runtime_.detect_error["gpu"] = "CUDA error: an illegal memory access";
  AutoProviderEngine engine(model_config(), true, "auto", 1, fake_backend(runtime_));
  engine.warmup();

  InferenceResult result = engine.detect(frame_with_sequence(7), Rect{0.25, 0.0, 0.5, 0.5});
  EXPECT_EQ(result.execution_provider, kCpu);
  EXPECT_EQ(result.model_name, "cpu-model");
  EXPECT_EQ(result.detections.size(), 1u);
  EXPECT_EQ(engine.execution_provider(), kCpu);
  EXPECT_EQ(engine.model_name(), "cpu-model");
  EXPECT_EQ(engine.model_version(), "cpu-1");

  engine.detect(frame_with_sequence(8), std::nullopt);
  EXPECT_EQ(runtime_.snapshot(),
            (std::vector<std::string>{"build gpu", "warmup gpu", "detect gpu 7 roi 0.250000", "build cpu",
                                      "destroy gpu", "warmup cpu", "detect cpu 7 roi 0.250000", "detect cpu 8"}));
  auto warnings = lines_with(captured_log(), kDetectWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("level=WARN"));
  EXPECT_THAT(warnings[0], HasSubstr("err=\"CUDA error: an illegal memory access\""));
}

struct DetectFailureCase {
  std::string device;
  std::map<std::string, std::string> detect_error;
  std::map<std::string, std::string> warmup_error;  // set after the first warm-up
  std::map<std::string, std::string> build_error;   // set after construction
  std::string want_error;
  std::vector<std::string> want_builds;
  std::string want_provider;
};

class DetectFailureTest : public AutoProviderEngineTest, public ::testing::WithParamInterface<DetectFailureCase> {};

TEST_P(DetectFailureTest, PropagatesTheErrorUnchanged) {
  const DetectFailureCase& c = GetParam();
  runtime_.detect_error = c.detect_error;
  AutoProviderEngine engine(model_config(), true, c.device, 1, fake_backend(runtime_));
  engine.warmup();
  runtime_.warmup_error = c.warmup_error;
  runtime_.build_error = c.build_error;
  try {
    engine.detect(frame_with_sequence(1), std::nullopt);
    FAIL() << "detect did not throw";
  } catch (const FakeFailure& e) {
    EXPECT_EQ(e.what(), c.want_error);
  }
  EXPECT_EQ(devices_built(), c.want_builds);
  EXPECT_EQ(engine.execution_provider(), c.want_provider);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DetectFailureTest,
    ::testing::Values(
        DetectFailureCase{"gpu", {{"gpu", "bad frame"}}, {}, {}, "bad frame", {"gpu"}, kCuda},
        DetectFailureCase{"cpu", {{"cpu", "bad frame"}}, {}, {}, "bad frame", {"cpu"}, kCpu},
        // After the switch the CPU engine's failures reach the caller.
        DetectFailureCase{"auto", {{"gpu", "gpu run"}, {"cpu", "cpu run"}}, {}, {}, "cpu run", {"gpu", "cpu"}, kCpu},
        DetectFailureCase{
            "auto", {{"gpu", "gpu run"}}, {{"cpu", "cpu warmup"}}, {}, "cpu warmup", {"gpu", "cpu"}, kCpu},
        // No CPU engine could be built: the GPU engine is still the current one.
        DetectFailureCase{
            "auto", {{"gpu", "gpu run"}}, {}, {{"cpu", "cpu package"}}, "cpu package", {"gpu", "cpu"}, kCuda}));

TEST_F(AutoProviderEngineTest, CpuDetectFailureIsNotRetried) {
  runtime_.cuda = false;
  runtime_.detect_error["cpu"] = "bad frame";
  AutoProviderEngine engine(model_config(), true, "auto", 1, fake_backend(runtime_));
  engine.warmup();
  EXPECT_THROW(engine.detect(frame_with_sequence(1), std::nullopt), FakeFailure);
  EXPECT_EQ(devices_built(), std::vector<std::string>{"cpu"});
  runtime_.detect_error.clear();
  EXPECT_EQ(engine.detect(frame_with_sequence(2), std::nullopt).execution_provider, kCpu);
}

// ---- accessors from other threads while a fall-back replaces the engine ----

TEST_F(AutoProviderEngineTest, AccessorsStayUsableAndNeverWaitForTheReplacementBuild) {
  runtime_.detect_error["gpu"] = "CUDA failure";
  AutoProviderEngine engine(model_config(), true, "auto", 1, fake_backend(runtime_));
  engine.warmup();

  // The CPU build does not finish until an accessor call has returned while it is under way.
  std::mutex m;
  std::condition_variable cv;
  bool building = false;
  bool answered = false;
  runtime_.on_build = [&](const std::string& device) {
    if (device != "cpu") return;
    std::unique_lock<std::mutex> lock(m);
    building = true;
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return answered; });
  };

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        std::string provider = engine.execution_provider();
        std::string name = engine.model_name();
        std::string version = engine.model_version();
        if (provider != kCuda && provider != kCpu) ++bad;
        if (name != "gpu-model" && name != "cpu-model") ++bad;
        if (version != "gpu-1" && version != "cpu-1") ++bad;
      }
    });
  }
  std::thread prober([&] {
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return building; })) return;
    lock.unlock();
    std::string provider = engine.execution_provider();  // must not block on the build
    lock.lock();
    answered = provider == kCuda;
    cv.notify_all();
  });

  InferenceResult result = engine.detect(frame_with_sequence(1), std::nullopt);
  prober.join();
  done = true;
  for (auto& t : readers) t.join();

  EXPECT_TRUE(answered) << "an accessor waited for the replacement build";
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(result.execution_provider, kCpu);
  EXPECT_EQ(engine.execution_provider(), kCpu);
}

TEST_F(AutoProviderEngineTest, AccessorsRunContinuouslyThroughManyFallBacks) {
  // Many engines, each falling back while readers hammer the accessors (run under ThreadSanitizer).
  std::atomic<bool> done{false};
  for (int round = 0; round < 50; ++round) {
    FakeRuntime runtime;
    runtime.detect_error["gpu"] = "CUDA failure";
    AutoProviderEngine engine(model_config(), true, "auto", 1, fake_backend(runtime));
    engine.warmup();
    done = false;
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
      readers.emplace_back([&] {
        while (!done.load()) {
          (void)engine.execution_provider();
          (void)engine.model_name();
          (void)engine.model_version();
        }
      });
    }
    for (std::uint64_t seq = 1; seq <= 5; ++seq) {
      EXPECT_EQ(engine.detect(frame_with_sequence(seq), std::nullopt).execution_provider, kCpu);
    }
    done = true;
    for (auto& t : readers) t.join();
  }
}

// ---- the production path: real ONNX engines on this CPU-only runtime ----

class OnnxBackedTest : public AutoProviderEngineTest {
 protected:
  static AutoProviderEngine::Backend listing_cuda() {
    return AutoProviderEngine::onnx_backend([] { return std::vector<std::string>{kCuda, kCpu}; });
  }
  ModelConfig packages(const test::ModelPackage& cpu, const test::ModelPackage& gpu) {
    ModelConfig config;
    config.manifest = cpu.manifest;
    config.public_key = cpu.public_key;
    config.gpu_manifest = gpu.manifest;
    config.gpu_public_key = gpu.public_key;
    return config;
  }
  test::TempDir dir_;
};

TEST_F(OnnxBackedTest, GpuOnARuntimeWithoutCudaFailsBeforeLookingAtThePackage) {
  ModelConfig config;
  config.manifest = dir_ / "missing.json";
  config.public_key = dir_ / "missing.key";
  try {
    AutoProviderEngine engine(config, true, "gpu", 1);
    FAIL() << "constructor did not throw";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              cuda_runtime_failure_message("GPU was requested but CUDAExecutionProvider is unavailable"));
  }
}

TEST_F(OnnxBackedTest, AutoWithoutCudaRunsTheCpuPackageWithoutWarning) {
  test::ModelPackage cpu = test::write_signed_package(dir_ / "cpu", "bright_dets", {{"name", "cpu-detector"}});
  test::ModelPackage gpu = test::write_signed_package(dir_ / "gpu", "bright_dets", {{"name", "gpu-detector"}});
  AutoProviderEngine engine(packages(cpu, gpu), true, "auto", 0);
  engine.warmup();
  InferenceResult result = engine.detect(test::frame_with_rectangle(64, 64, 16, 16, 32, 48), std::nullopt);

  EXPECT_EQ(engine.execution_provider(), kCpu);
  EXPECT_EQ(engine.model_name(), "cpu-detector");
  EXPECT_EQ(result.execution_provider, kCpu);
  EXPECT_EQ(result.detections.size(), 1u);
  const std::string log = captured_log();
  EXPECT_THAT(lines_with(log, "falling back"), IsEmpty()) << log;
  EXPECT_EQ(lines_with(log, "msg=\"inference: model loaded\"").size(), 1u) << log;
}

TEST_F(OnnxBackedTest, AutoWithCudaListedButNoSessionFallsBackToTheCpuPackage) {
  test::ModelPackage cpu = test::write_signed_package(dir_ / "cpu", "bright_dets", {{"name", "cpu-detector"}});
  test::ModelPackage gpu = test::write_signed_package(dir_ / "gpu", "bright_dets", {{"name", "gpu-detector"}});
  AutoProviderEngine engine(packages(cpu, gpu), true, "auto", 1, listing_cuda());

  EXPECT_EQ(engine.execution_provider(), kCpu);
  EXPECT_EQ(engine.model_name(), "cpu-detector");
  auto warnings = lines_with(captured_log(), kInitWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("CUDAExecutionProvider failed to initialize: "));
}

TEST_F(OnnxBackedTest, AutoWithAGpuPackageThatDoesNotVerifyUsesTheCpuPackage) {
  test::ModelPackage cpu = test::write_signed_package(dir_ / "cpu", "bright_dets", {{"name", "cpu-detector"}});
  test::ModelPackage gpu = test::write_signed_package(dir_ / "gpu", "bright_dets", {{"name", "gpu-detector"}});
  ModelConfig config = packages(cpu, gpu);
  config.gpu_public_key = cpu.public_key;  // the GPU manifest was signed with another key
  AutoProviderEngine engine(config, true, "auto", 1, listing_cuda());

  EXPECT_EQ(engine.model_name(), "cpu-detector");
  auto warnings = lines_with(captured_log(), kInitWarning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("err=\"model package validation failed: "));
}

}  // namespace
}  // namespace velmo::ai
