#include "analysis/scene_detector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

constexpr int kW = 320;
constexpr int kH = 180;
constexpr double kArea = kW * kH;
constexpr std::int64_t T = 1'700'000'000'000;  // an ordinary wall-clock time

// A grey frame (B = G = R, so the grey conversion keeps the value) of any size.
VideoFrame grey_frame(int width, int height, std::uint8_t value) {
  VideoFrame f;
  f.width = width;
  f.height = height;
  f.pixels.assign(static_cast<std::size_t>(width) * height * 3, value);
  return f;
}

void fill_rect(VideoFrame& f, int x, int y, int w, int h, std::uint8_t value) {
  for (int r = y; r < y + h; ++r) {
    for (int c = x; c < x + w; ++c) {
      auto* p = &f.pixels[(static_cast<std::size_t>(r) * f.width + c) * 3];
      p[0] = p[1] = p[2] = value;
    }
  }
}

// Checkerboard of cell x cell squares alternating a and b. With cell 1 at 320 x 180 its 4-neighbour
// Laplacian is +-4(b - a) at every pixel (the reflected border continues the pattern), so the blur
// score is 16 (b - a)^2; a larger frame of cells scale x scale averages down to the same picture.
VideoFrame checkerboard(int width, int height, int cell, std::uint8_t a, std::uint8_t b) {
  VideoFrame f = grey_frame(width, height, a);
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      if (((r / cell) + (c / cell)) % 2 == 1) {
        auto* p = &f.pixels[(static_cast<std::size_t>(r) * width + c) * 3];
        p[0] = p[1] = p[2] = b;
      }
    }
  }
  return f;
}

VideoFrame background() { return checkerboard(kW, kH, 1, 90, 150); }  // mean 120, blur 57600

// A 40 x 20 white block at (100, 50). The 3 x 3 ellipse is a cross, so opening it rounds off its
// four corner pixels: 800 - 4 changed pixels remain.
VideoFrame with_block() {
  VideoFrame f = background();
  fill_rect(f, 100, 50, 40, 20, 255);
  return f;
}
constexpr double kBlockRatio = 796.0 / kArea;

SceneConfig config(std::int32_t trigger_ms = 0, std::int32_t cooldown_ms = 0, std::int32_t hold_ms = 0) {
  SceneConfig c;
  c.change_threshold = 0.01;  // below the block's share
  c.trigger_ms = trigger_ms;
  c.cooldown_ms = cooldown_ms;
  c.hold_ms = hold_ms;
  return c;
}

// A detector that has already stored the textured background as its baseline.
SceneDetector primed(SceneConfig c) {
  SceneDetector d(std::move(c));
  d.observe(background(), T - 100000);
  return d;
}

void expect_rect(const std::optional<Rect>& r, double x, double y, double w, double h) {
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR(r->x, x, 1e-12);
  EXPECT_NEAR(r->y, y, 1e-12);
  EXPECT_NEAR(r->w, w, 1e-12);
  EXPECT_NEAR(r->h, h, 1e-12);
}

TEST(SceneDetectorConfig, RefusesThresholdsOutsideTheUnitIntervalAndNegativeTimes) {
  struct Case {
    const char* name;
    double threshold;
    std::int32_t trigger, cooldown, hold;
    bool ok;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Case& c : std::vector<Case>{{"one", 1.0, 0, 0, 0, true},
                                         {"tiny", 0.0001, 1500, 30000, 4000, true},
                                         {"zero", 0.0, 0, 0, 0, false},
                                         {"negative", -0.1, 0, 0, 0, false},
                                         {"above one", 1.0001, 0, 0, 0, false},
                                         {"nan", nan, 0, 0, 0, false},
                                         {"trigger", 0.5, -1, 0, 0, false},
                                         {"cooldown", 0.5, 0, -1, 0, false},
                                         {"hold", 0.5, 0, 0, -1, false}}) {
    SCOPED_TRACE(c.name);
    SceneConfig cfg = config(c.trigger, c.cooldown, c.hold);
    cfg.change_threshold = c.threshold;
    if (c.ok) {
      EXPECT_NO_THROW(SceneDetector{cfg});
    } else {
      EXPECT_THAT([&] { SceneDetector{cfg}; }, testing::ThrowsMessage<std::invalid_argument>(
                                                   testing::StrEq("invalid scene detector configuration")));
    }
  }
}

