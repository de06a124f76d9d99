#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/json.h"

namespace velmo::ai {

// A model package's manifest. Fields are named after its JSON keys; the initializers are the
// defaults of absent optional keys.
struct ModelManifest {
  std::string name;
  std::string version;
  std::string file;
  std::string sha256;  // lower-cased when parsed
  std::string signature_file;
  std::string execution_provider = "cpu";
  std::int32_t input_width = 416;
  std::int32_t input_height = 416;
  std::string color_order = "RGB";
  std::string layout = "NCHW";
  bool letterbox = true;
  std::int32_t pad_value = 114;
  std::string pad_mode = "center";
  std::vector<double> mean{0.0, 0.0, 0.0};
  std::vector<double> stddev{1.0, 1.0, 1.0};
  std::vector<std::string> labels;
  double confidence_threshold = 0.35;
  double nms_threshold = 0.5;
  std::string output_format = "end2end";
  std::string box_format = "xyxy";
  std::string coordinate_space = "model_input";
};

// Outcome of one package check. On a failure, fields filled before the failing step keep their
// values and the later ones stay empty.
struct ModelValidation {
  bool valid = false;
  std::filesystem::path manifest_path;  // absolute
  std::filesystem::path model_path;
  std::string sha256;      // actual digest of the model file
  std::string error;       // first failure; empty when valid
  ModelManifest manifest;  // parsed from exactly the bytes whose signature was checked
};

// Applies the manifest's keys, defaults and checks. Throws std::invalid_argument for a missing
// key or a bad value and the JSON library's type_error for a value of the wrong JSON type.
ModelManifest parse_manifest(const Json& value);

// Reads, parses and checks a manifest file. Throws std::runtime_error
// "cannot open model manifest: <path>", std::invalid_argument "invalid JSON: ..." and the
// failures of parse_manifest.
ModelManifest load_manifest(const std::filesystem::path& path);

// The manifest's "file": unchanged when absolute, else next to the manifest.
std::filesystem::path manifest_model_path(const std::filesystem::path& manifest_path, const ModelManifest& manifest);

// Checks the model file's presence and SHA-256 and, when required, the manifest's detached
// signature under the public key at `public_key_path`. Never throws: every failure is reported
// in the result's `error`.
ModelValidation validate_model_package(const std::filesystem::path& manifest_path, bool require_signature,
                                       const std::filesystem::path& public_key_path) noexcept;

// A package check that also hands over the model file's bytes exactly as they were hashed, for
// whoever runs the model: the file itself may be replaced after the check. Same steps and
// messages as validate_model_package; `model_bytes` is empty unless `validation.valid`.
struct VerifiedModel {
  ModelValidation validation;
  std::string model_bytes;
};
VerifiedModel load_verified_model(const std::filesystem::path& manifest_path, bool require_signature,
                                  const std::filesystem::path& public_key_path) noexcept;

}  // namespace velmo::ai
