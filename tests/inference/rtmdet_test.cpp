#include "inference/rtmdet.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velmo::ai {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

ModelManifest test_manifest(std::int32_t input_width = 32, std::int32_t input_height = 32) {
  ModelManifest m;
  m.name = "detector";
  m.version = "1";
  m.file = "model.onnx";
  m.sha256 = std::string(64, '0');
  m.input_width = input_width;
  m.input_height = input_height;
  return m;
}

using PixelFn = std::function<void(int x, int y, std::uint8_t* bgr)>;

VideoFrame make_frame(int width, int height, const PixelFn& fill = {}) {
  VideoFrame frame;
  frame.sequence = 1;
  frame.width = width;
  frame.height = height;
  frame.pixels.assign(static_cast<std::size_t>(width) * height * 3, 0);
  if (fill) {
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        fill(x, y, &frame.pixels[(static_cast<std::size_t>(y) * width + x) * 3]);
      }
    }
  }
  return frame;
}

float normalised(int byte, const ModelManifest& m, int c) {
  return static_cast<float>((static_cast<double>(byte) - m.mean[c]) / m.stddev[c]);
}

float tensor_at(const PreparedInput& in, const ModelManifest& m, int c, int y, int x) {
  const std::size_t plane = static_cast<std::size_t>(m.input_width) * m.input_height;
  return in.tensor.at(c * plane + static_cast<std::size_t>(y) * m.input_width + x);
}

template <typename Fn>
void expect_invalid_argument(Fn&& fn, const std::string& message) {
  try {
    fn();
    ADD_FAILURE() << "expected std::invalid_argument \"" << message << "\"";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(e.what(), message);
  }
}

// ---------------------------------------------------------------- preprocessor construction

TEST(RtmdetPreprocessor, RefusesModelFormsThatAreNotRun) {
  struct Case {
    std::string layout;
    std::string color_order;
    bool letterbox;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"NHWC", "RGB", true, "phase one supports NCHW model input only"},
      {"nchw", "RGB", true, "phase one supports NCHW model input only"},
      // layout is checked before the colour order and the letterbox flag
      {"NHWC", "rgb", false, "phase one supports NCHW model input only"},
      {"NCHW", "rgb", true, "model color_order must be RGB or BGR"},
      {"NCHW", "GRAY", false, "model color_order must be RGB or BGR"},
      {"NCHW", "BGR", false, "phase one requires letterbox=true model preprocessing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout + "/" + c.color_order);
    ModelManifest m = test_manifest();
    m.layout = c.layout;
    m.color_order = c.color_order;
    m.letterbox = c.letterbox;
    expect_invalid_argument([&] { RtmdetPreprocessor p(m); }, c.message);
  }
  EXPECT_NO_THROW(RtmdetPreprocessor{test_manifest()});
}

TEST(RtmdetPreprocessor, RefusesManifestsThatWouldMakePrepareReadOutOfBounds) {
  ModelManifest short_mean = test_manifest();
  short_mean.mean = {0, 0};
  expect_invalid_argument([&] { RtmdetPreprocessor p(short_mean); }, "manifest mean and stddev require 3 values");
  ModelManifest no_input = test_manifest(0, 32);
  expect_invalid_argument([&] { RtmdetPreprocessor p(no_input); }, "model input dimensions must be at least 32");
}

// ---------------------------------------------------------------- exact tensor values

struct TensorCase {
  std::string color_order;
  std::string pad_mode;
  int expected_pad_y;
};

void PrintTo(const TensorCase& c, std::ostream* os) { *os << c.color_order << "/" << c.pad_mode; }

class PreprocessorTensor : public ::testing::TestWithParam<TensorCase> {};

