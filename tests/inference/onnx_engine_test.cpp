#include "inference/onnx_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "inference/cuda_runtime.h"
#include "tests/support/test_models.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::vector<std::string> kWithCuda = {"CUDAExecutionProvider", "CPUExecutionProvider"};

template <typename Exception, typename F>
std::string message_of(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception type: ") + e.what();
  }
  return "no exception";
}

class OnnxEngineTest : public ::testing::Test {
 protected:
  test::ModelPackage package(const std::string& model = "bright_dets", const Json& overrides = Json::object()) {
    return test::write_signed_package(dir_ / ("pkg" + std::to_string(++packages_)), model, overrides);
  }
  std::unique_ptr<OnnxEngine> engine(const test::ModelPackage& p, ExecutionProvider provider = ExecutionProvider::cpu,
                                     int threads = 1) {
    return std::make_unique<OnnxEngine>(p.manifest, p.public_key, true, provider, threads, providers_);
  }
  // Every later engine of the test sees `providers` as what the runtime offers.
  void list_providers(std::vector<std::string> providers) {
    providers_ = [providers] { return providers; };
  }

  test::TempDir dir_;
  int packages_ = 0;
  ExecutionProviderList providers_;
};

void expect_box(const Detection& d, double x, double y, double w, double h, double tolerance) {
  EXPECT_EQ(d.label, "person");
  EXPECT_DOUBLE_EQ(d.score, 1.0);
  EXPECT_NEAR(d.box.x, x, tolerance);
  EXPECT_NEAR(d.box.y, y, tolerance);
  EXPECT_NEAR(d.box.w, w, tolerance);
  EXPECT_NEAR(d.box.h, h, tolerance);
}

TEST_F(OnnxEngineTest, SignedPackageFindsTheBrightRectangleInEveryOutputForm) {
  for (const std::string model : {"bright_dets", "bright_boxes_scores", "bright_six_columns", "bright_single_output"}) {
    SCOPED_TRACE(model);
    auto e = engine(package(model));
    e->warmup();
    EXPECT_EQ(e->execution_provider(), "CPUExecutionProvider");
    EXPECT_EQ(e->model_name(), model);
    EXPECT_EQ(e->model_version(), "1.0.0");

    // 256x256 into 128x128: scale 0.5 and even edges, so the box is exact.
    const InferenceResult square = e->detect(test::frame_with_rectangle(256, 256, 64, 32, 128, 96), std::nullopt);
    ASSERT_EQ(square.detections.size(), 1u);
    expect_box(square.detections[0], 0.25, 0.125, 0.25, 0.25, 1e-9);
    EXPECT_EQ(square.execution_provider, "CPUExecutionProvider");
    EXPECT_EQ(square.model_name, model);
    EXPECT_EQ(square.model_version, "1.0.0");
    EXPECT_GE(square.latency_ms, 0.0);

    // 320x240: scale 0.4 and 16 rows of padding above the picture, undone by the decoder.
    const InferenceResult wide = e->detect(test::frame_with_rectangle(320, 240, 80, 60, 160, 120), std::nullopt);
    ASSERT_EQ(wide.detections.size(), 1u);
    expect_box(wide.detections[0], 0.25, 0.25, 0.25, 0.25, 1.5 / 128.0);
  }
}

TEST_F(OnnxEngineTest, RegionBoxesComeBackInWholeFrameCoordinates) {
  auto e = engine(package());
  const VideoFrame frame = test::frame_with_rectangle(256, 256, 160, 64, 224, 192);

  const InferenceResult right = e->detect(frame, Rect{0.5, 0.0, 0.5, 1.0});
  ASSERT_EQ(right.detections.size(), 1u);
  expect_box(right.detections[0], 0.625, 0.25, 0.25, 0.5, 1.5 / 128.0);

  const InferenceResult quarter = e->detect(frame, Rect{0.5, 0.25, 0.5, 0.5});
  ASSERT_EQ(quarter.detections.size(), 1u);
  expect_box(quarter.detections[0], 0.625, 0.25, 0.25, 0.5, 1.5 / 128.0);

  EXPECT_TRUE(e->detect(frame, Rect{0.0, 0.0, 0.5, 1.0}).detections.empty());
}

TEST_F(OnnxEngineTest, ColourOrderOfTheManifestReachesTheModel) {
  const VideoFrame red = test::frame_with_rectangle(256, 256, 64, 64, 128, 128, {0, 0, 255});
  const VideoFrame blue = test::frame_with_rectangle(256, 256, 64, 64, 128, 128, {255, 0, 0});
  const VideoFrame black = test::frame_with_rectangle(256, 256, 0, 0, 0, 0);

  auto rgb = engine(package());
  EXPECT_EQ(rgb->detect(red, std::nullopt).detections.size(), 1u);
  EXPECT_TRUE(rgb->detect(blue, std::nullopt).detections.empty());
  EXPECT_TRUE(rgb->detect(black, std::nullopt).detections.empty());

  auto bgr = engine(package("bright_dets", {{"color_order", "BGR"}}));
  EXPECT_TRUE(bgr->detect(red, std::nullopt).detections.empty());
  EXPECT_EQ(bgr->detect(blue, std::nullopt).detections.size(), 1u);
}

