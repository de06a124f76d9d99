#include "inference/rtmdet.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <utility>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace velmo::ai {

namespace {

// Clamps the edges, not the size, so a box sticking out of the frame is cut at the border.
Rect clamp_rect(const Rect& r) {
  const double x = clamp01(r.x);
  const double y = clamp01(r.y);
  double w = clamp01(r.x + r.w) - x;
  double h = clamp01(r.y + r.h) - y;
  if (!(w > 0.0)) w = 0.0;
  if (!(h > 0.0)) h = 0.0;
  return Rect{x, y, w, h};
}

// Rounds half away from zero in single precision; anything that does not fit an int (NaN
// included) becomes INT_MIN, which no label maps to.
int class_id_of(float value) {
  const float rounded = std::round(value);
  if (!(rounded >= -2147483648.0f && rounded < 2147483648.0f)) return INT_MIN;
  return static_cast<int>(rounded);
}

}  // namespace

RtmdetPreprocessor::RtmdetPreprocessor(ModelManifest manifest) : manifest_(std::move(manifest)) {
  if (manifest_.layout != "NCHW") {
    throw std::invalid_argument("phase one supports NCHW model input only");
  }
  if (manifest_.color_order != "RGB" && manifest_.color_order != "BGR") {
    throw std::invalid_argument("model color_order must be RGB or BGR");
  }
  if (!manifest_.letterbox) {
    throw std::invalid_argument("phase one requires letterbox=true model preprocessing");
  }
  // A manifest that bypassed the manifest check must not make prepare read out of bounds.
  if (manifest_.input_width < 1 || manifest_.input_height < 1) {
    throw std::invalid_argument("model input dimensions must be at least 32");
  }
  if (manifest_.mean.size() != 3 || manifest_.stddev.size() != 3) {
    throw std::invalid_argument("manifest mean and stddev require 3 values");
  }
}