TEST(SceneDetectorFrames, RefusesFramesWithoutPixelsForTheirSizeAndKeepsItsState) {
  VideoFrame no_width = grey_frame(4, 4, 0);
  no_width.width = 0;
  VideoFrame no_height = grey_frame(4, 4, 0);
  no_height.height = -1;
  VideoFrame short_buffer = grey_frame(4, 4, 0);
  short_buffer.pixels.pop_back();
  VideoFrame huge = grey_frame(1, 1, 0);
  huge.width = huge.height = std::numeric_limits<std::int32_t>::max();  // the size must not overflow

  SceneDetector d(config());
  for (const VideoFrame* f : {&no_width, &no_height, &short_buffer, &huge}) {
    EXPECT_THAT([&] { d.observe(*f, T); }, testing::ThrowsMessage<std::invalid_argument>(
                                               testing::StrEq("scene detector received an invalid frame")));
    EXPECT_THAT([&] { d.refresh_baseline(*f); },
                testing::ThrowsMessage<std::invalid_argument>(testing::StrEq("cannot use an invalid baseline frame")));
  }
  EXPECT_FALSE(d.baseline_ready());
  // A buffer longer than needed is fine.
  VideoFrame longer = grey_frame(kW, kH, 10);
  longer.pixels.resize(longer.pixels.size() + 7);
  EXPECT_NO_THROW(d.observe(longer, T));
  EXPECT_TRUE(d.baseline_ready());
}

// The grey picture is computed directly for frames that are whole multiples of the analysis size;
// it must equal, to the bit, OpenCV's area reduction followed by its grey conversion, for every
// shape (the direct path and the fall-back alike), on noise and on smooth gradients, where
// rounding ties are most frequent.
TEST(SceneDetectorFrames, GreyPictureIsOpenCvsAreaReductionToTheBit) {
  struct Shape {
    int width, height, to_width, to_height;
  };
  const Shape shapes[] = {
      {1920, 1080, kW, kH},   {1280, 720, kW, kH}, {960, 540, kW, kH},  {3840, 2160, kW, kH}, {960, 1440, kW, kH},
      {640, 360, kW, kH},     {kW, kH, kW, kH},    {1000, 700, kW, kH}, {4000, 2160, kW, kH}, {5760, 3240, kW, kH},
      {1920, 1080, 640, 360}, {5120, 2880, kW, kH}};  // 16 x 16: the largest block whose sums fit 16 bits
  cv::RNG rng(24);
  for (const Shape& s : shapes) {
    for (const bool noise : {true, false}) {
      VideoFrame f = grey_frame(s.width, s.height, 0);
      cv::Mat bgr(s.height, s.width, CV_8UC3, f.pixels.data());
      if (noise) {
        rng.fill(bgr, cv::RNG::UNIFORM, 0, 256);
      } else {
        for (int y = 0; y < s.height; ++y) {
          for (int x = 0; x < s.width; ++x) {
            bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<std::uint8_t>(x * 7 / 5), static_cast<std::uint8_t>(y / 3),
                                                static_cast<std::uint8_t>((x + y) / 2));
          }
        }
      }
      cv::Mat small;
      cv::Mat expected;
      cv::resize(bgr, small, cv::Size(s.to_width, s.to_height), 0.0, 0.0, cv::INTER_AREA);
      cv::cvtColor(small, expected, cv::COLOR_BGR2GRAY);
      const std::vector<std::uint8_t> grey = grey_analysis_picture(f, s.to_width, s.to_height);
      ASSERT_EQ(grey.size(), expected.total());
      const std::vector<std::uint8_t> wanted(expected.datastart, expected.dataend);
      std::size_t differing = 0;
      for (std::size_t i = 0; i < grey.size(); ++i) differing += grey[i] != wanted[i] ? 1 : 0;
      EXPECT_EQ(differing, 0u) << s.width << "x" << s.height << " to " << s.to_width << "x" << s.to_height
                               << (noise ? " noise" : " gradient");
    }
  }
}

