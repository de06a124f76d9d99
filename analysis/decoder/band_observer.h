#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/video_frame.h"

namespace velmo::ai {

// Sees a picture's packed BGR rows a band at a time, right after the producer wrote them and while
// they are still in cache, so that what a consumer works out from the picture costs no second pass
// over it in memory. The producer attaches the result to the picture's frame.
//
// Called on the producing thread only, for one picture at a time: `begin`, then `band` for
// consecutive bands from the top row to the last, then `finish`. A picture whose `begin` answered 0
// gets neither; a producer that cannot hand its rows over in final bands (a converter that holds
// rows back) calls nothing, and its frames carry no summary. What an observer throws ends the
// picture's conversion and reaches the producer's caller.
class BandObserver {
 public:
  virtual ~BandObserver() = default;
  // A width x height picture begins: the row count that every band is a whole multiple of (one that
  // divides `height`), or 0 when this picture is of no interest.
  virtual int begin(int width, int height) = 0;
  // Rows top .. top + rows - 1 of the picture, final: the first at `first`, each `stride` bytes
  // after the one before.
  virtual void band(const std::uint8_t* first, std::size_t stride, int top, int rows) = 0;
  // The picture is complete: what was worked out from it, to travel with its frame.
  virtual std::shared_ptr<const FrameSummary> finish() = 0;
};

}  // namespace velmo::ai