TEST_F(OnnxEngineTest, FailedFramesLeaveTheEngineUsable) {
  auto e = engine(package());
  VideoFrame short_frame = test::frame_with_rectangle(64, 64, 0, 0, 32, 32);
  short_frame.pixels.pop_back();
  EXPECT_EQ(message_of<std::invalid_argument>([&] { e->detect(short_frame, std::nullopt); }),
            "cannot preprocess an invalid video frame");
  const VideoFrame frame = test::frame_with_rectangle(256, 256, 64, 32, 128, 96);
  EXPECT_EQ(message_of<std::invalid_argument>([&] {
              e->detect(frame, Rect{1.5, 0.0, 0.2, 0.2});
            }),
            "preprocessing crop is empty");
  ASSERT_EQ(e->detect(frame, std::nullopt).detections.size(), 1u);
}

TEST_F(OnnxEngineTest, FailureVariantsGiveTheirMessagesOnEveryFrame) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"fail_seven_columns", "end-to-end detections output must have 5 or 6 columns"},
      {"fail_int_dets", "unsupported tensor type: int64"},
      {"fail_label_type", "unsupported label tensor type: unsupported"},
      {"fail_boxes_without_scores", "model requires scores output alongside boxes output"},
  };
  const VideoFrame frame = test::frame_with_rectangle(256, 256, 64, 32, 128, 96);
  for (const auto& [model, message] : cases) {
    SCOPED_TRACE(model);
    auto e = engine(package(model));
    // On the CPU a failed warm-up is the run's own error, unchanged.
    EXPECT_EQ(message_of<std::runtime_error>([&] { e->warmup(); }), message);
    EXPECT_EQ(message_of<std::runtime_error>([&] { e->detect(frame, std::nullopt); }), message);
    EXPECT_EQ(message_of<std::runtime_error>([&] { e->detect(frame, Rect{0.0, 0.0, 0.5, 0.5}); }), message);
  }
}

TEST_F(OnnxEngineTest, ModelsWithoutInputsOrOutputsAreRefusedWhenTheSessionIsBuilt) {
  // The runtime opens both; neither could ever run.
  EXPECT_EQ(message_of<std::runtime_error>([&] { engine(package("fail_no_inputs")); }), "model has no inputs");
  EXPECT_EQ(message_of<std::runtime_error>([&] { engine(package("fail_no_outputs")); }), "model has no outputs");
}

TEST_F(OnnxEngineTest, PackageMustVerifyAfterTheModelFormIsAccepted) {
  auto p = package();
  std::string text = test::read_file(p.manifest);
  text.push_back(' ');
  test::write_file(p.manifest, text);
  EXPECT_EQ(message_of<std::runtime_error>([&] { engine(p); }),
            "model package validation failed: model manifest signature is invalid");

  // Another key pair's public key.
  const auto other = package();
  EXPECT_EQ(message_of<std::runtime_error>(
                [&] { OnnxEngine(package().manifest, other.public_key, true, ExecutionProvider::cpu, 1); }),
            "model package validation failed: model manifest signature is invalid");

  // The model form is checked first, so the unsupported layout is named although the package is tampered too.
  auto nhwc = package("bright_dets", {{"layout", "NHWC"}});
  test::write_file(nhwc.manifest, test::read_file(nhwc.manifest) + "\n");
  EXPECT_EQ(message_of<std::invalid_argument>([&] { engine(nhwc); }), "phase one supports NCHW model input only");

  const auto damaged = package();
  test::write_file(damaged.model, test::read_file(damaged.model) + "x");
  EXPECT_EQ(message_of<std::runtime_error>([&] { engine(damaged); }),
            "model package validation failed: model SHA-256 does not match manifest");
}

TEST_F(OnnxEngineTest, UnsignedPackageLoadsWhenNoSignatureIsRequired) {
  const auto p = package("bright_dets", {{"signature_file", nullptr}});
  OnnxEngine e(p.manifest, "", false, ExecutionProvider::cpu, 1);
  EXPECT_EQ(e.detect(test::frame_with_rectangle(256, 256, 64, 32, 128, 96), std::nullopt).detections.size(), 1u);
  EXPECT_EQ(message_of<std::runtime_error>(
                [&] { OnnxEngine(p.manifest, p.public_key, true, ExecutionProvider::cpu, 1); }),
            "model package validation failed: model signature is required but missing");
}