// The reduction equals OpenCV's area reduction for every block width, on rows of any width (the
// vector steps leave a row's last pixels to the plain loop), and writes nothing past its rows.
TEST(SceneDetectorFrames, ReductionOfAnyRowWidthIsOpenCvsAndStaysInItsRows) {
  constexpr int kRows = 2;
  constexpr std::size_t kGuard = 16;
  cv::RNG rng(5);
  for (const int fx : {3, 4, 6, 12}) {
    for (const int out_width : {1, 2, 3, 4, 5, 321}) {
      cv::Mat bgr(kRows * 3, out_width * fx, CV_8UC3);
      rng.fill(bgr, cv::RNG::UNIFORM, 0, 256);
      cv::Mat expected;
      cv::resize(bgr, expected, cv::Size(out_width, kRows), 0.0, 0.0, cv::INTER_AREA);
      const std::size_t bytes = expected.total() * 3;
      std::vector<std::uint8_t> out(bytes + kGuard, 0xA5);
      reduce_bgr_rows(bgr.data, bgr.step, bgr.cols, WholeFactors{fx, 3}, kRows, out.data());
      SCOPED_TRACE(std::to_string(fx) + " wide blocks, " + std::to_string(out_width) + " pixels");
      const auto end = out.begin() + static_cast<std::ptrdiff_t>(bytes);
      EXPECT_TRUE(std::equal(out.begin(), end, expected.data));
      EXPECT_EQ(std::count(end, out.end(), 0xA5), kGuard);
    }
  }
}

// The blur score is OpenCV's Laplacian to doubles and meanStdDev, squared, to the bit: on noise
// (where the square root and its square round), the largest Laplacian values, bright pixels where
// the border is reflected, sizes where the reflection folds back onto the pixel itself, and a row
// longer than the vector sums take at once.
TEST(SceneDetectorBlur, LaplacianVarianceIsOpenCvsToTheBit) {
  struct Case {
    std::string name;
    cv::Mat grey;
  };
  cv::RNG rng(7);
  auto noise = [&](int w, int h, int low, int high) {
    cv::Mat m(h, w, CV_8UC1);
    rng.fill(m, cv::RNG::UNIFORM, low, high);
    return m;
  };
  auto flat = [](int w, int h, int v) { return cv::Mat(h, w, CV_8UC1, cv::Scalar(v)); };
  auto checker = [](int w, int h) {
    cv::Mat m(h, w, CV_8UC1);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) m.at<std::uint8_t>(y, x) = (x + y) % 2 ? 255 : 0;
    }
    return m;
  };
  auto dot = [&](int w, int h, int x, int y) {
    cv::Mat m = flat(w, h, 0);
    m.at<std::uint8_t>(y, x) = 255;
    return m;
  };
  std::vector<Case> cases{
      {"flat 0", flat(kW, kH, 0)},
      {"flat 255", flat(kW, kH, 255)},
      {"checker", checker(kW, kH)},
      {"checker, odd size", checker(kW + 1, kH + 1)},
      {"dot in a corner", dot(kW, kH, 0, 0)},
      {"dot in the far corner", dot(kW, kH, kW - 1, kH - 1)},
      {"dot on the top edge", dot(kW, kH, 100, 0)},
      {"dot on the right edge", dot(kW, kH, kW - 1, 90)},
      {"dot beside the corner", dot(kW, kH, 1, 1)},
      {"1 x 9", noise(1, 9, 0, 256)},
      {"9 x 1", noise(9, 1, 0, 256)},
      {"17 x 3", noise(17, 3, 0, 256)},
      {"18 x 5", noise(18, 5, 0, 256)},
      {"33 x 2", noise(33, 2, 0, 256)},
      {"checker 9000 x 2", checker(9000, 2)},
  };
  // Pictures from 1 x 1 to 7 x 5, whose borders make the mean of the Laplacian far from 0: enough
  // of them that rounding its arithmetic differently shows in a few.
  for (int i = 0; i < 3000; ++i) {
    cases.push_back({"small noise " + std::to_string(i), noise(1 + i % 7, 1 + i / 7 % 5, 0, 256)});
  }
  for (int i = 0; i < 24; ++i) cases.push_back({"noise " + std::to_string(i), noise(kW, kH, i * 5, 256 - i * 5)});
  std::vector<std::string> differing;
  for (const Case& c : cases) {
    cv::Mat laplacian;
    cv::Laplacian(c.grey, laplacian, CV_64F, 1, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Scalar mean;
    cv::Scalar stddev;
    cv::meanStdDev(laplacian, mean, stddev);
    if (laplacian_variance(c.grey.data, c.grey.cols, c.grey.rows) != stddev[0] * stddev[0]) {
      differing.push_back(c.name);
    }
  }
  differing.resize(std::min<std::size_t>(differing.size(), 10));  // enough to look at
  EXPECT_THAT(differing, testing::IsEmpty());
  // And it is what observe reports for a frame of the analysis size.
  const cv::Mat grey = cases.back().grey;
  VideoFrame frame = grey_frame(kW, kH, 0);
  for (std::size_t i = 0; i < grey.total(); ++i) std::fill_n(&frame.pixels[i * 3], 3, grey.data[i]);
  SceneDetector d(config());
  EXPECT_EQ(d.observe(frame, T).blur_score, laplacian_variance(grey.data, kW, kH));
}

