// The generated HOG people detector against OpenCV's own HOGDescriptor, on frames of the
// pedestrian clip: the window margins of every picture level, the detections at each level, and
// what the packaged detector finds through the engine compared with detectMultiScale.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <string>
#include <vector>

#include "foundation/geometry.h"
#include "foundation/json.h"
#include "inference/onnx_engine.h"
#include "tests/support/rtsp_server.h"
#include "tests/support/test_models.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

constexpr int kWidth = 768;
constexpr int kHeight = 576;
constexpr double kMarginThreshold = 0.5;

// Every `every`-th frame of the pedestrian clip, `count` of them, as 8-bit BGR pictures.
std::vector<cv::Mat> clip_frames(int every, int count) {
  const std::string select = "select=not(mod(n\\," + std::to_string(every) + "))";
  test::ProcessOptions options;
  options.timeout = std::chrono::milliseconds(120000);
  const test::ProcessResult decoded =
      test::run_process({"ffmpeg", "-nostdin", "-loglevel", "error", "-i",
                         test::RtspTestServer::cached_media_file().string(), "-vf", select, "-vsync", "0", "-frames:v",
                         std::to_string(count), "-f", "rawvideo", "-pix_fmt", "bgr24", "-"},
                        options);
  if (decoded.exit_code != 0) throw std::runtime_error("ffmpeg failed: " + decoded.err);
  const size_t frame_bytes = static_cast<size_t>(kWidth) * kHeight * 3;
  std::vector<cv::Mat> frames;
  for (size_t at = 0; at + frame_bytes <= decoded.out.size(); at += frame_bytes) {
    frames.push_back(cv::Mat(kHeight, kWidth, CV_8UC3, const_cast<char*>(decoded.out.data() + at)).clone());
  }
  return frames;
}

cv::HOGDescriptor people_detector() {
  cv::HOGDescriptor hog;  // 64x128 window, 16x16 blocks at stride 8, 8x8 cells, 9 bins
  hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
  return hog;
}

// A score map of one picture level: margins[y * nx + x] for the window at (8x, 8y).
struct Margins {
  int nx = 0;
  int ny = 0;
  std::vector<float> values;
  float at(int x, int y) const { return values[static_cast<size_t>(y) * nx + x]; }
};

// The windows that are local maxima of their 3x3 neighbourhood with a margin of at least the
// threshold, as the graph selects them.
std::vector<cv::Point> peaks(const Margins& m) {
  std::vector<cv::Point> found;
  for (int y = 0; y < m.ny; ++y) {
    for (int x = 0; x < m.nx; ++x) {
      const float v = m.at(x, y);
      if (v < kMarginThreshold) continue;
      bool top = true;
      for (int dy = -1; dy <= 1 && top; ++dy) {
        for (int dx = -1; dx <= 1 && top; ++dx) {
          const int yy = y + dy, xx = x + dx;
          if (yy >= 0 && yy < m.ny && xx >= 0 && xx < m.nx && m.at(xx, yy) > v) top = false;
        }
      }
      if (top) found.push_back({x, y});
    }
  }
  return found;
}

double window_iou(cv::Point a, cv::Point b) {
  const Rect ra{a.x * 8.0, a.y * 8.0, 64.0, 128.0};
  const Rect rb{b.x * 8.0, b.y * 8.0, 64.0, 128.0};
  return iou(ra, rb);
}

// Share of `wanted` that has a window of `offered` at IoU 0.5 or more.
double share_found(const std::vector<cv::Point>& wanted, const std::vector<cv::Point>& offered, int& total,
                   int& matched) {
  for (const cv::Point& w : wanted) {
    ++total;
    for (const cv::Point& o : offered) {
      if (window_iou(w, o) >= 0.5) {
        ++matched;
        break;
      }
    }
  }
  return total == 0 ? 1.0 : static_cast<double>(matched) / total;
}

// Runs the margins variant of the generated model and returns the margins of every level.
class MarginsModel {
 public:
  MarginsModel()
      : env_(ORT_LOGGING_LEVEL_WARNING, "hog-test"),
        session_(env_, test::generated_model("hog_people_margins").c_str(), options()) {
    Ort::AllocatorWithDefaultOptions allocator;
    for (size_t i = 0; i < session_.GetOutputCount(); ++i) {
      names_.push_back(session_.GetOutputNameAllocated(i, allocator).get());
    }
  }

