#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/text.h"

namespace velmo::ai {

// AI.Device as the engines work with it: "auto", "cpu" or "gpu", exactly so, read by
// parse_inference_device alone; any other text gives none, so a typo is refused where it is read and
// never runs on a device nobody asked for.
enum class InferenceDevice { automatic, cpu, gpu };
std::optional<InferenceDevice> parse_inference_device(std::string_view text);
// The device of `text`, or InvalidInput "<key> must be auto, cpu, or gpu".
InferenceDevice require_inference_device(std::string_view text, std::string_view key);

// AI.DecodeMode and AI.HardwareDecode as the decoder works with them. Their texts ("adaptive",
// "keyframe", "all"; "auto", "off", exactly so) are read by the parse functions below alone; any
// other text gives none.
enum class DecodeMode { adaptive, keyframe, all };
enum class HardwareDecode { automatic, off };
std::optional<DecodeMode> parse_decode_mode(std::string_view text);
std::optional<HardwareDecode> parse_hardware_decode(std::string_view text);
// The range of AI.KeyframeFallbackMs, inclusive.
inline constexpr IntRange kKeyframeFallbackMsRange{1000, 60000};

struct AiConfig {
  bool enabled = false;
  std::string device = "auto";
  int inference_fps = 3;
  int active_fps = 3;
  int idle_fps = 1;
  int max_channels = 4;
  int max_queue_frames = 2;
  std::string decode_mode = "adaptive";
  int keyframe_fallback_ms = 5000;
  std::string hardware_decode = "auto";
  int inference_threads = 2;
  int scene_hold_ms = 4000;
};

struct ModelConfig {
  std::filesystem::path manifest;
  std::filesystem::path public_key;
  std::filesystem::path gpu_manifest;
  std::filesystem::path gpu_public_key;
  bool require_signature = true;
};

struct AppConfig {
  std::string server_host = "127.0.0.1";
  std::uint16_t server_port = 18090;
  AiConfig ai;
  ModelConfig model;
  std::string logging_level = "info";
  std::filesystem::path config_path;
};

// Reads, parses and validates the file; model paths become relative to the file's folder.
AppConfig load_config(const std::filesystem::path& path);
// Parses the text (paths as written, config_path empty) and validates the result.
AppConfig parse_config(const std::string& text);
// Throws std::invalid_argument with the message of the first rule that fails.
void validate_config(const AppConfig& config);

}  // namespace velmo::ai