// What SceneReduction made while the picture was produced is what the detector starts from; a
// summary of another kind or size is no reduction, and the detector reduces the pixels itself.
TEST(SceneDetectorFrames, StartsFromTheReductionThatTravelsWithTheFrame) {
  const VideoFrame dark = grey_frame(1920, 1080, 10);
  SceneReduction reduction;
  const int unit = reduction.begin(1920, 1080);
  ASSERT_EQ(unit, 6);
  reduction.band(grey_frame(1920, 1080, 200).pixels.data(), 1920 * 3, 0, 1080);
  struct Case {
    std::shared_ptr<const FrameSummary> summary;
    std::uint8_t grey;
  };
  auto wrong_size = std::make_shared<ReducedPicture>();
  wrong_size->bgr.assign(7, 200);
  const Case cases[] = {{reduction.finish(), 200},
                        {wrong_size, 10},
                        {std::make_shared<FrameSummary>(), 10},
                        {nullptr, 10}};
  for (const Case& c : cases) {
    VideoFrame f = dark;
    f.summary = c.summary;
    const std::vector<std::uint8_t> grey = grey_analysis_picture(f, kW, kH);
    EXPECT_EQ(std::count(grey.begin(), grey.end(), c.grey), kW * kH) << int{c.grey};
  }
  EXPECT_EQ(reduction.begin(1000, 700), 0) << "not a whole multiple of the analysis size";
}

TEST(SceneDetectorObserve, FirstFrameOnlyBecomesTheBaseline) {
  SceneDetector d(config());
  EXPECT_FALSE(d.baseline_ready());
  const SceneObservation first = d.observe(with_block(), T);
  EXPECT_FALSE(first.active);
  EXPECT_FALSE(first.started);
  EXPECT_FALSE(first.region.has_value());
  EXPECT_EQ(first.change_ratio, 0.0);
  EXPECT_EQ(first.brightness_delta, 0.0);
  EXPECT_GT(first.blur_score, 0.0);
  EXPECT_TRUE(d.baseline_ready());
  // Compared with itself nothing has changed.
  const SceneObservation same = d.observe(with_block(), T + 100);
  EXPECT_EQ(same.change_ratio, 0.0);
  EXPECT_FALSE(same.active);

  d.reset();
  EXPECT_FALSE(d.baseline_ready());
  EXPECT_FALSE(d.observe(background(), T + 200).active);  // a baseline again, not a change
  EXPECT_TRUE(d.baseline_ready());
}