PreparedInput RtmdetPreprocessor::prepare(const VideoFrame& frame, const std::optional<Rect>& region) const {
  const std::int32_t frame_w = frame.width;
  const std::int32_t frame_h = frame.height;
  if (frame_w < 1 || frame_h < 1 ||
      static_cast<std::uint64_t>(frame.pixels.size()) <
          static_cast<std::uint64_t>(frame_w) * static_cast<std::uint64_t>(frame_h) * 3u) {
    throw std::invalid_argument("cannot preprocess an invalid video frame");
  }

  PreparedInput out;
  out.crop = clamp_rect(region.value_or(Rect{0.0, 0.0, 1.0, 1.0}));
  if (!out.crop.valid()) throw std::invalid_argument("preprocessing crop is empty");

  const std::int32_t in_w = manifest_.input_width;
  const std::int32_t in_h = manifest_.input_height;
  out.shape = {1, 3, in_h, in_w};
  const std::size_t plane = static_cast<std::size_t>(in_w) * static_cast<std::size_t>(in_h);
  out.tensor.resize(3 * plane);

  // Pixel crop: floor the near edges, ceil the far ones, never less than one pixel.
  const Rect& crop = out.crop;
  const std::int32_t x0 = std::clamp(static_cast<std::int32_t>(std::floor(crop.x * frame_w)), 0, frame_w - 1);
  const std::int32_t y0 = std::clamp(static_cast<std::int32_t>(std::floor(crop.y * frame_h)), 0, frame_h - 1);
  const double xe = std::ceil((crop.x + crop.w) * frame_w);
  const double ye = std::ceil((crop.y + crop.h) * frame_h);
  const std::int32_t cols = xe < x0 + 1.0 ? 1 : static_cast<std::int32_t>(std::min<double>(xe, frame_w)) - x0;
  const std::int32_t rows = ye < y0 + 1.0 ? 1 : static_cast<std::int32_t>(std::min<double>(ye, frame_h)) - y0;

  out.scale = std::min(static_cast<double>(in_h) / rows, static_cast<double>(in_w) / cols);
  const int resized_w = std::max(1, static_cast<int>(std::lround(cols * out.scale)));
  const int resized_h = std::max(1, static_cast<int>(std::lround(rows * out.scale)));
  if (manifest_.pad_mode == "top_left") {
    out.pad_x = 0;
    out.pad_y = 0;
  } else {
    out.pad_x = (in_w - resized_w) / 2;
    out.pad_y = (in_h - resized_h) / 2;
  }

  const std::size_t stride = static_cast<std::size_t>(frame_w) * 3;
  const cv::Mat source(rows, cols, CV_8UC3,
                       const_cast<std::uint8_t*>(frame.pixels.data()) + static_cast<std::size_t>(y0) * stride +
                           static_cast<std::size_t>(x0) * 3,
                       stride);
  cv::Mat canvas(in_h, in_w, CV_8UC3, cv::Scalar::all(manifest_.pad_value));
  // Resizing straight into the canvas region avoids a second copy of the picture.
  cv::Mat target = canvas(cv::Rect(out.pad_x, out.pad_y, resized_w, resized_h));
  cv::resize(source, target, cv::Size(resized_w, resized_h), 0.0, 0.0, cv::INTER_LINEAR);

  // The canvas is BGR; RGB models read its channels swapped. A byte can take only 256 values,
  // so each channel's normalisation (in double, stored as float) is a table look-up.
  const bool rgb = manifest_.color_order == "RGB";
  std::array<std::array<float, 256>, 3> lut;
  for (int c = 0; c < 3; ++c) {
    for (int b = 0; b < 256; ++b) {
      lut[c][b] = static_cast<float>((static_cast<double>(b) - manifest_.mean[c]) / manifest_.stddev[c]);
    }
  }
  const int source_channel[3] = {rgb ? 2 : 0, 1, rgb ? 0 : 2};
  float* plane0 = out.tensor.data();
  float* plane1 = plane0 + plane;
  float* plane2 = plane1 + plane;
  for (std::int32_t y = 0; y < in_h; ++y) {
    const std::uint8_t* px = canvas.ptr<std::uint8_t>(y);
    const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(in_w);
    for (std::int32_t x = 0; x < in_w; ++x, px += 3) {
      plane0[row + x] = lut[0][px[source_channel[0]]];
      plane1[row + x] = lut[1][px[source_channel[1]]];
      plane2[row + x] = lut[2][px[source_channel[2]]];
    }
  }
  return out;
}

DetectionDecoder::DetectionDecoder(ModelManifest manifest) : manifest_(std::move(manifest)) {
  if (manifest_.output_format != "end2end") {
    throw std::invalid_argument("phase one requires an end-to-end RTMDet ONNX export");
  }
}