TEST_F(OnnxEngineTest, LogsLoadAndWarmupLines) {
  const auto p = package();
  test::LogCapture capture;
  auto e = engine(p, ExecutionProvider::cpu, 0);
  e->warmup();
  const std::string err = capture.text();
  EXPECT_THAT(err, HasSubstr("level=INFO msg=\"inference: model loaded\" model=\"bright_dets\" version=\"1.0.0\" "
                             "execution_provider=\"CPUExecutionProvider\""));
  EXPECT_THAT(err,
              ::testing::ContainsRegex("msg=\"inference: model warmup completed\" latency_ms=\"[0-9]+\\.[0-9]{6}\" "
                                       "execution_provider=\"CPUExecutionProvider\""));
}

TEST_F(OnnxEngineTest, RunsOnTheGivenProviderAndNeverFallsBack) {
  const auto p = package();
  const VideoFrame frame = test::frame_with_rectangle(256, 256, 64, 32, 128, 96);
  {
    test::LogCapture capture;
    auto e = engine(p, ExecutionProvider::cpu, -3);
    e->warmup();
    EXPECT_EQ(e->execution_provider(), "CPUExecutionProvider");
    EXPECT_EQ(e->detect(frame, std::nullopt).detections.size(), 1u);
    EXPECT_THAT(capture.text(), Not(HasSubstr("CUDA")));
  }
  // CUDA not offered, then offered but unusable on this CPU-only runtime: both leave the
  // constructor with the pack's text, and no CPU session is tried.
  test::LogCapture capture;
  EXPECT_EQ(message_of<std::runtime_error>([&] { engine(p, ExecutionProvider::cuda); }),
            cuda_runtime_failure_message("GPU was requested but CUDAExecutionProvider is unavailable"));
  list_providers(kWithCuda);
  EXPECT_THAT(message_of<std::runtime_error>([&] { engine(p, ExecutionProvider::cuda); }),
              StartsWith(cuda_runtime_failure_message("CUDAExecutionProvider failed to initialize: ")));
  EXPECT_THAT(capture.text(), Not(HasSubstr("falling back")));
  EXPECT_THAT(capture.text(), Not(HasSubstr("inference: model loaded")));
}

TEST_F(OnnxEngineTest, RunsTheVerifiedModelBytesWhenTheFileIsReplacedAfterTheCheck) {
  const VideoFrame frame = test::frame_with_rectangle(256, 256, 64, 32, 128, 96);
  const auto p = package();
  const std::filesystem::path replacement = p.dir / "replacement.onnx";
  std::filesystem::copy_file(test::generated_model("fail_seven_columns"), replacement);
  int swaps = 0;
  // The provider list is asked after the package check and before any session is built: the
  // model file is renamed over right then, as an attacker racing the check would.
  auto providers = [&] {
    std::filesystem::rename(replacement, p.model);
    ++swaps;
    return std::vector<std::string>{"CPUExecutionProvider"};
  };
  OnnxEngine e(p.manifest, p.public_key, true, ExecutionProvider::cpu, 1, providers);
  e.warmup();
  ASSERT_EQ(swaps, 1);
  // The replacement would fail every run with "end-to-end detections output must have 5 or 6 columns".
  const InferenceResult r = e.detect(frame, std::nullopt);
  ASSERT_EQ(r.detections.size(), 1u);
  expect_box(r.detections[0], 0.25, 0.125, 0.25, 0.25, 1e-9);
  // The file on disk is now the other model, and a new check refuses it.
  EXPECT_EQ(message_of<std::runtime_error>([&] { engine(p); }),
            "model package validation failed: model SHA-256 does not match manifest");
}

// Threads of this process whose name is `name`.
int threads_named(const std::string& name) {
  int n = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++n;
  }
  return n;
}

TEST_F(OnnxEngineTest, RuntimePoolThreadsAreNamedAndEndWithTheEngine) {
  const int before = threads_named("onnx-pool");
  {
    auto e = engine(package(), ExecutionProvider::cpu, 3);
    e->warmup();
    // Three intra-op threads: the caller and two of the pool.
    EXPECT_EQ(threads_named("onnx-pool") - before, 2);
  }
  EXPECT_EQ(threads_named("onnx-pool"), before);
}

TEST_F(OnnxEngineTest, ComputeRealisticModelDetectsLikeTheSmallOne) {
  auto e = engine(package("realistic_640"), ExecutionProvider::cpu, 2);
  e->warmup();
  // 1280x720 into 640x640: scale 0.5, 140 rows of padding above.
  const InferenceResult r = e->detect(test::frame_with_rectangle(1280, 720, 320, 180, 640, 540), std::nullopt);
  ASSERT_EQ(r.detections.size(), 1u);
  expect_box(r.detections[0], 0.25, 0.25, 0.25, 0.5, 1e-9);
}

}  // namespace
}  // namespace velmo::ai