// A 32 x 16 frame in a 32 x 32 input has scale 1, so the picture is copied unchanged and every
// tensor value can be predicted exactly.
TEST_P(PreprocessorTensor, HoldsNormalisedBytesInPlanarOrder) {
  const TensorCase& tc = GetParam();
  ModelManifest m = test_manifest(32, 32);
  m.color_order = tc.color_order;
  m.pad_mode = tc.pad_mode;
  m.pad_value = 100;
  m.mean = {10.0, 20.5, 30.0};
  m.stddev = {2.0, 0.5, 3.0};
  const auto blue = [](int x, int y) { return (x * 7 + y * 3) % 256; };
  const auto green = [](int x, int y) { return (x * 5 + y * 11 + 1) % 256; };
  const auto red = [](int x, int y) { return (255 - x * 3 - y * 2) % 256; };
  const VideoFrame frame = make_frame(32, 16, [&](int x, int y, std::uint8_t* p) {
    p[0] = static_cast<std::uint8_t>(blue(x, y));
    p[1] = static_cast<std::uint8_t>(green(x, y));
    p[2] = static_cast<std::uint8_t>(red(x, y));
  });

  const PreparedInput in = RtmdetPreprocessor(m).prepare(frame, std::nullopt);
  ASSERT_EQ(in.tensor.size(), 3u * 32 * 32);
  EXPECT_EQ(in.shape, (std::vector<std::int64_t>{1, 3, 32, 32}));
  EXPECT_EQ(in.scale, 1.0);
  EXPECT_EQ(in.pad_x, 0);
  EXPECT_EQ(in.pad_y, tc.expected_pad_y);
  EXPECT_EQ(in.crop.x, 0.0);
  EXPECT_EQ(in.crop.w, 1.0);

  const bool rgb = tc.color_order == "RGB";
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const int fy = y - tc.expected_pad_y;
      const bool picture = fy >= 0 && fy < 16;
      const int b = picture ? blue(x, fy) : 100;
      const int g = picture ? green(x, fy) : 100;
      const int r = picture ? red(x, fy) : 100;
      const int bytes[3] = {rgb ? r : b, g, rgb ? b : r};
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(tensor_at(in, m, c, y, x), normalised(bytes[c], m, c))
            << "channel " << c << " row " << y << " column " << x;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ColourOrderAndPadMode, PreprocessorTensor,
                         ::testing::Values(TensorCase{"RGB", "center", 8}, TensorCase{"BGR", "center", 8},
                                           TensorCase{"RGB", "top_left", 0}, TensorCase{"BGR", "top_left", 0}),
                         [](const auto& info) { return info.param.color_order + "_" + info.param.pad_mode; });

TEST(RtmdetPreprocessor, UpscalesATinyFrameIntoTheCentre) {
  // 2 x 1 pixels into 32 x 32: scale 16, picture 32 x 16 at row 8.
  ModelManifest m = test_manifest(32, 32);
  m.color_order = "BGR";
  const VideoFrame frame = make_frame(2, 1, [](int, int, std::uint8_t* p) {
    p[0] = 40;
    p[1] = 50;
    p[2] = 60;
  });
  const PreparedInput in = RtmdetPreprocessor(m).prepare(frame, std::nullopt);
  EXPECT_EQ(in.scale, 16.0);
  EXPECT_EQ(in.pad_x, 0);
  EXPECT_EQ(in.pad_y, 8);
  for (int y = 0; y < 32; ++y) {
    const bool picture = y >= 8 && y < 24;
    EXPECT_EQ(tensor_at(in, m, 0, y, 5), picture ? 40.0f : 114.0f) << "row " << y;
    EXPECT_EQ(tensor_at(in, m, 2, y, 31), picture ? 60.0f : 114.0f) << "row " << y;
  }
}

TEST(RtmdetPreprocessor, PadValueSaturatesToAByte) {
  for (const auto& [pad_value, byte] : std::vector<std::pair<int, int>>{{300, 255}, {-5, 0}}) {
    ModelManifest m = test_manifest(32, 32);
    m.pad_value = pad_value;
    const PreparedInput in = RtmdetPreprocessor(m).prepare(make_frame(32, 16), std::nullopt);
    EXPECT_EQ(tensor_at(in, m, 1, 0, 0), static_cast<float>(byte)) << pad_value;
    EXPECT_EQ(tensor_at(in, m, 1, 31, 31), static_cast<float>(byte)) << pad_value;
  }
}

// ---------------------------------------------------------------- letterbox geometry

struct LetterboxCase {
  std::string name;
  int frame_w, frame_h;
  int input_w, input_h;
  std::optional<Rect> region;
  std::string pad_mode;
  double scale;
  int pad_x, pad_y;
  int resized_w, resized_h;
  Rect crop;
};

void PrintTo(const LetterboxCase& c, std::ostream* os) { *os << c.name; }

class Letterbox : public ::testing::TestWithParam<LetterboxCase> {};

