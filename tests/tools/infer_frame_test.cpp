#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "foundation/json.h"
#include "inference/cuda_runtime.h"
#include "tests/support/test_models.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

const std::string kPrefix = "velmo-ai-infer-frame: ";
const std::string kRequired = "--manifest, --public-key, --raw-bgr, --width and --height are required";

test::ProcessResult infer_frame(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {VELMO_INFER_FRAME_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::run_process(argv);
}

class InferFrameTool : public ::testing::Test {
 protected:
  void SetUp() override {
    package_ = test::write_signed_package(dir_ / "package");
    // 320x240 with a red rectangle at columns 80..159 and rows 60..119.
    raw_ = dir_ / "frame.bgr";
    const VideoFrame frame = test::frame_with_rectangle(320, 240, 80, 60, 160, 120);
    pixels_ = std::string(frame.pixels.begin(), frame.pixels.end());
    test::write_file(raw_, pixels_);
  }

  std::vector<std::string> args(const test::ModelPackage& package, const std::string& raw,
                                std::vector<std::string> extra = {}) const {
    std::vector<std::string> out = {"--manifest",   package.manifest.string(),
                                    "--public-key", package.public_key.string(),
                                    "--raw-bgr",    raw,
                                    "--width",      "320",
                                    "--height",     "240"};
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  }
  std::vector<std::string> args(std::vector<std::string> extra = {}) const {
    return args(package_, raw_.string(), std::move(extra));
  }

  test::TempDir dir_;
  test::ModelPackage package_;
  std::filesystem::path raw_;
  std::string pixels_;
};

void expect_failure(const test::ProcessResult& r, const std::string& message) {
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, EndsWith(kPrefix + message + "\n"));
}

bool whole(double v) { return v == std::floor(v) && v >= 0.0; }

