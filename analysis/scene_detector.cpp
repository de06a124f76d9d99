#include "analysis/scene_detector.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "foundation/time.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmo::ai {

namespace {

constexpr double kDiffThreshold = 24.0;
constexpr double kMinContourArea = 20.0;
constexpr double kRegionMargin = 0.2;

bool frame_is_valid(const VideoFrame& frame) {
  if (frame.width < 1 || frame.height < 1) return false;
  const auto needed = static_cast<std::uint64_t>(frame.width) * static_cast<std::uint64_t>(frame.height) * 3u;
  return frame.pixels.size() >= needed;
}

#if defined(__x86_64__)
// The column sums in AVX2 where the CPU has it (the build targets baseline x86-64): 64 columns a
// step, widened to 16 bits by the loads themselves. Returns how many columns it summed.
__attribute__((target("avx2"))) int column_sums_avx2(const std::uint8_t* __restrict src, std::size_t stride, int rows,
                                                     int n, std::uint16_t* __restrict sums) {
#define VELMO_WIDEN(p) _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))
  int i = 0;
  for (; i + 64 <= n; i += 64) {
    __m256i a = VELMO_WIDEN(src + i);
    __m256i b = VELMO_WIDEN(src + i + 16);
    __m256i c = VELMO_WIDEN(src + i + 32);
    __m256i d = VELMO_WIDEN(src + i + 48);
    for (int r = 1; r < rows; ++r) {
      const std::uint8_t* row = src + static_cast<std::size_t>(r) * stride + i;
      a = _mm256_add_epi16(a, VELMO_WIDEN(row));
      b = _mm256_add_epi16(b, VELMO_WIDEN(row + 16));
      c = _mm256_add_epi16(c, VELMO_WIDEN(row + 32));
      d = _mm256_add_epi16(d, VELMO_WIDEN(row + 48));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i + 16), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i + 32), c);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i + 48), d);
  }
#undef VELMO_WIDEN
  return i;
}

bool has_avx2() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return has;
}
#endif

// Sums `rows` rows of `n` bytes, `stride` apart, column by column into `sums`. Each block of
// columns is summed down all rows in registers and stored once.
void column_sums(const std::uint8_t* __restrict src, std::size_t stride, int rows, int n,
                 std::uint16_t* __restrict sums) {
  int i = 0;
#if defined(__x86_64__)
  if (has_avx2()) i = column_sums_avx2(src, stride, rows, n, sums);
#endif
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  for (; i + 32 <= n; i += 32) {
    __m128i a = load(src + i);
    __m128i b = load(src + i + 16);
    __m128i a0 = _mm_unpacklo_epi8(a, zero);
    __m128i a1 = _mm_unpackhi_epi8(a, zero);
    __m128i b0 = _mm_unpacklo_epi8(b, zero);
    __m128i b1 = _mm_unpackhi_epi8(b, zero);
    for (int r = 1; r < rows; ++r) {
      const std::uint8_t* row = src + static_cast<std::size_t>(r) * stride + i;
      a = load(row);
      b = load(row + 16);
      a0 = _mm_add_epi16(a0, _mm_unpacklo_epi8(a, zero));
      a1 = _mm_add_epi16(a1, _mm_unpackhi_epi8(a, zero));
      b0 = _mm_add_epi16(b0, _mm_unpacklo_epi8(b, zero));
      b1 = _mm_add_epi16(b1, _mm_unpackhi_epi8(b, zero));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i), a0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i + 8), a1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i + 16), b0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i + 24), b1);
  }
#endif
  for (; i < n; ++i) {
    std::uint16_t sum = 0;
    for (int r = 0; r < rows; ++r)
      sum = static_cast<std::uint16_t>(sum + src[static_cast<std::size_t>(r) * stride + i]);
    sums[i] = sum;
  }
}