// The frame is white inside the expected pixel crop and black outside it, so the picture area of
// the tensor must be white everywhere and exactly the resized size, and the rest must be padding.
TEST_P(Letterbox, ScalesPadsAndCropsLikeTheModelExpects) {
  const LetterboxCase& lc = GetParam();
  ModelManifest m = test_manifest(lc.input_w, lc.input_h);
  m.pad_mode = lc.pad_mode;
  m.pad_value = 7;
  const int x0 = static_cast<int>(std::floor(lc.crop.x * lc.frame_w));
  const int y0 = static_cast<int>(std::floor(lc.crop.y * lc.frame_h));
  const int x1 = static_cast<int>(std::ceil((lc.crop.x + lc.crop.w) * lc.frame_w));
  const int y1 = static_cast<int>(std::ceil((lc.crop.y + lc.crop.h) * lc.frame_h));
  const VideoFrame frame = make_frame(lc.frame_w, lc.frame_h, [&](int x, int y, std::uint8_t* p) {
    const std::uint8_t v = (x >= x0 && x < x1 && y >= y0 && y < y1) ? 255 : 0;
    p[0] = p[1] = p[2] = v;
  });

  const PreparedInput in = RtmdetPreprocessor(m).prepare(frame, lc.region);
  EXPECT_DOUBLE_EQ(in.scale, lc.scale);
  EXPECT_EQ(in.pad_x, lc.pad_x);
  EXPECT_EQ(in.pad_y, lc.pad_y);
  EXPECT_DOUBLE_EQ(in.crop.x, lc.crop.x);
  EXPECT_DOUBLE_EQ(in.crop.y, lc.crop.y);
  EXPECT_DOUBLE_EQ(in.crop.w, lc.crop.w);
  EXPECT_DOUBLE_EQ(in.crop.h, lc.crop.h);

  int mismatches = 0;
  for (int y = 0; y < lc.input_h; ++y) {
    for (int x = 0; x < lc.input_w; ++x) {
      const bool picture = x >= lc.pad_x && x < lc.pad_x + lc.resized_w && y >= lc.pad_y && y < lc.pad_y + lc.resized_h;
      const float expected = picture ? 255.0f : 7.0f;
      if (tensor_at(in, m, 0, y, x) != expected || tensor_at(in, m, 2, y, x) != expected) {
        if (++mismatches < 5) ADD_FAILURE() << "row " << y << " column " << x;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(
    CommonFrames, Letterbox,
    ::testing::Values(
        LetterboxCase{
            "Hd1080", 1920, 1080, 416, 416, std::nullopt, "center", 416.0 / 1920, 0, 91, 416, 234, {0, 0, 1, 1}},
        LetterboxCase{"Hd1080TopLeft",
                      1920,
                      1080,
                      416,
                      416,
                      std::nullopt,
                      "top_left",
                      416.0 / 1920,
                      0,
                      0,
                      416,
                      234,
                      {0, 0, 1, 1}},
        LetterboxCase{"Hd1080Region",
                      1920,
                      1080,
                      416,
                      416,
                      Rect{0.25, 0.5, 0.5, 0.5},
                      "center",
                      416.0 / 960,
                      0,
                      91,
                      416,
                      234,
                      {0.25, 0.5, 0.5, 0.5}},
        LetterboxCase{
            "Hd720", 1280, 720, 416, 416, std::nullopt, "center", 416.0 / 1280, 0, 91, 416, 234, {0, 0, 1, 1}},
        LetterboxCase{"Uhd", 3840, 2160, 416, 416, std::nullopt, "center", 416.0 / 3840, 0, 91, 416, 234, {0, 0, 1, 1}},
        LetterboxCase{"Vga", 640, 480, 416, 416, std::nullopt, "center", 0.65, 0, 52, 416, 312, {0, 0, 1, 1}},
        LetterboxCase{"Portrait", 480, 640, 416, 416, std::nullopt, "center", 0.65, 52, 0, 312, 416, {0, 0, 1, 1}},
        LetterboxCase{
            "WideInput", 1920, 1080, 640, 384, std::nullopt, "center", 640.0 / 1920, 0, 12, 640, 360, {0, 0, 1, 1}},
        // x = -0.2, w = 0.5 is clamped to x = 0, w = 0.3: 576 x 1080 pixels.
        LetterboxCase{"RegionClamped",
                      1920,
                      1080,
                      416,
                      416,
                      Rect{-0.2, 0.0, 0.5, 1.0},
                      "center",
                      416.0 / 1080,
                      97,
                      0,
                      222,
                      416,
                      {0, 0, 0.3, 1}},
        // Region corners off the pixel grid: floor the near edge, ceil the far one.
        LetterboxCase{"RegionOffGrid",
                      100,
                      100,
                      32,
                      32,
                      Rect{0.105, 0.2, 0.5, 0.5},
                      "top_left",
                      32.0 / 51,
                      0,
                      0,
                      32,
                      31,
                      {0.105, 0.2, 0.5, 0.5}}),
    [](const auto& info) { return info.param.name; });

TEST(RtmdetPreprocessor, RegionNarrowerThanAPixelStillYieldsOneColumn) {
  ModelManifest m = test_manifest(32, 32);
  m.color_order = "BGR";
  const VideoFrame frame = make_frame(100, 10, [](int x, int, std::uint8_t* p) { p[0] = x == 50 ? 200 : 10; });
  const PreparedInput in = RtmdetPreprocessor(m).prepare(frame, Rect{0.5, 0.0, 1e-6, 1.0});
  // One column, ten rows: scale min(32 / 10, 32 / 1) = 3.2, picture 3 x 32 at column 14.
  EXPECT_DOUBLE_EQ(in.scale, 3.2);
  EXPECT_EQ(in.pad_x, 14);
  EXPECT_EQ(in.pad_y, 0);
  for (int x = 14; x < 17; ++x) EXPECT_EQ(tensor_at(in, m, 0, 16, x), 200.0f) << x;
  EXPECT_EQ(tensor_at(in, m, 0, 16, 13), 114.0f);
  EXPECT_EQ(tensor_at(in, m, 0, 16, 17), 114.0f);
}

TEST(RtmdetPreprocessor, RefusesBadFramesAndEmptyCrops) {
  const RtmdetPreprocessor p(test_manifest());
  VideoFrame short_frame = make_frame(8, 4);
  short_frame.pixels.pop_back();
  expect_invalid_argument([&] { p.prepare(short_frame, std::nullopt); }, "cannot preprocess an invalid video frame");
  VideoFrame no_width = make_frame(8, 4);
  no_width.width = 0;
  expect_invalid_argument([&] { p.prepare(no_width, std::nullopt); }, "cannot preprocess an invalid video frame");
  VideoFrame negative = make_frame(8, 4);
  negative.height = -4;
  expect_invalid_argument([&] { p.prepare(negative, std::nullopt); }, "cannot preprocess an invalid video frame");
  // Width and height whose byte count overflows 32 bits must not pass on a small buffer.
  VideoFrame huge = make_frame(8, 4);
  huge.width = 65536;
  huge.height = 65536;
  expect_invalid_argument([&] { p.prepare(huge, std::nullopt); }, "cannot preprocess an invalid video frame");

  const VideoFrame frame = make_frame(8, 4);
  for (const Rect& region : {Rect{1.5, 0.0, 0.5, 1.0}, Rect{0.0, 0.0, 0.0, 1.0}, Rect{0.2, 0.2, -0.1, 0.5},
                             Rect{std::nan(""), 0.0, 0.5, 0.5}}) {
    expect_invalid_argument([&] { p.prepare(frame, region); }, "preprocessing crop is empty");
  }
}

TEST(RtmdetPreprocessor, IgnoresSurplusBytesAfterTheLastRow) {
  ModelManifest m = test_manifest(32, 32);
  m.color_order = "BGR";
  VideoFrame frame = make_frame(32, 16, [](int, int, std::uint8_t* p) { p[0] = 9; });
  frame.pixels.resize(frame.pixels.size() + 100, 250);
  const PreparedInput in = RtmdetPreprocessor(m).prepare(frame, std::nullopt);
  EXPECT_EQ(tensor_at(in, m, 0, 8 + 15, 31), 9.0f);
}

// ---------------------------------------------------------------- decoding

PreparedInput identity_input(double scale = 1.0, int pad_x = 0, int pad_y = 0, Rect crop = {0, 0, 1, 1}) {
  PreparedInput in;
  in.shape = {1, 3, 32, 32};
  in.scale = scale;
  in.pad_x = pad_x;
  in.pad_y = pad_y;
  in.crop = crop;
  return in;
}

ModelManifest decoder_manifest(double confidence = 0.5, double nms = 0.5) {
  ModelManifest m = test_manifest();
  m.confidence_threshold = confidence;
  m.nms_threshold = nms;
  return m;
}

std::vector<Detection> decode(const DetectionDecoder& decoder, const std::vector<float>& values, std::size_t cols,
                              const PreparedInput& in, int frame_w = 64, int frame_h = 64,
                              const std::optional<std::vector<float>>& classes = std::nullopt) {
  std::optional<std::span<const float>> class_span;
  if (classes) class_span = std::span<const float>(*classes);
  return decoder.decode_end2end(values, values.size() / cols, cols, class_span, in, frame_w, frame_h);
}

TEST(DetectionDecoder, RefusesRawExports) {
  ModelManifest m = decoder_manifest();
  m.output_format = "rtmdet_raw";
  expect_invalid_argument([&] { DetectionDecoder d(m); }, "phase one requires an end-to-end RTMDet ONNX export");
}

TEST(DetectionDecoder, RefusesOutputsOfTheWrongShape) {
  const DetectionDecoder d(decoder_manifest());
  const PreparedInput in = identity_input();
  const std::vector<float> values(12, 1.0f);
  const std::string shape = "unexpected RTMDet end-to-end output shape";
  expect_invalid_argument([&] { d.decode_end2end(values, 3, 4, std::nullopt, in, 64, 64); }, shape);
  expect_invalid_argument([&] { d.decode_end2end(values, 3, 5, std::nullopt, in, 64, 64); }, shape);
  // rows * cols wraps around to 8, which would fit in 12 values.
  const std::size_t wrapping_rows = std::numeric_limits<std::size_t>::max() / 6 + 2;
  expect_invalid_argument([&] { d.decode_end2end(values, wrapping_rows, 6, std::nullopt, in, 64, 64); }, shape);
  expect_invalid_argument(
      [&] { d.decode_end2end(values, std::numeric_limits<std::size_t>::max(), 5, std::nullopt, in, 64, 64); }, shape);
  EXPECT_NO_THROW(d.decode_end2end(values, 2, 6, std::nullopt, in, 64, 64));
  EXPECT_NO_THROW(d.decode_end2end({}, 0, 5, std::nullopt, in, 64, 64));

  const std::vector<float> one_class(1, 0.0f);
  expect_invalid_argument([&] { d.decode_end2end(values, 2, 6, std::span<const float>(one_class), in, 64, 64); },
                          "RTMDet labels output is shorter than detections");

  expect_invalid_argument([&] { d.decode_end2end(values, 2, 6, std::nullopt, in, 0, 64); },
                          "cannot decode detections for an invalid video frame");
}

TEST(DetectionDecoder, UndoesPaddingScaleAndCropOrigin) {
  const DetectionDecoder d(decoder_manifest());
  // Frame 400 x 200, crop from (100, 100); model pixels = 0.5 * crop pixels + padding (4, 10).
  const PreparedInput in = identity_input(0.5, 4, 10, Rect{0.25, 0.5, 0.5, 0.5});
  const auto dets = decode(d, {24, 30, 64, 50, 0.9f}, 5, in, 400, 200);
  ASSERT_EQ(dets.size(), 1u);
  EXPECT_EQ(dets[0].label, "person");
  EXPECT_DOUBLE_EQ(dets[0].score, static_cast<double>(0.9f));
  EXPECT_DOUBLE_EQ(dets[0].box.x, 140.0 / 400);
  EXPECT_DOUBLE_EQ(dets[0].box.y, 140.0 / 200);
  EXPECT_DOUBLE_EQ(dets[0].box.w, 80.0 / 400);
  EXPECT_DOUBLE_EQ(dets[0].box.h, 40.0 / 200);
}

TEST(DetectionDecoder, AddsTheUnroundedCropOrigin) {
  const DetectionDecoder d(decoder_manifest());
  // 0.3 of a 7-pixel frame is 2.1 pixels, not the floored 2 the preprocessing cut at.
  const PreparedInput in = identity_input(1.0, 0, 0, Rect{0.3, 0.0, 0.7, 1.0});
  const auto dets = decode(d, {0, 0, 1, 1, 0.9f}, 5, in, 7, 7);
  ASSERT_EQ(dets.size(), 1u);
  EXPECT_DOUBLE_EQ(dets[0].box.x, 2.1 / 7);
  EXPECT_DOUBLE_EQ(dets[0].box.w, 1.0 / 7);
}

TEST(DetectionDecoder, MapsModelBoxesBackOntoTheFramePrepareLetterboxed) {
  ModelManifest m = decoder_manifest();
  m.input_width = 416;
  m.input_height = 416;
  const VideoFrame frame = make_frame(1920, 1080);
  const PreparedInput in = RtmdetPreprocessor(m).prepare(frame, std::nullopt);
  // The whole picture spans model rows 91 to 325.
  const auto dets = decode(DetectionDecoder(m), {0, 91, 416, 325, 0.9f}, 5, in, 1920, 1080);
  ASSERT_EQ(dets.size(), 1u);
  EXPECT_NEAR(dets[0].box.x, 0.0, 1e-12);
  EXPECT_NEAR(dets[0].box.y, 0.0, 1e-12);
  EXPECT_NEAR(dets[0].box.w, 1.0, 1e-12);
  EXPECT_NEAR(dets[0].box.h, 1.0, 1e-12);

  const PreparedInput region = RtmdetPreprocessor(m).prepare(frame, Rect{0.25, 0.5, 0.5, 0.5});
  const auto in_region = decode(DetectionDecoder(m), {0, 91, 208, 208, 0.9f}, 5, region, 1920, 1080);
  ASSERT_EQ(in_region.size(), 1u);
  EXPECT_NEAR(in_region[0].box.x, 0.25, 1e-12);
  EXPECT_NEAR(in_region[0].box.y, 0.5, 1e-12);
  EXPECT_NEAR(in_region[0].box.w, 0.25, 1e-12);
  EXPECT_NEAR(in_region[0].box.h, 0.25, 1e-12);
}

TEST(DetectionDecoder, ReadsXywhBoxesAsOriginAndSize) {
  ModelManifest m = decoder_manifest();
  m.box_format = "xywh";
  const auto dets = decode(DetectionDecoder(m), {10, 20, 30, 40, 0.9f}, 5, identity_input(), 100, 100);
  ASSERT_EQ(dets.size(), 1u);
  EXPECT_DOUBLE_EQ(dets[0].box.x, 0.1);
  EXPECT_DOUBLE_EQ(dets[0].box.y, 0.2);
  EXPECT_DOUBLE_EQ(dets[0].box.w, 0.3);
  EXPECT_DOUBLE_EQ(dets[0].box.h, 0.4);
  // Any other format reads corners: (10, 20)-(30, 40).
  const auto corners =
      decode(DetectionDecoder(decoder_manifest()), {10, 20, 30, 40, 0.9f}, 5, identity_input(), 100, 100);
  ASSERT_EQ(corners.size(), 1u);
  EXPECT_DOUBLE_EQ(corners[0].box.w, 0.2);
}

TEST(DetectionDecoder, KeepsScoresAtTheThresholdAndDropsUnusableRows) {
  const DetectionDecoder d(decoder_manifest(0.5));
  struct Case {
    std::string name;
    std::vector<float> row;
    bool kept;
  };
  const float below = std::nextafter(0.5f, 0.0f);
  const std::vector<Case> cases = {
      {"at threshold", {8, 8, 24, 24, 0.5f}, true},
      {"just below", {8, 8, 24, 24, below}, false},
      {"NaN score", {8, 8, 24, 24, kNaN}, false},
      {"infinite score", {8, 8, 24, 24, kInf}, false},
      {"NaN corner", {8, kNaN, 24, 24, 0.9f}, false},
      {"infinite corner", {8, 8, kInf, 24, 0.9f}, false},
      {"inverted box", {24, 8, 8, 24, 0.9f}, false},
      {"wholly outside", {70, 8, 90, 24, 0.9f}, false},
      {"wholly above", {8, -30, 24, -1, 0.9f}, false},
      // 0.05 x 0.05 pixels of a 64 x 64 frame is below 1e-6 of its area.
      {"tiny", {8, 8, 8.05f, 8.05f, 0.9f}, false},
      {"small but large enough", {8, 8, 8.2f, 8.2f, 0.9f}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(d, c.row, 5, identity_input()).size(), c.kept ? 1u : 0u) << c.name;
  }
}

TEST(DetectionDecoder, CutsBoxesAtTheFrameBorder) {
  const DetectionDecoder d(decoder_manifest());
  const auto dets = decode(d, {-16, 48, 16, 80, 0.9f}, 5, identity_input());
  ASSERT_EQ(dets.size(), 1u);
  EXPECT_EQ(dets[0].box.x, 0.0);
  EXPECT_EQ(dets[0].box.y, 0.75);
  EXPECT_EQ(dets[0].box.w, 0.25);
  EXPECT_EQ(dets[0].box.h, 0.25);
}

TEST(DetectionDecoder, KeepsOnlyPersonClasses) {
  struct Case {
    std::string name;
    std::vector<std::string> labels;
    std::size_t cols;
    float row_class;  // column 5 when cols is 6
    std::optional<std::vector<float>> class_values;
    bool kept;
  };
  const std::vector<std::string> named = {"background", "car", "person"};
  const std::vector<Case> cases = {
      {"class 0 without labels", {}, 6, 0.0f, std::nullopt, true},
      {"class 0 named otherwise", named, 6, 0.0f, std::nullopt, true},
      {"class 2 without labels", {}, 6, 2.0f, std::nullopt, false},
      {"class 2 named person", named, 6, 2.0f, std::nullopt, true},
      {"class 1 named car", named, 6, 1.0f, std::nullopt, false},
      {"class 3 past the labels", named, 6, 3.0f, std::nullopt, false},
      {"negative class", {"person"}, 6, -1.0f, std::nullopt, false},
      {"0.49 rounds to 0", {}, 6, 0.49f, std::nullopt, true},
      {"1.5 rounds away to 2", named, 6, 1.5f, std::nullopt, true},
      {"-0.5 rounds away to -1", {}, 6, -0.5f, std::nullopt, false},
      {"class beyond int", {}, 6, 1e10f, std::nullopt, false},
      {"-1e10 is not class 0", {}, 6, -1e10f, std::nullopt, false},
      // A class that is not a number names no class; it must never read as class 0.
      {"NaN class", {}, 6, kNaN, std::nullopt, false},
      {"infinite class", {}, 6, kInf, std::nullopt, false},
      {"NaN class, labels output says 0", {}, 6, kNaN, std::vector<float>{0.0f}, true},
      {"NaN class, labels output says 1", named, 6, kNaN, std::vector<float>{1.0f}, false},
      {"own class wins over labels output", {}, 6, 0.0f, std::vector<float>{5.0f}, true},
      {"5 columns read as class 0", named, 5, 0.0f, std::nullopt, true},
      {"5 columns, labels output 2 named person", named, 5, 0.0f, std::vector<float>{2.0f}, true},
      {"5 columns, labels output 1", named, 5, 0.0f, std::vector<float>{1.0f}, false},
      {"5 columns, labels output NaN", {}, 5, 0.0f, std::vector<float>{kNaN}, false},
  };
  for (const auto& c : cases) {
    ModelManifest m = decoder_manifest();
    m.labels = c.labels;
    std::vector<float> row = {8, 8, 24, 24, 0.9f};
    if (c.cols == 6) row.push_back(c.row_class);
    const auto dets = decode(DetectionDecoder(m), row, c.cols, identity_input(), 64, 64, c.class_values);
    ASSERT_EQ(dets.size(), c.kept ? 1u : 0u) << c.name;
    if (c.kept) {
      EXPECT_EQ(dets[0].label, "person") << c.name;
    }
  }
}

TEST(DetectionDecoder, SuppressesOverlapsAboveTheThresholdOnly) {
  // (0, 0, 32, 32) and (0, 0, 32, 16) of a 64 x 64 frame: IoU exactly 0.5.
  const std::vector<float> rows = {0, 0, 32, 16, 0.6f, 0, 0, 0, 32, 32, 0.8f, 0};
  const auto at = decode(DetectionDecoder(decoder_manifest(0.5, 0.5)), rows, 6, identity_input());
  ASSERT_EQ(at.size(), 2u);
  EXPECT_FLOAT_EQ(static_cast<float>(at[0].score), 0.8f);
  EXPECT_FLOAT_EQ(static_cast<float>(at[1].score), 0.6f);

  const auto above =
      decode(DetectionDecoder(decoder_manifest(0.5, std::nextafter(0.5, 0.0))), rows, 6, identity_input());
  ASSERT_EQ(above.size(), 1u);
  EXPECT_FLOAT_EQ(static_cast<float>(above[0].score), 0.8f);
  EXPECT_EQ(above[0].box.h, 0.5);

  // A person class and a class the manifest names "person" are one label: they suppress.
  ModelManifest named = decoder_manifest(0.5, 0.25);
  named.labels = {"background", "person"};
  const auto mixed =
      decode(DetectionDecoder(named), {0, 0, 32, 32, 0.9f, 0, 0, 0, 32, 32, 0.7f, 1}, 6, identity_input());
  EXPECT_EQ(mixed.size(), 1u);
}

// ---------------------------------------------------------------- suppression

Detection det(double score, Rect box, std::string label = "person") { return Detection{std::move(label), score, box}; }

TEST(NonMaximumSuppression, ThresholdBoundaryWithExactFractions) {
  struct Case {
    std::string name;
    Rect a, b;
    double threshold;
    std::size_t kept;
  };
  const Rect half{0, 0, 0.5, 0.5};
  const std::vector<Case> cases = {
      {"IoU 0.5 at threshold 0.5", half, {0, 0, 0.5, 0.25}, 0.5, 2},
      {"IoU 0.5 above threshold", half, {0, 0, 0.5, 0.25}, std::nextafter(0.5, 0.0), 1},
      {"IoU 0.25 at threshold 0.25", half, {0, 0, 0.25, 0.25}, 0.25, 2},
      {"IoU 0.25 above 0.125", half, {0, 0, 0.25, 0.25}, 0.125, 1},
      {"identical boxes", half, half, 0.99, 1},
      {"touching boxes", half, {0.5, 0, 0.5, 0.5}, 0.0, 2},
      {"disjoint boxes", half, {0.75, 0.75, 0.25, 0.25}, 0.0, 2},
      // Below zero even boxes that do not overlap (IoU 0) suppress each other.
      {"negative threshold", half, {0.75, 0.75, 0.25, 0.25}, -0.1, 1},
  };
  for (const auto& c : cases) {
    const auto kept = non_maximum_suppression({det(0.6, c.b), det(0.9, c.a)}, c.threshold);
    ASSERT_EQ(kept.size(), c.kept) << c.name;
    EXPECT_EQ(kept[0].score, 0.9) << c.name;
  }
}

TEST(NonMaximumSuppression, OnlyKeptDetectionsSuppress) {
  // A overlaps B and B overlaps C (IoU 1/3 each), A and C only touch: B goes, C stays.
  const auto kept =
      non_maximum_suppression({det(0.7, {0.5, 0, 0.5, 0.5}), det(0.9, {0, 0, 0.5, 0.5}), det(0.8, {0.25, 0, 0.5, 0.5})},
                              0.3);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].score, 0.9);
  EXPECT_EQ(kept[1].score, 0.7);
}

TEST(NonMaximumSuppression, LabelsNeverSuppressEachOther) {
  const Rect box{0.1, 0.1, 0.4, 0.4};
  const auto kept = non_maximum_suppression({det(0.5, box, "person"), det(0.9, box, "car"), det(0.7, box, "person"),
                                             det(0.8, box, "Person")},
                                            0.5);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].label, "car");
  EXPECT_EQ(kept[1].label, "Person");
  EXPECT_EQ(kept[2].label, "person");
  EXPECT_EQ(kept[2].score, 0.7);
}

