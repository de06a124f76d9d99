// The compute-realistic generated detector and a frame for it, shared by the engine and
// scheduler benchmarks.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "foundation/json.h"
#include "foundation/sha256.h"
#include "foundation/video_frame.h"

namespace velmo::ai::bench {

inline std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// An unsigned package for the realistic model in `dir` of the build tree, generated anew by every
// run so it always matches the generator.
inline std::filesystem::path realistic_manifest(const std::filesystem::path& dir) {
  const std::filesystem::path model = dir / "realistic_640.onnx";
  const std::filesystem::path manifest = dir / "realistic_640.json";
  const std::string command = "/usr/bin/python3 " + shell_quote(VELMO_SOURCE_DIR "/models/make_models.py") + " --out " +
                              shell_quote(dir.string()) + " realistic_640";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(model)) {
    throw std::runtime_error("cannot generate the benchmark model: " + command);
  }
  const Json doc = {
      {"name", "realistic_640"},
      {"version", "1"},
      {"file", model.filename().string()},
      {"sha256", sha256_hex(sha256_file(model))},
      {"input_width", 640},
      {"input_height", 640},
      {"mean", {0.0, 0.0, 0.0}},
      {"stddev", {255.0, 255.0, 255.0}},
      {"labels", {"person"}},
  };
  std::ofstream(manifest, std::ios::binary | std::ios::trunc) << doc.dump(2) << "\n";
  return manifest;
}

// 1280x720, dark, with one bright red block where a person would stand.
inline VideoFrame frame_with_person() {
  VideoFrame frame;
  frame.sequence = 1;
  frame.width = 1280;
  frame.height = 720;
  frame.pixels.assign(1280u * 720u * 3u, 40);
  for (int y = 180; y < 540; ++y) {
    for (int x = 320; x < 480; ++x) frame.pixels[(static_cast<size_t>(y) * 1280 + x) * 3 + 2] = 230;
  }
  return frame;
}

}  // namespace velmo::ai::bench
