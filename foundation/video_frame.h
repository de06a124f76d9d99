#pragma once

#include <cstdint>
#include <vector>

namespace velmo::ai {

// One decoded picture: packed 8-bit BGR, row stride width * 3. Moved, never copied, from the
// decoder to the engine.
struct VideoFrame {
  std::uint64_t sequence = 0;  // first frame of a stream is 1
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> pixels;
  std::int64_t pts_ms = 0;   // presentation time, or wall-clock time when the stream has none
  std::int64_t wall_ms = 0;  // wall-clock time at delivery
};

}  // namespace velmo::ai