std::vector<Detection> DetectionDecoder::decode_end2end(std::span<const float> values, std::size_t rows,
                                                        std::size_t cols,
                                                        const std::optional<std::span<const float>>& class_values,
                                                        const PreparedInput& prepared, int frame_width,
                                                        int frame_height) const {
  // Divide rather than multiply: rows * cols may wrap around.
  if (cols < 5 || rows > values.size() / cols) {
    throw std::invalid_argument("unexpected RTMDet end-to-end output shape");
  }
  if (class_values && class_values->size() < rows) {
    throw std::invalid_argument("RTMDet labels output is shorter than detections");
  }
  if (frame_width < 1 || frame_height < 1) {
    throw std::invalid_argument("cannot decode detections for an invalid video frame");
  }

  const double fw = frame_width;
  const double fh = frame_height;
  const double ox = fw * prepared.crop.x;
  const double oy = fh * prepared.crop.y;
  const double threshold = manifest_.confidence_threshold;
  const bool xywh = manifest_.box_format == "xywh";
  const auto& labels = manifest_.labels;
  // Class 0 is a person whatever the manifest calls it; so is any class the manifest names
  // "person". An id outside the labels is written in decimal, which never reads "person".
  const auto is_person = [&labels](int id) {
    if (id == 0) return true;
    return id > 0 && static_cast<std::size_t>(id) < labels.size() && labels[id] == "person";
  };

  std::vector<Detection> detections;
  for (std::size_t i = 0; i < rows; ++i) {
    const float* r = values.data() + i * cols;
    const float score = r[4];
    if (!std::isfinite(score) || static_cast<double>(score) < threshold) continue;
    if (!std::isfinite(r[0]) || !std::isfinite(r[1]) || !std::isfinite(r[2]) || !std::isfinite(r[3])) {
      continue;
    }

    int id = 0;
    if (cols >= 6 && std::isfinite(r[5])) {
      id = class_id_of(r[5]);
    } else if (class_values) {
      id = class_id_of((*class_values)[i]);
    } else if (cols >= 6) {
      continue;  // the row's own class is not a number: unknown, never taken for class 0
    }
    if (!is_person(id)) continue;

    const double x1 = r[0];
    const double y1 = r[1];
    const double x2 = xywh ? x1 + static_cast<double>(r[2]) : static_cast<double>(r[2]);
    const double y2 = xywh ? y1 + static_cast<double>(r[3]) : static_cast<double>(r[3]);
    const double mx1 = (x1 - prepared.pad_x) / prepared.scale;
    const double my1 = (y1 - prepared.pad_y) / prepared.scale;
    const double mx2 = (x2 - prepared.pad_x) / prepared.scale;
    const double my2 = (y2 - prepared.pad_y) / prepared.scale;
    const Rect box = clamp_rect(Rect{(ox + mx1) / fw, (oy + my1) / fh, (mx2 - mx1) / fw, (my2 - my1) / fh});
    if (!(box.w > 0.0 && box.h > 0.0) || box.w * box.h < 1e-6) continue;
    detections.push_back(Detection{"person", static_cast<double>(score), box});
  }
  return ::velmo::ai::non_maximum_suppression(std::move(detections), manifest_.nms_threshold);
}

std::vector<Detection> DetectionDecoder::non_maximum_suppression(std::vector<Detection> detections) const {
  return ::velmo::ai::non_maximum_suppression(std::move(detections), manifest_.nms_threshold);
}

std::vector<Detection> non_maximum_suppression(std::vector<Detection> detections, double iou_threshold) {
  // A NaN score sorts last, so the order stays a strict weak ordering.
  std::vector<std::size_t> order(detections.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&detections](std::size_t a, std::size_t b) {
    const double sa = detections[a].score;
    const double sb = detections[b].score;
    if (std::isnan(sb)) return !std::isnan(sa);
    return sa > sb;
  });

  // Boxes that do not overlap have an IoU of 0, which cannot exceed a non-negative threshold;
  // testing the edges first spares most IoU calls.
  const bool skip_disjoint = iou_threshold >= 0.0;
  struct Edges {
    double left, top, right, bottom;
  };
  std::vector<Edges> kept_edges;
  std::vector<Detection> kept;
  kept.reserve(detections.size());
  kept_edges.reserve(detections.size());
  for (const std::size_t index : order) {
    Detection& candidate = detections[index];
    const Rect& b = candidate.box;
    const Edges e{b.x, b.y, b.x + b.w, b.y + b.h};
    bool suppressed = false;
    for (std::size_t k = 0; k < kept.size(); ++k) {
      const Edges& o = kept_edges[k];
      if (skip_disjoint && !(std::max(o.left, e.left) < std::min(o.right, e.right) &&
                             std::max(o.top, e.top) < std::min(o.bottom, e.bottom))) {
        continue;
      }
      if (kept[k].label == candidate.label && iou(kept[k].box, b) > iou_threshold) {
        suppressed = true;
        break;
      }
    }
    if (!suppressed) {
      kept_edges.push_back(e);
      kept.push_back(std::move(candidate));
    }
  }
  return kept;
}

}  // namespace velmo::ai