  std::vector<Margins> run(const cv::Mat& frame) {
    std::vector<float> input(static_cast<size_t>(3) * kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const cv::Vec3b& p = frame.at<cv::Vec3b>(y, x);
        for (int c = 0; c < 3; ++c) input[(static_cast<size_t>(c) * kHeight + y) * kWidth + x] = p[c];
      }
    }
    const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const int64_t shape[4] = {1, 3, kHeight, kWidth};
    Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, input.data(), input.size(), shape, 4);
    std::vector<const char*> wanted;
    for (const std::string& name : names_) {
      if (name.rfind("margins_", 0) == 0) wanted.push_back(name.c_str());
    }
    const char* input_name = "input";
    std::vector<Ort::Value> outputs =
        session_.Run(Ort::RunOptions{nullptr}, &input_name, &tensor, 1, wanted.data(), wanted.size());
    std::vector<Margins> levels;
    for (Ort::Value& out : outputs) {
      const std::vector<int64_t> dims = out.GetTensorTypeAndShapeInfo().GetShape();
      Margins m;
      m.ny = static_cast<int>(dims[2]);
      m.nx = static_cast<int>(dims[3]);
      const float* data = out.GetTensorData<float>();
      m.values.assign(data, data + static_cast<size_t>(m.nx) * m.ny);
      levels.push_back(std::move(m));
    }
    return levels;
  }

 private:
  static Ort::SessionOptions options() {
    Ort::SessionOptions o;
    o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    // One thread: under ThreadSanitizer, ONNX Runtime's pool hands large buffers between threads
    // in ways it cannot see, and reporting each such access (suppressed) takes minutes a run.
    o.SetIntraOpNumThreads(1);
    return o;
  }

  Ort::Env env_;
  Ort::Session session_;
  std::vector<std::string> names_;
};

// The picture sizes of the graph's levels, as the generator lists them.
std::vector<cv::Size> level_sizes() {
  const Json index = parse_json(test::read_file(test::generated_models_dir() / "models.json"));
  std::vector<cv::Size> sizes;
  for (const Json& level : index.at("hog_people_margins").at("levels")) {
    sizes.emplace_back(level.at(0).get<int>(), level.at(1).get<int>());
  }
  return sizes;
}

// OpenCV's margin of every window of one level: the picture resized as detectMultiScale resizes
// it, then every window at stride 8 scored without a threshold.
Margins opencv_margins(const cv::HOGDescriptor& hog, const cv::Mat& frame, cv::Size size) {
  cv::Mat level = frame;
  if (size != frame.size()) cv::resize(frame, level, size, 0, 0, cv::INTER_LINEAR_EXACT);
  std::vector<cv::Point> windows;
  std::vector<double> weights;
  hog.detect(level, windows, weights, -1e9, cv::Size(8, 8), cv::Size(0, 0));
  Margins m;
  m.nx = (size.width - 64) / 8 + 1;
  m.ny = (size.height - 128) / 8 + 1;
  m.values.assign(static_cast<size_t>(m.nx) * m.ny, 0.0F);
  for (size_t i = 0; i < windows.size(); ++i) {
    m.values[static_cast<size_t>(windows[i].y / 8) * m.nx + windows[i].x / 8] = static_cast<float>(weights[i]);
  }
  return m;
}