#if defined(__SSE2__)
// The horizontal stage for blocks FX pixels wide, two output pixels a step, from `sums` (column
// sums of packed BGR). Lane j of the sums loaded at 3m is value j of the pixels from m on, so the
// loads at 3k, k < FX, hold the first block's sums in lanes 0-2, and those at 3(FX - 1 + k) the
// second block's in lanes 3-5. The block sums are scaled in floats and rounded to nearest even as
// OpenCV's area interpolation does. Returns how many output pixels it wrote: it leaves the row's
// last one or two, so that neither its loads nor its 8-byte stores (6 bytes, and 2 that the next
// step overwrites) run past the row.
template <int FX>
int horizontal_pairs(const std::uint16_t* sums, int out_width, float scale, std::uint8_t* out) {
  constexpr int kShared = 3 * (FX - 1);
  auto load = [](const std::uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  const __m128i first = _mm_setr_epi16(-1, -1, -1, 0, 0, 0, 0, 0);
  const __m128i second = _mm_setr_epi16(0, 0, 0, -1, -1, -1, 0, 0);
  const __m128i zero = _mm_setzero_si128();
  const __m128 factor = _mm_set1_ps(scale);
  int x = 0;
  for (; x + 2 < out_width; x += 2, sums += std::ptrdiff_t{6} * FX, out += 6) {
    __m128i a = load(sums);
    __m128i b = load(sums + kShared + 3);
    for (int k = 1; k < FX - 1; ++k) {
      a = _mm_add_epi16(a, load(sums + std::ptrdiff_t{3} * k));
      b = _mm_add_epi16(b, load(sums + kShared + std::ptrdiff_t{3} * (k + 1)));
    }
    const __m128i s =
        _mm_add_epi16(load(sums + kShared), _mm_add_epi16(_mm_and_si128(a, first), _mm_and_si128(b, second)));
    const __m128i lo = _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(s, zero)), factor));
    const __m128i hi = _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(s, zero)), factor));
    const __m128i words = _mm_packs_epi32(lo, hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
  }
  return x;
}
#endif

struct LaplacianSums {
  std::int64_t sum = 0;
  std::int64_t squares = 0;
};

// Adds one row's Laplacian values and their squares; up and down are the rows above and below,
// already reflected at the picture's top and bottom.
void add_laplacian_row(const std::uint8_t* up, const std::uint8_t* mid, const std::uint8_t* down, int width,
                       LaplacianSums& sums) {
  // Reflect-101: the column beyond an edge is the one inside it; a single column is its own.
  const int last = width - 1;
  const int beyond_left = width > 1 ? 1 : 0;
  const int beyond_right = width > 1 ? width - 2 : 0;
  auto add = [&](int x) {
    const int left = x > 0 ? x - 1 : beyond_left;
    const int right = x < last ? x + 1 : beyond_right;
    const std::int64_t v = int{up[x]} + int{down[x]} + int{mid[left]} + int{mid[right]} - 4 * int{mid[x]};
    sums.sum += v;
    sums.squares += v * v;
  };
  add(0);
  int x = 1;
#if defined(__SSE2__)
  // Sixteen inner columns at a time in 16 bits (|v| <= 1020), summed and squared in 32-bit lanes:
  // a lane's squares grow by at most 4 * 1020^2 a step, so 256 steps stay below 2^31.
  const __m128i zero = _mm_setzero_si128();
  const __m128i ones = _mm_set1_epi16(1);
  auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  auto laplacian = [&](__m128i u, __m128i d, __m128i l, __m128i r, __m128i c) {
    const __m128i around = _mm_add_epi16(_mm_add_epi16(u, d), _mm_add_epi16(l, r));
    return _mm_sub_epi16(around, _mm_slli_epi16(c, 2));
  };
  while (x + 16 < width) {
    __m128i sum = zero;
    __m128i squares = zero;
    for (int steps = 0; steps < 256 && x + 16 < width; ++steps, x += 16) {
      const __m128i u = load(up + x);
      const __m128i d = load(down + x);
      const __m128i l = load(mid + x - 1);
      const __m128i r = load(mid + x + 1);
      const __m128i c = load(mid + x);
      const __m128i lo = laplacian(_mm_unpacklo_epi8(u, zero), _mm_unpacklo_epi8(d, zero), _mm_unpacklo_epi8(l, zero),
                                   _mm_unpacklo_epi8(r, zero), _mm_unpacklo_epi8(c, zero));
      const __m128i hi = laplacian(_mm_unpackhi_epi8(u, zero), _mm_unpackhi_epi8(d, zero), _mm_unpackhi_epi8(l, zero),
                                   _mm_unpackhi_epi8(r, zero), _mm_unpackhi_epi8(c, zero));
      sum = _mm_add_epi32(sum, _mm_add_epi32(_mm_madd_epi16(lo, ones), _mm_madd_epi16(hi, ones)));
      squares = _mm_add_epi32(squares, _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi)));
    }
    alignas(16) std::int32_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sum);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 4), squares);
    for (int i = 0; i < 4; ++i) {
      sums.sum += lanes[i];
      sums.squares += lanes[4 + i];
    }
  }
#endif
  for (; x < width; ++x) add(x);
}

constexpr std::size_t kReducedBytes = static_cast<std::size_t>(kAnalysisWidth) * kAnalysisHeight * 3u;

