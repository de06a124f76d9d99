#pragma once

#include "analysis/decoder/band_observer.h"
#include "foundation/video_frame.h"

struct AVFrame;
struct SwsContext;

namespace velmo::ai {

// Converts a decoded picture to packed BGR into frame.pixels (sized here) with `scaler`, made for
// the picture's size and format. A 4:2:0 planar picture is converted a band at a time, and
// `observer` (when given) sees each band at once; frame.summary is what it made of them, empty
// when it saw nothing. On the caller's thread; what the observer throws passes through.
void convert_picture(SwsContext* scaler, const AVFrame* picture, VideoFrame& frame, BandObserver* observer);

}  // namespace velmo::ai
