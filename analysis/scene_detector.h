#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "analysis/decoder/band_observer.h"
#include "analysis/task.h"
#include "foundation/geometry.h"
#include "foundation/video_frame.h"

namespace velmo::ai {

// What one observed frame says about the scene.
struct SceneObservation {
  bool active = false;            // a scene change is in progress after this frame
  bool started = false;           // this frame triggered a change that was not yet reported
  std::optional<Rect> region;     // normalized, enlarged box of the significant changed blobs
  double change_ratio = 0.0;      // changed pixels inside the mask / (320 * 180)
  double brightness_delta = 0.0;  // |mean grey of the frame - mean grey of the baseline|
  double blur_score = 0.0;        // variance of the Laplacian of the grey frame
};

// The size of the grey picture the detector compares, whatever the stream's.
inline constexpr int kAnalysisWidth = 320;
inline constexpr int kAnalysisHeight = 180;

// Area reduction by whole factors: each output pixel is the mean of its f.x by f.y block, rounded
// as OpenCV's area interpolation rounds for such factors, so the result is the same to the bit at
// a third of its time.
struct WholeFactors {
  int x = 0;
  int y = 0;
};
// The factors from width x height down to to_width x to_height, when they are whole and this
// reduction applies (both at least 3, a block of at most 257 pixels); else none.
std::optional<WholeFactors> whole_reduction_factors(int width, int height, int to_width, int to_height);
// Reduces out_rows output rows (out_rows * f.y source rows) of packed BGR, width pixels wide, into
// `out` (packed BGR, width / f.x pixels a row, no padding).
void reduce_bgr_rows(const std::uint8_t* src, std::size_t src_stride, int width, WholeFactors f, int out_rows,
                     std::uint8_t* out);

// The variance of the 4-neighbour Laplacian (kernel 0 1 0 / 1 -4 1 / 0 1 0, border reflected
// about the edge pixels) of a grey picture, row-major, width x height (both at least 1): the
// detector's blur score. Equal to the bit to OpenCV's Laplacian to doubles followed by
// meanStdDev, squared, without the picture of doubles.
double laplacian_variance(const std::uint8_t* grey, int width, int height);

// A frame's BGR pixels averaged down to the analysis size, packed, as the detector would average
// them itself: what SceneReduction attaches to a frame.
struct ReducedPicture final : FrameSummary {
  std::vector<std::uint8_t> bgr;
};

// Plugged into a frame producer (the decoder), it reduces each picture that is a whole multiple of
// the analysis size (see whole_reduction_factors) a band at a time while the band is in cache; the
// detector then starts from that reduction instead of reading the whole picture from memory again.
// The results are the same to the bit. One per producing thread.
class SceneReduction final : public BandObserver {
 public:
  int begin(int width, int height) override;
  void band(const std::uint8_t* first, std::size_t stride, int top, int rows) override;
  std::shared_ptr<const FrameSummary> finish() override;

 private:
  int width_ = 0;
  WholeFactors factors_;
  std::shared_ptr<ReducedPicture> picture_;
};

// The grey picture the detector compares: the frame's BGR pixels averaged down to width x height
// (OpenCV's area interpolation) and turned grey, row-major. Throws std::invalid_argument for a
// frame without pixels for its size.
std::vector<std::uint8_t> grey_analysis_picture(const VideoFrame& frame, int width, int height);

// Watches one stream for change against a stored picture of the empty scene, on a fixed
// 320 x 180 grey image whatever the stream's resolution. Times are monotonic milliseconds. Not
// thread-safe: one per analysis thread.
class SceneDetector {
 public:
  // Throws std::invalid_argument when change_threshold is outside (0, 1] or a time is negative.
  explicit SceneDetector(SceneConfig config);

  // Ends an active scene whose hold has run out.
  void tick(std::int64_t now);

  // Throws std::invalid_argument for a frame without pixels for its size; nothing changes then.
  SceneObservation observe(const VideoFrame& frame, std::int64_t now);

  // Replaces the baseline picture with this frame; the timers are left alone.
  void refresh_baseline(const VideoFrame& frame);

  void reset();
  bool baseline_ready() const;

  bool active() const { return active_; }
  // When the hold of the current (or last) change runs out.
  std::int64_t active_until() const { return active_until_; }

 private:
  SceneConfig config_;
  std::vector<std::uint8_t> baseline_;  // grey bytes, row-major, analysis size when present
  std::int32_t baseline_width_ = 0;
  std::int32_t baseline_height_ = 0;
  std::int32_t analysis_width_ = kAnalysisWidth;
  std::int32_t analysis_height_ = kAnalysisHeight;
  std::int64_t candidate_since_ = 0;
  std::int64_t active_until_ = 0;
  std::int64_t cooldown_until_ = 0;
  bool candidate_ = false;
  bool active_ = false;
  // The current change began with a trigger (and so was reported), not silently in a cooldown.
  bool announced_ = false;
};

}  // namespace velmo::ai
