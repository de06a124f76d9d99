#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "foundation/geometry.h"
#include "foundation/video_frame.h"
#include "inference/manifest.h"

namespace velmo::ai {

// The model input of one run and what the decoder needs to map boxes back onto the frame.
struct PreparedInput {
  // Planar: channel c, row y, column x at c * input_height * input_width + y * input_width + x.
  std::vector<float> tensor;
  std::vector<std::int64_t> shape;  // {1, 3, input_height, input_width}
  double scale = 1.0;               // model-input pixels per frame pixel
  std::int32_t pad_x = 0;           // padding columns left of the picture
  std::int32_t pad_y = 0;           // padding rows above the picture
  Rect crop{0.0, 0.0, 1.0, 1.0};    // normalized frame region that was letterboxed, after clamping
};

// Letterbox preprocessing for an NCHW RTMDet model. Immutable; safe to share between threads.
class RtmdetPreprocessor {
 public:
  // Throws std::invalid_argument for a model form the system does not run.
  explicit RtmdetPreprocessor(ModelManifest manifest);

  // Letterboxes the whole frame, or the region of it, into the model input.
  // Throws std::invalid_argument for a malformed frame or an empty region.
  PreparedInput prepare(const VideoFrame& frame, const std::optional<Rect>& region) const;

 private:
  ModelManifest manifest_;
};

// Turns end-to-end RTMDet output rows into person detections normalized to the whole frame.
// Immutable; safe to share between threads.
class DetectionDecoder {
 public:
  // Throws std::invalid_argument unless the manifest names an end-to-end export.
  explicit DetectionDecoder(ModelManifest manifest);

  // `values` holds `rows` rows of `cols` floats (x1, y1, x2|w, y2|h, score[, class, ...]) in
  // model-input pixels; `class_values`, when present, holds one class per row. The result has
  // been through non-maximum suppression with the manifest's threshold, highest score first.
  std::vector<Detection> decode_end2end(std::span<const float> values, std::size_t rows, std::size_t cols,
                                        const std::optional<std::span<const float>>& class_values,
                                        const PreparedInput& prepared, int frame_width, int frame_height) const;

  // The free function below with the manifest's nms_threshold.
  std::vector<Detection> non_maximum_suppression(std::vector<Detection> detections) const;

 private:
  ModelManifest manifest_;
};

// Greedy per-label suppression: highest score first, a detection is dropped when a kept one of
// the same label overlaps it with an IoU above the threshold. Equal scores follow no defined order.
std::vector<Detection> non_maximum_suppression(std::vector<Detection> detections, double iou_threshold);

}  // namespace velmo::ai