TEST(HogPeopleDetector, GraphReproducesOpenCvMarginsAndDetectionsAtEveryLevel) {
  ASSERT_TRUE(test::RtspTestServer::media_available()) << "run scripts/install-deps.sh";
  const std::vector<cv::Mat> frames = clip_frames(300, 2);  // people near and far
  ASSERT_EQ(frames.size(), 2U);
  const std::vector<cv::Size> sizes = level_sizes();
  const cv::HOGDescriptor hog = people_detector();
  MarginsModel model;

  double sum_a = 0, sum_b = 0, sum_aa = 0, sum_bb = 0, sum_ab = 0, worst = 0;
  size_t windows = 0;
  int opencv_total = 0, opencv_matched = 0, graph_total = 0, graph_matched = 0;
  for (const cv::Mat& frame : frames) {
    const std::vector<Margins> graph = model.run(frame);
    ASSERT_EQ(graph.size(), sizes.size());
    for (size_t level = 0; level < sizes.size(); ++level) {
      const Margins reference = opencv_margins(hog, frame, sizes[level]);
      ASSERT_EQ(graph[level].nx, reference.nx) << "level " << level;
      ASSERT_EQ(graph[level].ny, reference.ny) << "level " << level;
      for (size_t i = 0; i < reference.values.size(); ++i) {
        const double a = reference.values[i], b = graph[level].values[i];
        sum_a += a, sum_b += b, sum_aa += a * a, sum_bb += b * b, sum_ab += a * b;
        worst = std::max(worst, std::abs(a - b));
        ++windows;
      }
      const std::vector<cv::Point> ours = peaks(graph[level]);
      const std::vector<cv::Point> theirs = peaks(reference);
      share_found(theirs, ours, opencv_total, opencv_matched);
      share_found(ours, theirs, graph_total, graph_matched);
    }
  }
  const double n = static_cast<double>(windows);
  const double correlation = (sum_ab / n - sum_a / n * sum_b / n) /
                             std::sqrt((sum_aa / n - sum_a / n * sum_a / n) * (sum_bb / n - sum_b / n * sum_b / n));
  std::printf(
      "hog fidelity: %zu windows, correlation %.6f, largest difference %.4f; OpenCV detections found %d/%d, "
      "graph detections confirmed %d/%d\n",
      windows, correlation, worst, opencv_matched, opencv_total, graph_matched, graph_total);
  EXPECT_GT(correlation, 0.9995);
  ASSERT_GT(opencv_total, 20);  // the frames hold people at several levels
  EXPECT_GE(opencv_matched, 0.95 * opencv_total);
  EXPECT_GE(graph_matched, 0.95 * graph_total);
}

// The person inside a HOG window, as the graph reports it: a quarter of the width off each side,
// an eighth of the height off the top and bottom.
Rect person_box(const cv::Rect& window, double scale) {
  return Rect{(window.x + window.width / 4.0) * scale, (window.y + window.height / 8.0) * scale,
              window.width / 2.0 * scale, window.height * 0.75 * scale};
}

TEST(HogPeopleDetector, PackagedDetectorFindsThePeopleDetectMultiScaleFinds) {
  ASSERT_TRUE(test::RtspTestServer::media_available()) << "run scripts/install-deps.sh";
  const std::vector<cv::Mat> frames = clip_frames(16, 50);
  ASSERT_EQ(frames.size(), 50U);
  test::TempDir dir;
  const test::ModelPackage package = test::write_signed_package(dir / "model", "hog_people");
  OnnxEngine engine(package.manifest, package.public_key, true, ExecutionProvider::cpu, 1);  // one thread, as above

  // detectMultiScale only shrinks its picture: given the frame enlarged by the graph's largest
  // factor, with levels (a factor of 1.05 apart) down to its smallest, it covers the same sizes.
  const std::vector<cv::Size> sizes = level_sizes();
  const double top = static_cast<double>(sizes.front().width) / kWidth;
  const double bottom = static_cast<double>(sizes.back().width) / kWidth;
  cv::HOGDescriptor hog = people_detector();
  hog.nlevels = static_cast<int>(std::ceil(std::log(top / bottom) / std::log(1.05))) + 1;
  int wanted = 0, found = 0, reported = 0;
  for (const cv::Mat& frame : frames) {
    cv::Mat enlarged;
    cv::resize(frame, enlarged, cv::Size(), top, top, cv::INTER_LINEAR_EXACT);
    std::vector<cv::Rect> people;
    hog.detectMultiScale(enlarged, people, 0.0, cv::Size(8, 8), cv::Size(0, 0), 1.05, 2.0);

    VideoFrame video;
    video.sequence = 1;
    video.width = kWidth;
    video.height = kHeight;
    video.pixels.assign(frame.data, frame.data + frame.total() * 3);
    const InferenceResult result = engine.detect(video, std::nullopt);
    reported += static_cast<int>(result.detections.size());
    for (const cv::Rect& window : people) {
      Rect person = person_box(window, 1.0 / top);
      person = Rect{person.x / kWidth, person.y / kHeight, person.w / kWidth, person.h / kHeight};
      ++wanted;
      for (const Detection& d : result.detections) {
        if (iou(person, d.box) >= 0.5) {
          ++found;
          break;
        }
      }
    }
  }
  std::printf("hog quality: %d of %d people of detectMultiScale found in 50 frames; %d detections reported\n", found,
              wanted, reported);
  ASSERT_GT(wanted, 100);
  EXPECT_GE(found, 0.75 * wanted);
}

}  // namespace
}  // namespace velmo::ai
