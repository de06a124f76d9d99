#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "foundation/json.h"
#include "foundation/video_frame.h"

namespace velmo::ai::test {

// Generated ONNX models (models/make_models.py), written once per build tree and
// generator version into a shared cache folder; safe to call from parallel test processes.
//
// The "bright_*" models (input 128x128) report the bounding box of the pixels whose red byte is
// above 127 as one person with score 1 (no box, score 0, when there are none), through these
// outputs:
//   bright_dets                "dets" [1,1,5] + int64 "labels" [1,1] (the end-to-end export form)
//   bright_boxes_scores        "boxes" [1,1,4] + "scores" [1,1] + int64 "labels" [1,1]
//   bright_six_columns         "detections" [1,1,6], class in the sixth column
//   bright_single_output       "output" [1,1,5], a name that matches no role
// Failure variants: fail_seven_columns ("dets" [1,1,7]), fail_int_dets (int64 "dets"),
// fail_label_type (uint8 "labels"), fail_boxes_without_scores ("boxes" only), fail_no_inputs and fail_no_outputs.
// realistic_640: a 640x640 convolutional network of about 8 GFLOPs with the bright_dets outputs.
// hog_people: a real pedestrian detector, OpenCV's trained HOG + linear SVM people detector as a
// graph over 768x576 BGR bytes (mean 0, stddev 1), "dets" [1,100,5] and "labels" [1,100];
// hog_people_margins adds the SVM margin of every window of every picture level ("margins_<i>",
// the level sizes listed in models.json).
std::filesystem::path generated_models_dir();
std::filesystem::path generated_model(const std::string& name);

// The manifest that fits a generated model, as the generator lists it: its input size, RGB order,
// mean 0 and stddev 255 (so the threshold sits at byte 127.5), label "person", name "<name>",
// version "1.0.0", the model file "<name>.onnx", the signature file "manifest.sig" and an empty
// "sha256".
Json default_manifest(const std::string& model_name);

struct ModelPackage {
  std::filesystem::path dir;
  std::filesystem::path manifest;    // dir/manifest.json
  std::filesystem::path model;       // dir/<name>.onnx, a private copy
  std::filesystem::path signature;   // dir/manifest.sig
  std::filesystem::path public_key;  // dir/public.key
  std::filesystem::path secret_key;  // dir/secret.key
  Json manifest_json;                // what manifest.json holds
};

// A complete signed package in `dir` (created when missing) for a generated model, with a fresh
// key pair. Keys of `overrides` replace the default manifest's before the digest and signature
// are written ("sha256" included); a null value removes the key.
ModelPackage write_signed_package(const std::filesystem::path& dir, const std::string& model_name = "bright_dets",
                                  const Json& overrides = Json::object());

// Writes `package.manifest_json` to the manifest file and signs those bytes with the package's key.
void sign_manifest(const ModelPackage& package);

// A packed BGR frame, black but for the rectangle of columns [x0, x1) and rows [y0, y1) in `bgr`.
VideoFrame frame_with_rectangle(int width, int height, int x0, int y0, int x1, int y1,
                                std::array<std::uint8_t, 3> bgr = {0, 0, 255});

}  // namespace velmo::ai::test
