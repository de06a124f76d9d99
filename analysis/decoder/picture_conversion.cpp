#include "analysis/decoder/picture_conversion.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace velmo::ai {
namespace {

// Bands of about this many rows: few enough to stay in cache from their conversion to the band
// observer's pass, enough that the converter's cost per call stays small.
constexpr int kBandRows = 16;

}  // namespace

void convert_picture(SwsContext* scaler, const AVFrame* picture, VideoFrame& frame, BandObserver* observer) {
  const int width = picture->width;
  const int height = picture->height;
  const std::size_t stride = static_cast<std::size_t>(width) * 3u;
  frame.pixels.resize(stride * static_cast<std::size_t>(height));
  frame.summary.reset();
  std::uint8_t* planes[4] = {frame.pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(stride), 0, 0, 0};
  // Only 4:2:0 planar (what software H.264 and HEVC decoding give) is converted in bands: FFmpeg
  // converts it row for row, so a band's rows are final when its call returns. Other formats may
  // go through its filtering scaler, which holds rows back until the next band.
  const auto format = static_cast<AVPixelFormat>(picture->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const bool in_bands = desc != nullptr && (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P);
  const int unit = observer != nullptr && in_bands ? observer->begin(width, height) : 0;
  if (unit < 1) {
    sws_scale(scaler, picture->data, picture->linesize, 0, height, planes, strides);
    return;
  }
  // The observer reads each band right after its conversion, while it is still in cache, instead
  // of the whole picture again from memory. Bands are whole units of the observer's rows and whole
  // rows of chroma.
  const int step = std::lcm(unit, 1 << desc->log2_chroma_h);
  const int band = std::max(step, kBandRows / step * step);
  for (int top = 0; top < height; top += band) {
    const int rows = std::min(band, height - top);
    const std::uint8_t* source[4] = {};
    for (int p = 0; p < 4; ++p) {
      if (picture->data[p] == nullptr) continue;
      const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
      source[p] = picture->data[p] + static_cast<std::ptrdiff_t>(top >> shift) * picture->linesize[p];
    }
    sws_scale(scaler, source, picture->linesize, top, rows, planes, strides);
    observer->band(frame.pixels.data() + static_cast<std::size_t>(top) * stride, stride, top, rows);
  }
  frame.summary = observer->finish();
}

}  // namespace velmo::ai