TEST(NonMaximumSuppression, ReturnsDescendingScoresAndToleratesNaN) {
  std::vector<Detection> input;
  for (int i = 0; i < 40; ++i) {
    const double score = i % 7 == 0 ? std::nan("") : (i * 37 % 40) / 40.0;
    input.push_back(det(score, {0.02 * i, 0.0, 0.01, 0.01}));
  }
  const auto kept = non_maximum_suppression(input, 0.5);
  ASSERT_EQ(kept.size(), input.size());
  std::size_t numbers = 0;
  while (numbers < kept.size() && !std::isnan(kept[numbers].score)) ++numbers;
  EXPECT_EQ(numbers, 34u);
  for (std::size_t i = 1; i < numbers; ++i) EXPECT_GE(kept[i - 1].score, kept[i].score);
  for (std::size_t i = numbers; i < kept.size(); ++i) EXPECT_TRUE(std::isnan(kept[i].score));
}

TEST(NonMaximumSuppression, DecoderMemberUsesTheManifestThreshold) {
  const Rect half{0, 0, 0.5, 0.5};
  const Rect quarter{0, 0, 0.5, 0.25};  // IoU 0.5 with half
  EXPECT_EQ(
      DetectionDecoder(decoder_manifest(0.5, 0.5)).non_maximum_suppression({det(0.9, half), det(0.8, quarter)}).size(),
      2u);
  EXPECT_EQ(
      DetectionDecoder(decoder_manifest(0.5, 0.4)).non_maximum_suppression({det(0.9, half), det(0.8, quarter)}).size(),
      1u);
}

}  // namespace
}  // namespace velmo::ai