// The frame's BGR bytes brought down to the analysis size, then to grey. SceneReduction may have
// done the reduction already, with the same arithmetic, while the producer wrote the picture.
cv::Mat grey_picture(const VideoFrame& frame, int width, int height) {
  cv::Mat small;
  const auto* reduced = dynamic_cast<const ReducedPicture*>(frame.summary.get());
  const bool reduced_before = width == kAnalysisWidth && height == kAnalysisHeight && reduced != nullptr &&
                              reduced->bgr.size() == kReducedBytes;
  const std::optional<WholeFactors> factors =
      reduced_before ? std::nullopt : whole_reduction_factors(frame.width, frame.height, width, height);
  if (reduced_before) {
    small = cv::Mat(height, width, CV_8UC3, const_cast<std::uint8_t*>(reduced->bgr.data()));
  } else if (factors) {
    small.create(height, width, CV_8UC3);
    reduce_bgr_rows(frame.pixels.data(), static_cast<std::size_t>(frame.width) * 3u, frame.width, *factors, height,
                    small.data);
  } else {
    // Read-only view: OpenCV wants a non-const pointer, but nothing below writes through it.
    const cv::Mat bgr(frame.height, frame.width, CV_8UC3, const_cast<std::uint8_t*>(frame.pixels.data()),
                      static_cast<std::size_t>(frame.width) * 3u);
    cv::resize(bgr, small, cv::Size(width, height), 0.0, 0.0, cv::INTER_AREA);
  }
  cv::Mat grey;
  cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
  return grey;
}

int to_pixel(double normalized, int extent) {
  double v = normalized * extent;
  // Keeps a corrupt coordinate from overflowing the fill's fixed-point arithmetic; any sane
  // polygon (the task parser allows only 0..1) is far inside this range.
  constexpr double kLimit = 16384.0;
  if (std::isnan(v)) v = 0.0;
  v = std::clamp(v, -kLimit, kLimit);
  return static_cast<int>(std::lround(v));
}

cv::Mat build_mask(const std::vector<Polygon>& polygons, int width, int height) {
  cv::Mat mask(height, width, CV_8UC1, cv::Scalar(0));
  for (const auto& polygon : polygons) {
    if (polygon.empty()) continue;
    std::vector<cv::Point> pts;
    pts.reserve(polygon.size());
    for (const auto& p : polygon) pts.emplace_back(to_pixel(p.x, width), to_pixel(p.y, height));
    const std::vector<std::vector<cv::Point>> one{std::move(pts)};
    cv::fillPoly(mask, one, cv::Scalar(255), cv::LINE_8, 0, cv::Point());
  }
  return mask;
}

}  // namespace

std::optional<WholeFactors> whole_reduction_factors(int width, int height, int to_width, int to_height) {
  if (width < 1 || height < 1 || to_width < 1 || to_height < 1) return std::nullopt;
  if (width % to_width != 0 || height % to_height != 0) return std::nullopt;
  const WholeFactors f{width / to_width, height / to_height};
  // A block's sum must fit 16 bits (257 * 255 = 65535); a factor of 2 OpenCV rounds differently.
  if (f.x < 3 || f.y < 3 || f.x * f.y > 257) return std::nullopt;
  return f;
}

