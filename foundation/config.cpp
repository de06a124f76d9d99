#include "foundation/config.h"

#include <climits>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "foundation/errors.h"
#include "foundation/file_io.h"
#include "foundation/text.h"

namespace velmo::ai {
namespace {

constexpr long long kIntMinMagnitude = -static_cast<long long>(INT_MIN);
constexpr IntRange kFpsRange{1, 30};
constexpr IntRange kMaxChannelsRange{1, 64};
constexpr IntRange kMaxQueueFramesRange{1, 8};
constexpr IntRange kInferenceThreadsRange{1, 32};

std::string trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_ascii_space(text[begin])) ++begin;
  while (end > begin && is_ascii_space(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string parse_string(const std::string& value, const std::string& key) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') {
    throw std::invalid_argument(key + " must be a quoted string");
  }
  std::string out;
  const size_t last = value.size() - 1;  // index of the closing quote
  for (size_t i = 1; i < last; ++i) {
    char c = value[i];
    if (c == '\\' && i + 1 < last) {
      char next = value[++i];
      switch (next) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        default: throw std::invalid_argument(key + " contains an unsupported escape");
      }
    } else {
      out.push_back(c);
    }
  }
  return out;
}

int parse_int(const std::string& value, const std::string& key) {
  const std::string message = key + " must be an integer";
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && value[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == value.size()) throw std::invalid_argument(message);
  long long magnitude = 0;
  for (; i < value.size(); ++i) {
    char c = value[i];
    if (c < '0' || c > '9') throw std::invalid_argument(message);
    magnitude = magnitude * 10 + (c - '0');
    // Past INT_MIN's magnitude no further digit can bring it back into range (nor overflow).
    if (magnitude > kIntMinMagnitude) throw std::invalid_argument(message);
  }
  long long result = negative ? -magnitude : magnitude;
  if (result > INT_MAX || result < INT_MIN) throw std::invalid_argument(message);
  return static_cast<int>(result);
}

bool parse_bool(const std::string& value, const std::string& key) {
  std::string lower = lower_ascii(trim(value));
  if (lower == "true") return true;
  if (lower == "false") return false;
  throw std::invalid_argument(key + " must be true or false");
}

// Cuts the comment: the first '#' outside double quotes; a backslash inside quotes skips a byte.
std::string_view strip_comment(std::string_view line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted && c == '\\') {
      ++i;
    } else if (!quoted && c == '#') {
      return line.substr(0, i);
    }
  }
  return line;
}

void assign_key(AppConfig& config, const std::string& key, const std::string& value) {
  AiConfig& ai = config.ai;
  ModelConfig& model = config.model;
  if (key == "Server.Host") config.server_host = parse_string(value, key);
  else if (key == "Server.Port") {
    int port = parse_int(value, key);
    if (!valid_port(port)) throw std::invalid_argument(key + " is outside " + kPortRange.text());
    config.server_port = static_cast<std::uint16_t>(port);
  } else if (key == "AI.Enabled") ai.enabled = parse_bool(value, key);
  else if (key == "AI.Device") ai.device = lower_ascii(parse_string(value, key));
  else if (key == "AI.InferenceFPS") ai.inference_fps = parse_int(value, key);
  else if (key == "AI.ActiveFPS") ai.active_fps = parse_int(value, key);
  else if (key == "AI.IdleFPS") ai.idle_fps = parse_int(value, key);
  else if (key == "AI.MaxChannels") ai.max_channels = parse_int(value, key);
  else if (key == "AI.MaxQueueFrames") ai.max_queue_frames = parse_int(value, key);
  else if (key == "AI.DecodeMode") ai.decode_mode = lower_ascii(parse_string(value, key));
  else if (key == "AI.KeyframeFallbackMs") ai.keyframe_fallback_ms = parse_int(value, key);
  else if (key == "AI.HardwareDecode") ai.hardware_decode = lower_ascii(parse_string(value, key));
  else if (key == "AI.InferenceThreads") ai.inference_threads = parse_int(value, key);
  else if (key == "AI.SceneHoldMs") ai.scene_hold_ms = parse_int(value, key);
  else if (key == "Model.Manifest") model.manifest = parse_string(value, key);
  else if (key == "Model.PublicKey") model.public_key = parse_string(value, key);
  else if (key == "Model.GpuManifest") model.gpu_manifest = parse_string(value, key);
  else if (key == "Model.GpuPublicKey") model.gpu_public_key = parse_string(value, key);
  else if (key == "Model.RequireSignature") model.require_signature = parse_bool(value, key);
  else if (key == "Logging.Level") config.logging_level = lower_ascii(parse_string(value, key));
  else throw std::invalid_argument("unknown config key " + key);
}

}  // namespace

std::optional<InferenceDevice> parse_inference_device(std::string_view text) {
  if (text == "auto") return InferenceDevice::automatic;
  if (text == "cpu") return InferenceDevice::cpu;
  if (text == "gpu") return InferenceDevice::gpu;
  return std::nullopt;
}

InferenceDevice require_inference_device(std::string_view text, std::string_view key) {
  const std::optional<InferenceDevice> device = parse_inference_device(text);
  if (!device) throw InvalidInput(std::string(key) + " must be auto, cpu, or gpu");
  return *device;
}

std::optional<DecodeMode> parse_decode_mode(std::string_view text) {
  if (text == "adaptive") return DecodeMode::adaptive;
  if (text == "keyframe") return DecodeMode::keyframe;
  if (text == "all") return DecodeMode::all;
  return std::nullopt;
}