TEST(SceneDetectorObserve, MeasuresKnownPictures) {
  struct Case {
    const char* name;
    VideoFrame frame;
    double ratio;
    double delta;
    double blur;  // negative: not checked
    bool active;
  };
  VideoFrame scaled_block = checkerboard(1280, 720, 4, 90, 150);
  fill_rect(scaled_block, 400, 200, 160, 80, 255);
  // Two 20 x 20 blocks a column apart: opened to 396 pixels each, then the closing bridges the
  // gap on rows 52..67 (the opened corners leave its ends open).
  VideoFrame gap = background();
  fill_rect(gap, 100, 50, 20, 20, 255);
  fill_rect(gap, 121, 50, 20, 20, 255);
  // Pixel checkerboard 60/180 at twice the size: area averaging gives a uniform 120.
  const VideoFrame fine = checkerboard(2 * kW, 2 * kH, 1, 60, 180);
  VideoFrame blue = grey_frame(kW, kH, 0);  // pure blue BGR (255, 0, 0) is grey 29
  for (std::size_t i = 0; i < blue.pixels.size(); i += 3) blue.pixels[i] = 255;

  const std::vector<Case> cases{
      {"unchanged texture", background(), 0.0, 0.0, 16.0 * 60 * 60, false},
      // Mean 120 + 800 * (255 - 120) / 57600.
      {"bright block", with_block(), kBlockRatio, 1.875, -1, true},
      // The same picture at 4x the size: area averaging brings it down unchanged.
      {"bright block at 720p", scaled_block, kBlockRatio, 1.875, -1, true},
      // Every pixel 50 brighter: all changed, but a lighting change vetoes it.
      {"global brightness", checkerboard(kW, kH, 1, 140, 200), 1.0, 50.0, 57600.0, false},
      // Uniform 120 differs by 30 everywhere at the same mean, but has no sharpness at all.
      {"uniform", grey_frame(kW, kH, 120), 1.0, 0.0, 0.0, false},
      // Only the pixels of value 90 differ (by 40), each alone: the opening removes every one.
      {"isolated pixels", grey_frame(kW, kH, 130), 0.0, 10.0, 0.0, false},
      {"colour", blue, 1.0, 91.0, 0.0, false},
      {"closing bridges a gap", gap, (2 * 396.0 + 16.0) / kArea, 1.875, -1, true},
      {"fine texture averages out", fine, 1.0, 0.0, 0.0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SceneDetector d = primed(config());
    const SceneObservation obs = d.observe(c.frame, T);
    EXPECT_DOUBLE_EQ(obs.change_ratio, c.ratio);
    EXPECT_DOUBLE_EQ(obs.brightness_delta, c.delta);
    if (c.blur >= 0) {
      EXPECT_NEAR(obs.blur_score, c.blur, 1e-6);
    }
    EXPECT_EQ(obs.active, c.active);
    EXPECT_EQ(obs.started, c.active);
  }
}

TEST(SceneDetectorObserve, RegionIsTheEnlargedBoxOfTheSignificantBlobs) {
  struct Case {
    const char* name;
    std::vector<std::array<int, 4>> blocks;
    double x, y, w, h;
  };
  // Box (100, 50, 40, 20) of 320 x 180 is (0.3125, 0.2777.., 0.125, 0.1111..), grown by 0.2 per side.
  const std::vector<Case> cases{
      {"one block", {{100, 50, 40, 20}}, 0.3125 - 0.025, 50.0 / 180 - 0.2 * 20 / 180, 0.175, 1.4 * 20 / 180},
      // Two blocks merge into one box (40, 30)-(230, 130).
      {"two blocks",
       {{40, 30, 40, 20}, {200, 100, 30, 30}},
       0.125 - 0.2 * 190 / 320,
       30.0 / 180 - 0.2 * 100 / 180,
       1.4 * 190 / 320,
       1.4 * 100 / 180},
      // At the top-left corner the growth is clipped to the frame.
      {"at the corner", {{0, 0, 40, 20}}, 0.0, 0.0, 1.2 * 40 / 320, 1.2 * 20 / 180},
      // A 4 x 4 spot opens to 12 pixels with a contour area of 7: too small for the region.
      {"block and a speck",
       {{100, 50, 40, 20}, {10, 150, 4, 4}},
       0.3125 - 0.025,
       50.0 / 180 - 0.2 * 20 / 180,
       0.175,
       1.4 * 20 / 180},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VideoFrame f = background();
    for (const auto& b : c.blocks) fill_rect(f, b[0], b[1], b[2], b[3], 255);
    SceneDetector d = primed(config());
    const SceneObservation obs = d.observe(f, T);
    expect_rect(obs.region, c.x, c.y, c.w, c.h);
  }

  // The speck's pixels still count towards the ratio.
  VideoFrame f = with_block();
  fill_rect(f, 10, 150, 4, 4, 255);
  SceneDetector d = primed(config());
  EXPECT_DOUBLE_EQ(d.observe(f, T).change_ratio, (796.0 + 12.0) / kArea);

  // A specks-only frame has changed pixels but no region.
  VideoFrame specks = background();
  fill_rect(specks, 10, 150, 4, 4, 255);
  SceneDetector d2 = primed(config());
  const SceneObservation obs = d2.observe(specks, T);
  EXPECT_DOUBLE_EQ(obs.change_ratio, 12.0 / kArea);
  EXPECT_FALSE(obs.region.has_value());

  // A change of the whole picture gives the whole frame.
  SceneDetector d3 = primed(config());
  expect_rect(d3.observe(grey_frame(kW, kH, 120), T).region, 0.0, 0.0, 1.0, 1.0);
}

TEST(SceneDetectorObserve, RoisAndIgnoreZonesMaskTheChange) {
  const Polygon left_half{{0, 0}, {0.5, 0}, {0.5, 1}, {0, 1}};
  const Polygon around_block{{0.3, 0.25}, {0.45, 0.25}, {0.45, 0.4}, {0.3, 0.4}};  // (96, 45)-(144, 72)
  struct Case {
    const char* name;
    std::vector<Polygon> rois;
    std::vector<Polygon> ignore;
    int block_x;
    double ratio;
    bool region;
  };
  const std::vector<Case> cases{
      {"change inside the roi", {left_half}, {}, 100, kBlockRatio, true},
      {"change outside the roi", {left_half}, {}, 200, 0.0, false},
      {"ignore zone inside the roi", {left_half}, {around_block}, 100, 0.0, false},
      {"ignore zone alone", {}, {around_block}, 100, 0.0, false},
      {"ignore zone elsewhere", {}, {{{0.9, 0.9}, {1, 0.9}, {1, 1}}}, 100, kBlockRatio, true},
      {"an empty polygon draws nothing", {left_half, {}}, {{}}, 100, kBlockRatio, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SceneConfig cfg = config();
    cfg.rois = c.rois;
    cfg.ignore_zones = c.ignore;
    SceneDetector d = primed(cfg);
    VideoFrame f = background();
    fill_rect(f, c.block_x, 50, 40, 20, 255);
    const SceneObservation obs = d.observe(f, T);
    EXPECT_DOUBLE_EQ(obs.change_ratio, c.ratio);
    EXPECT_EQ(obs.region.has_value(), c.region);
    EXPECT_EQ(obs.active, c.region);
  }

  // A block on columns 158..161 opens to 4 x 20 minus 4 corners = 76 pixels. A roi edge at x = 0.5
  // is column 160 and is inside, cutting column 161 (18 pixels); an edge at 160.6 rounds to 161.
  for (const auto& [edge, ratio] :
       std::vector<std::pair<double, double>>{{0.5, 58.0 / kArea}, {160.6 / kW, 76.0 / kArea}}) {
    SCOPED_TRACE(edge);
    SceneConfig cfg = config();
    cfg.rois = {{{0, 0}, {edge, 0}, {edge, 1}, {0, 1}}};
    SceneDetector d = primed(cfg);
    VideoFrame f = background();
    fill_rect(f, 158, 50, 4, 20, 255);
    EXPECT_DOUBLE_EQ(d.observe(f, T).change_ratio, ratio);
  }
}

TEST(SceneDetectorObserve, ThresholdsAreInclusive) {
  const double block_blur = primed(config()).observe(with_block(), T).blur_score;
  struct Case {
    const char* name;
    double change, brightness, blur;
    bool qualifies;
  };
  const std::vector<Case> cases{
      {"ratio equal", kBlockRatio, 45, 12, true},   {"ratio above", std::nextafter(kBlockRatio, 1.0), 45, 12, false},
      {"brightness equal", 0.001, 1.875, 12, true}, {"brightness below", 0.001, std::nextafter(1.875, 0.0), 12, false},
      {"blur equal", 0.001, 45, block_blur, true},  {"blur above", 0.001, 45, std::nextafter(block_blur, 1e9), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SceneConfig cfg = config();
    cfg.change_threshold = c.change;
    cfg.brightness_delta_threshold = c.brightness;
    cfg.blur_threshold = c.blur;
    SceneDetector d = primed(cfg);
    const SceneObservation obs = d.observe(with_block(), T);
    EXPECT_EQ(obs.started, c.qualifies);
  }
}

// One step of a timeline: a frame (or a tick when `frame` is null) at T + at.
struct Step {
  std::int64_t at;
  char kind;  // 'c' changed frame, 'v' vetoed frame (lighting change), 'q' quiet frame, 't' tick
  bool active;
  bool started;
};

void run_timeline(SceneDetector& d, const std::vector<Step>& steps) {
  const VideoFrame changed = with_block();
  const VideoFrame vetoed = checkerboard(kW, kH, 1, 140, 200);
  const VideoFrame quiet = background();
  for (const Step& s : steps) {
    SCOPED_TRACE("at T" + std::string(s.at < 0 ? "" : "+") + std::to_string(s.at) + " " + s.kind);
    if (s.kind == 't') {
      d.tick(T + s.at);
      // A tick reports nothing; a quiet frame right after shows the state it left.
      const SceneObservation obs = d.observe(quiet, T + s.at);
      EXPECT_EQ(obs.active, s.active);
      EXPECT_FALSE(obs.started);
      continue;
    }
    const VideoFrame& f = s.kind == 'c' ? changed : s.kind == 'v' ? vetoed : quiet;
    const SceneObservation obs = d.observe(f, T + s.at);
    EXPECT_EQ(obs.active, s.active);
    EXPECT_EQ(obs.started, s.started);
  }
}

TEST(SceneDetectorTimeline, TriggerNeedsAnUnbrokenRun) {
  SceneDetector zero = primed(config(0, 30000, 4000));
  run_timeline(zero, {{0, 'c', true, true}});

  SceneDetector d = primed(config(1500, 30000, 4000));
  run_timeline(d, {{0, 'c', false, false},
                   {500, 'c', false, false},
                   {1000, 'c', false, false},
                   {1500, 'c', true, true},
                   {2000, 'c', true, false}});

  SceneDetector broken = primed(config(1500, 30000, 4000));
  run_timeline(broken, {{0, 'c', false, false},
                        {500, 'c', false, false},
                        {1000, 'v', false, false},
                        {1500, 'c', false, false},
                        {2500, 'c', false, false},
                        {3000, 'c', true, true}});
}

TEST(SceneDetectorTimeline, HoldKeepsTheSceneActiveAfterTheLastQualifyingFrame) {
  // A vetoed or quiet frame, or a tick, up to the end of the hold keeps it; one past ends it.
  SceneDetector d = primed(config(0, 30000, 4000));
  run_timeline(d, {{0, 'c', true, true},
                   {2000, 'v', true, false},
                   {3000, 'c', true, false},  // cooling down: extends the hold to T+7000
                   {7000, 't', true, false},
                   {7001, 't', false, false}});

  SceneDetector vetoed_end = primed(config(0, 30000, 4000));
  run_timeline(vetoed_end, {{0, 'c', true, true}, {4000, 'v', true, false}, {4001, 'v', false, false}});

  // While cooling down, a qualifying frame after the hold ran out makes the scene active again
  // (for the detector) without a new start; its hold runs as usual.
  SceneDetector late = primed(config(0, 30000, 1000));
  run_timeline(late, {{0, 'c', true, true},
                      {1001, 'c', true, false},
                      {1500, 'c', true, false},
                      {2500, 't', true, false},
                      {2501, 't', false, false},
                      {3000, 'c', true, false}});
}

TEST(SceneDetectorTimeline, CooldownSeparatesStarts) {
  SceneDetector d = primed(config(0, 10000, 1000));
  run_timeline(d, {{0, 'c', true, true},
                   {1001, 't', false, false},
                   {2000, 'c', true, false},  // active again, but not a new start
                   {9999, 'c', true, false},
                   {10000, 'c', true, true}});  // the cooldown is over: a change that was never reported starts

  // A trigger while the scene is still active restarts hold and cooldown without a new start.
  SceneDetector again = primed(config(0, 1000, 5000));
  run_timeline(again, {{0, 'c', true, true},
                       {1000, 'c', true, false},  // triggers again: hold to T+6000, cooldown to T+2000
                       {6000, 't', true, false},
                       {6001, 't', false, false},
                       {6500, 'c', true, true}});
}

TEST(SceneDetectorBaseline, RefreshReplacesTheBaselineOnly) {
  SceneDetector d = primed(config(0, 30000, 4000));
  EXPECT_TRUE(d.observe(with_block(), T).started);
  d.refresh_baseline(with_block());
  // The block is now part of the empty scene; the running scene is untouched.
  const SceneObservation obs = d.observe(with_block(), T + 100);
  EXPECT_EQ(obs.change_ratio, 0.0);
  EXPECT_TRUE(obs.active);
  EXPECT_EQ(d.observe(background(), T + 200).change_ratio, kBlockRatio);

  // Refreshing an empty detector stores a baseline, so the next frame is compared at once.
  SceneDetector fresh(config());
  fresh.refresh_baseline(background());
  EXPECT_TRUE(fresh.baseline_ready());
  EXPECT_TRUE(fresh.observe(with_block(), T).started);

  // Reset clears the timers too: the cooldown no longer blocks.
  d.reset();
  d.observe(background(), T + 300);
  EXPECT_TRUE(d.observe(with_block(), T + 400).started);
}

std::filesystem::path pedestrian_video() {
  std::vector<std::filesystem::path> candidates;
  if (const char* cache = std::getenv("VELMO_CACHE"); cache != nullptr && *cache != '\0') {
    candidates.push_back(std::filesystem::path(cache) / "media" / "vtest.mp4");
  }
  candidates.push_back(std::filesystem::path(VELMO_CACHE_DIR) / "media" / "vtest.mp4");
  candidates.push_back("/usr/share/doc/opencv-doc/examples/data/vtest.avi");
  for (const auto& p : candidates) {
    if (std::filesystem::is_regular_file(p)) return p;
  }
  return {};
}

TEST(SceneDetectorVideo, PeopleWalkingProduceSceneChangesWithRegions) {
  const std::filesystem::path video = pedestrian_video();
  ASSERT_FALSE(video.empty()) << "pedestrian sample missing: run scripts/install-deps.sh";
  constexpr int kWidth = 768;
  constexpr int kHeight = 576;
  constexpr int kFrames = 120;  // 12 s at 10 frames per second
  test::TempDir dir;
  const auto raw = dir / "frames.bgr";
  const test::ProcessResult decoded =
      test::run_process({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", video.string(), "-frames:v",
                         std::to_string(kFrames), "-f", "rawvideo", "-pix_fmt", "bgr24", "-y", raw.string()});
  ASSERT_EQ(decoded.exit_code, 0) << decoded.err;
  const std::string bytes = test::read_file(raw);
  const std::size_t frame_bytes = static_cast<std::size_t>(kWidth) * kHeight * 3;
  ASSERT_EQ(bytes.size(), frame_bytes * kFrames);

  SceneDetector d(SceneConfig{});  // the task defaults
  int started = 0;
  int active = 0;
  int with_region = 0;
  for (int i = 0; i < kFrames; ++i) {
    VideoFrame f;
    f.sequence = static_cast<std::uint64_t>(i) + 1;
    f.width = kWidth;
    f.height = kHeight;
    f.pixels.assign(bytes.begin() + static_cast<std::ptrdiff_t>(frame_bytes * i),
                    bytes.begin() + static_cast<std::ptrdiff_t>(frame_bytes * (i + 1)));
    const std::int64_t now = T + 100 * i;
    d.tick(now);
    const SceneObservation obs = d.observe(f, now);
    if (i == 0) {
      EXPECT_FALSE(obs.active);
      continue;
    }
    EXPECT_LT(obs.brightness_delta, 45.0) << "frame " << i;
    EXPECT_GT(obs.blur_score, 12.0) << "frame " << i;
    started += obs.started ? 1 : 0;
    active += obs.active ? 1 : 0;
    if (obs.region) {
      ++with_region;
      EXPECT_TRUE(obs.region->valid());
      EXPECT_GE(obs.region->x, 0.0);
      EXPECT_GE(obs.region->y, 0.0);
      EXPECT_LE(obs.region->x + obs.region->w, 1.0 + 1e-12);
      EXPECT_LE(obs.region->y + obs.region->h, 1.0 + 1e-12);
      EXPECT_LT(obs.region->w * obs.region->h, 0.8) << "frame " << i;  // people, not the whole picture
    }
    if (obs.active) {
      EXPECT_TRUE(obs.region.has_value()) << "frame " << i;
    }
  }
  // The default cooldown (30 s) allows exactly one start in 12 s; it must come after the trigger
  // time and the scene stays active while people keep walking.
  EXPECT_EQ(started, 1);
  EXPECT_GT(active, kFrames / 2);
  EXPECT_GT(with_region, kFrames / 2);
}

}  // namespace
}  // namespace velmo::ai