void reduce_bgr_rows(const std::uint8_t* src, std::size_t src_stride, int width, WholeFactors f, int out_rows,
                     std::uint8_t* out) {
  constexpr int cn = 3;
  const int values = width * cn;
  const int out_width = width / f.x;
  const int area = f.x * f.y;
  // The decoder calls this once per band of a dozen rows: what it needs is kept per thread.
  thread_local std::vector<std::uint16_t> down;  // column sums of f.y rows
  // OpenCV's rounding of every possible block sum (a float product, rounded to nearest even),
  // looked up rather than worked out per pixel.
  thread_local std::vector<std::uint8_t> rounded;
  thread_local int rounded_area = 0;
  const float scale = 1.f / static_cast<float>(area);
  if (rounded_area != area) {
    rounded.resize(static_cast<std::size_t>(area) * 255u + 1u);
    for (std::size_t sum = 0; sum < rounded.size(); ++sum) {
      rounded[sum] = cv::saturate_cast<std::uint8_t>(static_cast<float>(sum) * scale);
    }
    rounded_area = area;
  }
  down.resize(static_cast<std::size_t>(values));
  const int step = f.x * cn;
  for (int y = 0; y < out_rows; ++y) {
    column_sums(src + static_cast<std::size_t>(y) * static_cast<std::size_t>(f.y) * src_stride, src_stride, f.y, values,
                down.data());
    std::uint8_t* row = out + static_cast<std::size_t>(y) * static_cast<std::size_t>(out_width) * cn;
    int x = 0;
#if defined(__SSE2__)
    // The factors of the usual stream sizes (1280, 1920 and 3840 pixels wide).
    switch (f.x) {
      case 4: x = horizontal_pairs<4>(down.data(), out_width, scale, row); break;
      case 6: x = horizontal_pairs<6>(down.data(), out_width, scale, row); break;
      case 12: x = horizontal_pairs<12>(down.data(), out_width, scale, row); break;
      default: break;
    }
#endif
    row += static_cast<std::size_t>(x) * cn;
    const std::uint16_t* block = down.data() + static_cast<std::size_t>(x) * static_cast<std::size_t>(step);
    for (; x < out_width; ++x, block += step, row += cn) {
      unsigned b = block[0];
      unsigned g = block[1];
      unsigned r = block[2];
      for (int k = cn; k < step; k += cn) {
        b += block[k];
        g += block[k + 1];
        r += block[k + 2];
      }
      row[0] = rounded[b];
      row[1] = rounded[g];
      row[2] = rounded[r];
    }
  }
}

int SceneReduction::begin(int width, int height) {
  picture_.reset();
  const std::optional<WholeFactors> factors = whole_reduction_factors(width, height, kAnalysisWidth, kAnalysisHeight);
  if (!factors) return 0;
  width_ = width;
  factors_ = *factors;
  picture_ = std::make_shared<ReducedPicture>();
  picture_->bgr.resize(kReducedBytes);
  return factors_.y;
}

void SceneReduction::band(const std::uint8_t* first, std::size_t stride, int top, int rows) {
  reduce_bgr_rows(first, stride, width_, factors_, rows / factors_.y,
                  picture_->bgr.data() + static_cast<std::size_t>(top / factors_.y) * kAnalysisWidth * 3u);
}

std::shared_ptr<const FrameSummary> SceneReduction::finish() { return std::move(picture_); }

double laplacian_variance(const std::uint8_t* grey, int width, int height) {
  LaplacianSums sums;
  const auto row = [&](int y) { return grey + static_cast<std::size_t>(y) * static_cast<std::size_t>(width); };
  for (int y = 0; y < height; ++y) {
    const int above = y > 0 ? y - 1 : (height > 1 ? 1 : 0);
    const int below = y < height - 1 ? y + 1 : (height > 1 ? height - 2 : 0);
    add_laplacian_row(row(above), row(y), row(below), width, sums);
  }
  // OpenCV accumulates the same integers in doubles, exactly (they stay far below 2^53), and
  // ends with this arithmetic; the square root and its square are kept, as they round. The file
  // is built without contracting these products into fused multiply-adds (analysis/CMakeLists.txt).
  const double scale = 1.0 / static_cast<double>(static_cast<std::int64_t>(width) * height);
  const double mean = static_cast<double>(sums.sum) * scale;
  const double deviation = std::sqrt(std::max(static_cast<double>(sums.squares) * scale - mean * mean, 0.0));
  return deviation * deviation;
}

std::vector<std::uint8_t> grey_analysis_picture(const VideoFrame& frame, int width, int height) {
  if (!frame_is_valid(frame) || width < 1 || height < 1) {
    throw std::invalid_argument("scene detector received an invalid frame");
  }
  const cv::Mat grey = grey_picture(frame, width, height);
  return std::vector<std::uint8_t>(grey.datastart, grey.dataend);
}

SceneDetector::SceneDetector(SceneConfig config) : config_(std::move(config)) {
  const bool threshold_ok = config_.change_threshold > 0.0 && config_.change_threshold <= 1.0;
  if (!threshold_ok || config_.trigger_ms < 0 || config_.cooldown_ms < 0 || config_.hold_ms < 0) {
    throw std::invalid_argument("invalid scene detector configuration");
  }
}

void SceneDetector::tick(std::int64_t now) {
  if (active_ && active_until_ < now) active_ = false;
}

