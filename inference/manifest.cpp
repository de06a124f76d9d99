#include "inference/manifest.h"

#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>

#include "foundation/file_io.h"
#include "foundation/sha256.h"
#include "foundation/signature.h"
#include "foundation/text.h"

namespace velmo::ai {
namespace {

// The same wording the JSON library uses when a value cannot be converted.
[[noreturn]] void throw_type_error(const Json& value, const char* expected) {
  throw Json::type_error::create(302, std::string("type must be ") + expected + ", but is " + value.type_name(),
                                 &value);
}

std::string required(const Json& value, const char* key) {
  auto it = value.find(key);
  if (it == value.end()) throw std::invalid_argument(std::string("manifest is missing ") + key);
  return it->get<std::string>();
}

// The library would read true as 1 and convert any number to the field type (wrapping large
// integers, truncating fractions), so the JSON types are checked here first.
double number_value(const Json& value) {
  if (!value.is_number()) throw_type_error(value, "number");
  return value.get<double>();
}

std::int32_t int32_value(const Json& value, const char* key) {
  if (!value.is_number()) throw_type_error(value, "number");
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  bool fits = false;
  if (value.is_number_unsigned()) {
    fits = value.get<std::uint64_t>() <= static_cast<std::uint64_t>(kMax);
  } else if (value.is_number_integer()) {
    auto v = value.get<std::int64_t>();
    fits = v >= kMin && v <= kMax;
  } else {
    double v = value.get<double>();
    fits = std::isfinite(v) && std::trunc(v) == v && v >= kMin && v <= kMax;
  }
  if (!fits) throw std::invalid_argument(std::string("manifest ") + key + " must be a 32-bit integer");
  return static_cast<std::int32_t>(value.get<double>());
}

std::vector<double> number_list(const Json& value) {
  if (!value.is_array()) throw_type_error(value, "array");
  std::vector<double> out;
  out.reserve(value.size());
  for (const auto& element : value) out.push_back(number_value(element));
  return out;
}

template <typename Read>
void optional(const Json& object, const char* key, Read read) {
  auto it = object.find(key);
  if (it != object.end()) read(*it);
}

ModelManifest parse_manifest_bytes(const std::string& bytes) { return parse_manifest(parse_json(bytes)); }

}  // namespace

ModelManifest parse_manifest(const Json& value) {
  if (!value.is_object()) throw std::invalid_argument("model manifest must be a JSON object");
  ModelManifest m;
  m.name = required(value, "name");
  m.version = required(value, "version");
  m.file = required(value, "file");
  m.sha256 = lower_ascii(required(value, "sha256"));

  auto text = [](std::string& field) { return [&field](const Json& v) { field = v.get<std::string>(); }; };
  auto integer = [](std::int32_t& field, const char* key) {
    return [&field, key](const Json& v) { field = int32_value(v, key); };
  };
  auto number = [](double& field) { return [&field](const Json& v) { field = number_value(v); }; };
  optional(value, "signature_file", text(m.signature_file));
  optional(value, "execution_provider", text(m.execution_provider));
  optional(value, "input_width", integer(m.input_width, "input_width"));
  optional(value, "input_height", integer(m.input_height, "input_height"));
  optional(value, "color_order", text(m.color_order));
  optional(value, "layout", text(m.layout));
  optional(value, "letterbox", [&](const Json& v) { m.letterbox = v.get<bool>(); });
  optional(value, "pad_value", integer(m.pad_value, "pad_value"));
  optional(value, "pad_mode", text(m.pad_mode));
  optional(value, "mean", [&](const Json& v) { m.mean = number_list(v); });
  optional(value, "stddev", [&](const Json& v) { m.stddev = number_list(v); });
  optional(value, "labels", [&](const Json& v) { m.labels = v.get<std::vector<std::string>>(); });
  optional(value, "confidence_threshold", number(m.confidence_threshold));
  optional(value, "nms_threshold", number(m.nms_threshold));
  optional(value, "output_format", text(m.output_format));
  optional(value, "box_format", text(m.box_format));
  optional(value, "coordinate_space", text(m.coordinate_space));

  if (m.name.empty() || m.version.empty() || m.file.empty()) {
    throw std::invalid_argument("manifest name, version, and file are required");
  }
  if (m.input_width < 32 || m.input_height < 32) {
    throw std::invalid_argument("model input dimensions must be at least 32");
  }
  if (m.mean.size() != 3 || m.stddev.size() != 3) {
    throw std::invalid_argument("manifest mean and stddev require 3 values");
  }
  if (m.pad_mode != "center" && m.pad_mode != "top_left") {
    throw std::invalid_argument("manifest pad_mode must be center or top_left");
  }
  for (double s : m.stddev) {
    if (s <= 0.0) throw std::invalid_argument("manifest stddev values must be positive");
  }
  for (double t : {m.confidence_threshold, m.nms_threshold}) {
    if (t <= 0.0 || t >= 1.0) throw std::invalid_argument("manifest thresholds must be in (0, 1)");
  }
  if (m.output_format != "end2end" && m.output_format != "rtmdet_raw") {
    throw std::invalid_argument("manifest output_format must be end2end or rtmdet_raw");
  }
  if (m.box_format != "xyxy" && m.box_format != "xywh") {
    throw std::invalid_argument("manifest box_format must be xyxy or xywh");
  }
  if (m.coordinate_space != "model_input") {
    throw std::invalid_argument("phase one manifest coordinate_space must be model_input");
  }
  return m;
}

ModelManifest load_manifest(const std::filesystem::path& path) {
  return parse_manifest_bytes(read_whole_file(path, "cannot open model manifest: "));
}

std::filesystem::path manifest_model_path(const std::filesystem::path& manifest_path, const ModelManifest& manifest) {
  std::filesystem::path file(manifest.file);
  if (file.has_root_directory()) return file;
  return manifest_path.parent_path() / file;
}

namespace {

// The package check; with `model_bytes`, the model is read into it once and hashed from there.
ModelValidation check_package(const std::filesystem::path& manifest_path, bool require_signature,
                              const std::filesystem::path& public_key_path, std::string* model_bytes) noexcept {
  ModelValidation result;
  try {
    result.manifest_path = std::filesystem::absolute(manifest_path);
    // Read once: the signature is checked over exactly the bytes parsed here, so a manifest
    // replaced on disk between the check and the load can never be used.
    const std::string bytes = read_whole_file(result.manifest_path, "cannot open model manifest: ");
    result.manifest = parse_manifest_bytes(bytes);
    result.model_path = manifest_model_path(result.manifest_path, result.manifest);
    if (!std::filesystem::is_regular_file(result.model_path)) {
      result.error = "model file is missing";
      return result;
    }
    result.sha256 = sha256_hex(model_bytes != nullptr ? sha256_file(result.model_path, *model_bytes)
                                                      : sha256_file(result.model_path));
    if (result.sha256 != result.manifest.sha256) {
      result.error = "model SHA-256 does not match manifest";
      return result;
    }
    if (!require_signature) {
      result.valid = true;
      return result;
    }
    if (result.manifest.signature_file.empty()) {
      result.error = "model signature is required but missing";
      return result;
    }
    if (public_key_path.empty()) {
      result.error = "model signature public key is not configured";
      return result;
    }
    const std::filesystem::path signature_path =
        result.manifest_path.parent_path() / std::filesystem::path(result.manifest.signature_file);
    if (!std::filesystem::is_regular_file(signature_path)) {
      result.error = "model signature file is missing";
      return result;
    }
    const auto public_key = read_public_key_file(public_key_path);
    const auto signature = read_signature_file(signature_path);
    std::span<const std::uint8_t> signed_bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    if (!verify_signature(signed_bytes, signature, public_key)) {
      result.error = "model manifest signature is invalid";
      return result;
    }
    result.valid = true;
  } catch (const std::exception& e) {
    result.valid = false;
    result.error = e.what();
  } catch (...) {
    result.valid = false;
    result.error = "unknown failure while checking the model package";
  }
  return result;
}

}  // namespace

ModelValidation validate_model_package(const std::filesystem::path& manifest_path, bool require_signature,
                                       const std::filesystem::path& public_key_path) noexcept {
  return check_package(manifest_path, require_signature, public_key_path, nullptr);
}

VerifiedModel load_verified_model(const std::filesystem::path& manifest_path, bool require_signature,
                                  const std::filesystem::path& public_key_path) noexcept {
  VerifiedModel out;
  out.validation = check_package(manifest_path, require_signature, public_key_path, &out.model_bytes);
  if (!out.validation.valid) std::string().swap(out.model_bytes);
  return out;
}

}  // namespace velmo::ai