std::optional<HardwareDecode> parse_hardware_decode(std::string_view text) {
  if (text == "auto") return HardwareDecode::automatic;
  if (text == "off") return HardwareDecode::off;
  return std::nullopt;
}

namespace {

// A rule that fails: the key it is about, and its message (which names the key).
struct Violation {
  const char* key;
  std::string message;
};

std::optional<Violation> first_violation(const AppConfig& config) {
  const AiConfig& ai = config.ai;
  auto outside = [](const IntRange& range, int value, const char* key) -> std::optional<Violation> {
    if (range.holds(value)) return std::nullopt;
    return Violation{key, std::string(key) + " must be in " + range.text()};
  };
  auto violation = [](const char* key, const char* message) {
    return std::optional<Violation>(Violation{key, message});
  };
  if (config.server_host.empty()) return violation("Server.Host", "Server.Host must not be empty");
  if (!parse_inference_device(ai.device)) {
    return violation("AI.Device", "AI.Device must be auto, cpu, or gpu");
  }
  for (const auto& check :
       {outside(kFpsRange, ai.inference_fps, "AI.InferenceFPS"), outside(kFpsRange, ai.active_fps, "AI.ActiveFPS"),
        outside(kFpsRange, ai.idle_fps, "AI.IdleFPS"), outside(kMaxChannelsRange, ai.max_channels, "AI.MaxChannels"),
        outside(kMaxQueueFramesRange, ai.max_queue_frames, "AI.MaxQueueFrames")}) {
    if (check) return check;
  }
  if (!parse_decode_mode(ai.decode_mode)) {
    return violation("AI.DecodeMode", "AI.DecodeMode must be adaptive, keyframe, or all");
  }
  if (auto check = outside(kKeyframeFallbackMsRange, ai.keyframe_fallback_ms, "AI.KeyframeFallbackMs")) return check;
  if (!parse_hardware_decode(ai.hardware_decode)) {
    return violation("AI.HardwareDecode", "AI.HardwareDecode must be auto or off");
  }
  if (auto check = outside(kInferenceThreadsRange, ai.inference_threads, "AI.InferenceThreads")) return check;
  if (ai.scene_hold_ms < 0) return violation("AI.SceneHoldMs", "AI.SceneHoldMs must not be negative");
  if (config.model.manifest.empty()) return violation("Model.Manifest", "Model.Manifest must not be empty");
  if (config.model.require_signature && config.model.public_key.empty()) {
    return violation("Model.PublicKey", "Model.PublicKey is required when Model.RequireSignature=true");
  }
  const std::string& level = config.logging_level;
  if (level != "debug" && level != "info" && level != "warn" && level != "error") {
    return violation("Logging.Level", "Logging.Level must be debug, info, warn, or error");
  }
  return std::nullopt;
}

std::string line_prefix(std::size_t line_number) { return "config line " + std::to_string(line_number); }

}  // namespace

AppConfig parse_config(const std::string& text) {
  AppConfig config;
  // The line each key was set on: a key set twice is a mistake (which line was meant?), and a
  // value that fails validation is reported with its line.
  std::map<std::string, std::size_t, std::less<>> key_lines;
  std::string section;
  size_t line_number = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) {
      if (pos == text.size()) break;  // a final line feed ends the text
      end = text.size();
    }
    std::string_view raw(text.data() + pos, end - pos);
    pos = end + 1;
    ++line_number;

    std::string line = trim(strip_comment(raw));
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      section = trim(std::string_view(line).substr(1, line.size() - 2));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      throw std::invalid_argument(line_prefix(line_number) + " is not a key/value pair");
    }
    std::string key = section + "." + trim(std::string_view(line).substr(0, eq));
    std::string value = trim(std::string_view(line).substr(eq + 1));
    try {
      assign_key(config, key, value);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(line_prefix(line_number) + ": " + e.what());
    }
    const auto [first, inserted] = key_lines.emplace(key, line_number);
    if (!inserted) {
      throw std::invalid_argument(line_prefix(line_number) + ": " + key + " is set twice (first on line " +
                                  std::to_string(first->second) + ")");
    }
  }
  if (auto violation = first_violation(config)) {
    const auto line = key_lines.find(violation->key);
    if (line == key_lines.end()) throw std::invalid_argument(violation->message);
    throw std::invalid_argument(line_prefix(line->second) + ": " + violation->message);
  }
  return config;
}

void validate_config(const AppConfig& config) {
  if (auto violation = first_violation(config)) throw std::invalid_argument(violation->message);
}

AppConfig load_config(const std::filesystem::path& path) {
  std::string text = read_whole_file(path, "cannot open config: ");
  AppConfig config = parse_config(text);
  config.config_path = std::filesystem::absolute(path);
  const std::filesystem::path dir = config.config_path.parent_path();
  ModelConfig& m = config.model;
  if (!m.manifest.has_root_directory()) m.manifest = dir / m.manifest;
  if (!m.public_key.has_root_directory()) m.public_key = dir / m.public_key;
  if (!m.gpu_manifest.empty() && !m.gpu_manifest.has_root_directory()) m.gpu_manifest = dir / m.gpu_manifest;
  if (!m.gpu_public_key.empty() && !m.gpu_public_key.has_root_directory()) {
    m.gpu_public_key = dir / m.gpu_public_key;
  }
  return config;
}

}  // namespace velmo::ai