TEST_F(InferFrameTool, ReportsTheDetectionsAndLatenciesOfTheRuns) {
  const test::ProcessResult r = infer_frame(args({"--iterations", "3"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Json report = parse_json(r.out);
  std::vector<std::string> keys;
  for (const auto& [key, value] : report.items()) keys.push_back(key);
  EXPECT_THAT(keys, ElementsAre("average_latency_ms", "detections", "execution_provider", "iterations", "latency_ms",
                                "latency_p50_ms", "latency_p95_ms", "model", "model_version"));
  EXPECT_EQ(report["iterations"], 3);
  EXPECT_EQ(report["model"], "bright_dets");
  EXPECT_EQ(report["model_version"], "1.0.0");
  EXPECT_EQ(report["execution_provider"], "CPUExecutionProvider");
  for (const char* key : {"average_latency_ms", "latency_ms", "latency_p50_ms", "latency_p95_ms"}) {
    EXPECT_TRUE(report[key].is_number_float()) << key;
  }

  ASSERT_EQ(report["detections"].size(), 1u);
  const Json& d = report["detections"][0];
  EXPECT_EQ(d["label"], "person");
  EXPECT_DOUBLE_EQ(d["score"].get<double>(), 1.0);
  for (const auto& [key, expected] :
       std::vector<std::pair<std::string, double>>{{"x", 0.25}, {"y", 0.25}, {"w", 0.25}, {"h", 0.25}}) {
    EXPECT_NEAR(d["box"][key].get<double>(), expected, 1.5 / 128.0) << key;
  }

  // Indented by two blanks, keys in byte order (box before label, h before w), whole values as 0.0.
  EXPECT_THAT(r.out, ::testing::StartsWith("{\n  \"average_latency_ms\": "));
  EXPECT_THAT(r.out, ::testing::ContainsRegex("\"box\": \\{\n +\"h\": [0-9.e-]+,\n +\"w\": "));
  EXPECT_THAT(r.out, ::testing::ContainsRegex("\"latency_ms\": [0-9]+\\.[0-9]+,\n"));
  EXPECT_THAT(r.out, EndsWith("\"model_version\": \"1.0.0\"\n}\n"));

  // The engine's log lines are on standard error, before the report is written.
  EXPECT_THAT(r.err, HasSubstr("msg=\"inference: model loaded\" model=\"bright_dets\""));
  EXPECT_THAT(r.err, HasSubstr("msg=\"inference: model warmup completed\""));
}

TEST_F(InferFrameTool, LatencyFiguresOfTheComputeRealisticModel) {
  const test::ModelPackage realistic = test::write_signed_package(dir_ / "realistic", "realistic_640");
  const test::ProcessResult r = infer_frame(args(realistic, raw_.string(), {"--iterations", "5"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Json report = parse_json(r.out);
  const double last = report["latency_ms"], average = report["average_latency_ms"];
  const double p50 = report["latency_p50_ms"], p95 = report["latency_p95_ms"];
  // Whole milliseconds of the model run; with five runs the 95th percentile is the slowest.
  EXPECT_TRUE(whole(last) && whole(p50) && whole(p95));
  EXPECT_LE(p50, p95);
  EXPECT_LE(last, p95);
  EXPECT_LE(average, p95);
  EXPECT_GT(p95, 0.0);
  ASSERT_EQ(report["detections"].size(), 1u);
  EXPECT_NEAR(report["detections"][0]["box"]["x"].get<double>(), 0.25, 1.5 / 640.0);
}

TEST_F(InferFrameTool, OneRunByDefaultIsItsOwnAverageAndPercentiles) {
  const test::ProcessResult r = infer_frame(args());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Json report = parse_json(r.out);
  EXPECT_EQ(report["iterations"], 1);
  EXPECT_EQ(report["average_latency_ms"], report["latency_ms"]);
  EXPECT_EQ(report["latency_p50_ms"], report["latency_ms"]);
  EXPECT_EQ(report["latency_p95_ms"], report["latency_ms"]);
}

TEST_F(InferFrameTool, FrameWithoutPeopleGivesAnEmptyDetectionsArray) {
  test::write_file(raw_, std::string(pixels_.size(), '\0'));
  const test::ProcessResult r = infer_frame(args({"--iterations", "2"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\"detections\": [],\n"));
}

TEST_F(InferFrameTool, RawFrameSizeRules) {
  test::write_file(raw_, pixels_ + "surplus bytes");
  const test::ProcessResult longer = infer_frame(args());
  ASSERT_EQ(longer.exit_code, 0) << longer.err;
  EXPECT_EQ(parse_json(longer.out)["detections"].size(), 1u);

  test::write_file(raw_, pixels_.substr(0, pixels_.size() - 1));
  const test::ProcessResult shorter = infer_frame(args());
  expect_failure(shorter, "raw frame is smaller than expected");

  // A frame size far beyond the file is refused without reserving memory for it.
  const test::ProcessResult huge =
      infer_frame({"--manifest", package_.manifest.string(), "--public-key", package_.public_key.string(), "--raw-bgr",
                   raw_.string(), "--width", "2000000000", "--height", "2000000000"});
  expect_failure(huge, "raw frame is smaller than expected");
}

TEST_F(InferFrameTool, MissingRawFrameIsReportedAfterTheModelLoaded) {
  const std::string missing = (dir_ / "no-such.bgr").string();
  const test::ProcessResult r = infer_frame(args(package_, missing));
  expect_failure(r, "cannot open raw frame: " + missing);
  const auto loaded = r.err.find("inference: model loaded");
  const auto warmed = r.err.find("inference: model warmup completed");
  ASSERT_NE(loaded, std::string::npos);
  ASSERT_NE(warmed, std::string::npos);
  EXPECT_LT(warmed, r.err.find(kPrefix));

  expect_failure(infer_frame(args(package_, dir_.path().string())), "cannot open raw frame: " + dir_.path().string());
}

TEST_F(InferFrameTool, PackageThatDoesNotVerifyFailsBeforeTheFrameIsRead) {
  test::ModelPackage other = test::write_signed_package(dir_ / "other");
  test::ModelPackage wrong_key = package_;
  wrong_key.public_key = other.public_key;
  const test::ProcessResult r = infer_frame(args(wrong_key, (dir_ / "no-such.bgr").string()));
  expect_failure(r, "model package validation failed: model manifest signature is invalid");

  // The tool always requires the signature.
  test::ModelPackage unsigned_package =
      test::write_signed_package(dir_ / "unsigned", "bright_dets", {{"signature_file", nullptr}});
  expect_failure(infer_frame(args(unsigned_package, raw_.string())),
                 "model package validation failed: model signature is required but missing");
}

TEST_F(InferFrameTool, DeviceTextGoesToTheEngine) {
  // This runtime has no CUDA provider: "gpu" fails with the engine's text, "auto" runs on the CPU.
  expect_failure(infer_frame(args({"--device", "gpu"})),
                 cuda_runtime_failure_message("GPU was requested but CUDAExecutionProvider is unavailable"));
  const test::ProcessResult automatic = infer_frame(args({"--device", "auto"}));
  ASSERT_EQ(automatic.exit_code, 0) << automatic.err;
  EXPECT_EQ(parse_json(automatic.out)["execution_provider"], "CPUExecutionProvider");
}

TEST(InferFrameArguments, HelpOrNothingPrintsTheUsage) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{}, 1}, {{"--help"}, 0}, {{"-h"}, 0}, {{"--width", "320", "--help"}, 0}, {{"--help", "me"}, 0}};
  for (const auto& [argv, status] : cases) {
    SCOPED_TRACE(::testing::PrintToString(argv));
    const test::ProcessResult r = infer_frame(argv);
    EXPECT_EQ(r.exit_code, status);
    EXPECT_THAT(r.out, ::testing::StartsWith("Usage: velmo-ai-infer-frame --manifest <path>"));
    EXPECT_EQ(r.err, "");
  }
}

TEST(InferFrameArguments, BadCommandLinesGiveTheirMessages) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--width=320"}, "missing value for --width=320"},
      {{"--width=320", "--height"}, "unknown argument: --width=320"},
      {{"--manifest", "m.json", "--public-key"}, "missing value for --public-key"},
      {{"--width", "320 "}, "--width must be a positive integer"},
      {{"--width", "32x"}, "--width must be a positive integer"},
      {{"--width", "wide"}, "stoi"},
      {{"--height", "0"}, "--height must be a positive integer"},
      {{"--height", "-240"}, "--height must be a positive integer"},
      {{"--iterations", "99999999999"}, "stoi"},
      {{"--iterations", ""}, "stoi"},
      // Leading blanks and a plus sign are accepted; the options are still incomplete.
      {{"--width", " 320", "--height", "+240"}, kRequired},
      {{"--manifest", "", "--public-key", "k", "--raw-bgr", "f", "--width", "1", "--height", "1"}, kRequired},
      {{"--manifest", "m", "--public-key", "k", "--raw-bgr", "f", "--width", "1"}, kRequired},
      // The first bad pair decides.
      {{"--bogus", "1", "--width", "0"}, "unknown argument: --bogus"},
      {{"--width", "0", "--bogus", "1"}, "--width must be a positive integer"},
      // A device that is no device is refused where it is read, never run on the CPU.
      {{"--device", "tpu", "--width", "0"}, "--device must be auto, cpu, or gpu"},
      {{"--device", "GPU"}, "--device must be auto, cpu, or gpu"},
  };
  for (const auto& [argv, message] : cases) {
    SCOPED_TRACE(::testing::PrintToString(argv));
    const test::ProcessResult r = infer_frame(argv);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kPrefix + message + "\n");
  }
}

}  // namespace
}  // namespace velmo::ai