SceneObservation SceneDetector::observe(const VideoFrame& frame, std::int64_t now) {
  if (!frame_is_valid(frame)) throw std::invalid_argument("scene detector received an invalid frame");
  SceneObservation obs;
  const int aw = analysis_width_;
  const int ah = analysis_height_;
  const double area = static_cast<double>(aw) * static_cast<double>(ah);

  const cv::Mat grey = grey_picture(frame, aw, ah);

  obs.blur_score = laplacian_variance(grey.data, aw, ah);

  if (!baseline_ready()) {
    baseline_.assign(grey.datastart, grey.dataend);
    baseline_width_ = aw;
    baseline_height_ = ah;
    return obs;
  }

  const cv::Mat baseline(ah, aw, CV_8UC1, baseline_.data());
  obs.brightness_delta = std::abs(cv::mean(grey)[0] - cv::mean(baseline)[0]);

  cv::Mat diff;
  cv::absdiff(grey, baseline, diff);
  cv::threshold(diff, diff, kDiffThreshold, 255.0, cv::THRESH_BINARY);

  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3));
  cv::morphologyEx(diff, diff, cv::MORPH_OPEN, kernel);
  cv::morphologyEx(diff, diff, cv::MORPH_CLOSE, kernel);

  cv::Mat mask(ah, aw, CV_8UC1, cv::Scalar(255));
  if (!config_.rois.empty()) mask = build_mask(config_.rois, aw, ah);
  if (!config_.ignore_zones.empty()) {
    cv::Mat ignore = build_mask(config_.ignore_zones, aw, ah);
    cv::bitwise_not(ignore, ignore);
    cv::bitwise_and(mask, ignore, mask);
  }
  cv::bitwise_and(diff, mask, diff);

  obs.change_ratio = static_cast<double>(cv::countNonZero(diff)) / area;

  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(diff, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  std::optional<cv::Rect> box;
  for (const auto& contour : contours) {
    if (cv::contourArea(contour) < kMinContourArea) continue;
    const cv::Rect r = cv::boundingRect(contour);
    if (!box) {
      box = r;
    } else {
      const int left = std::min(box->x, r.x);
      const int top = std::min(box->y, r.y);
      const int right = std::max(box->x + box->width, r.x + r.width);
      const int bottom = std::max(box->y + box->height, r.y + r.height);
      box = cv::Rect(left, top, right - left, bottom - top);
    }
  }
  if (box) {
    const Rect normalized{box->x / static_cast<double>(aw), box->y / static_cast<double>(ah),
                          box->width / static_cast<double>(aw), box->height / static_cast<double>(ah)};
    obs.region = expand_rect(normalized, kRegionMargin, 1.0, 1.0);
  }

  const bool vetoed = obs.brightness_delta > config_.brightness_delta_threshold ||
                      config_.blur_threshold > obs.blur_score || !(obs.change_ratio >= config_.change_threshold);
  if (vetoed) {
    candidate_ = false;
    candidate_since_ = 0;
    if (!(active_ && active_until_ >= now)) active_ = false;
  } else {
    std::int64_t elapsed = 0;
    if (candidate_) {
      elapsed = saturating_sub_ms(now, candidate_since_);
    } else {
      candidate_since_ = now;
    }
    candidate_ = true;
    if (elapsed >= config_.trigger_ms && now >= cooldown_until_) {
      obs.started = !(active_ && announced_);
      announced_ = true;
      active_ = true;
      cooldown_until_ = saturating_add_ms(now, config_.cooldown_ms);
      active_until_ = saturating_add_ms(now, config_.hold_ms);
    } else if (elapsed >= config_.trigger_ms) {
      // The cooldown holds back only a new report: the scene is active again for the detector.
      if (!(active_ && active_until_ >= now)) announced_ = false;
      active_ = true;
      active_until_ = saturating_add_ms(now, config_.hold_ms);
    } else if (active_ && active_until_ >= now) {
      active_until_ = saturating_add_ms(now, config_.hold_ms);
    } else {
      active_ = false;
    }
  }
  obs.active = active_;
  return obs;
}

void SceneDetector::refresh_baseline(const VideoFrame& frame) {
  if (!frame_is_valid(frame)) throw std::invalid_argument("cannot use an invalid baseline frame");
  const cv::Mat grey = grey_picture(frame, analysis_width_, analysis_height_);
  baseline_.assign(grey.datastart, grey.dataend);
  baseline_width_ = analysis_width_;
  baseline_height_ = analysis_height_;
}

void SceneDetector::reset() {
  baseline_.clear();
  baseline_width_ = 0;
  baseline_height_ = 0;
  candidate_since_ = 0;
  active_until_ = 0;
  cooldown_until_ = 0;
  candidate_ = false;
  active_ = false;
  announced_ = false;
}

bool SceneDetector::baseline_ready() const {
  return !baseline_.empty() && baseline_width_ == analysis_width_ && baseline_height_ == analysis_height_;
}

}  // namespace velmo::ai
