#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/geometry.h"
#include "foundation/video_frame.h"

namespace velmo::ai {

struct InferenceResult {
  std::vector<Detection> detections;  // descending score
  double latency_ms = 0.0;            // the model run alone, whole milliseconds
  std::string execution_provider;
  std::string model_name;
  std::string model_version;
};

// The detector. The accessors must be safe to call from any thread at any time, also while
// `detect` runs on another thread.
class InferenceEngine {
 public:
  virtual ~InferenceEngine() = default;
  virtual void warmup() = 0;
  virtual InferenceResult detect(const VideoFrame& frame, const std::optional<Rect>& region) = 0;
  virtual std::string execution_provider() const = 0;
  virtual std::string model_name() const = 0;
  virtual std::string model_version() const = 0;
};

using EngineFactory = std::function<std::unique_ptr<InferenceEngine>()>;

// The device text of the configuration, read once where an engine is built: "gpu" and "auto"
// exactly as written; anything else ("cpu", the empty text, other words or letter cases) is the CPU.
enum class InferenceDevice { cpu, gpu, automatic };

inline InferenceDevice parse_inference_device(std::string_view text) {
  if (text == "gpu") return InferenceDevice::gpu;
  if (text == "auto") return InferenceDevice::automatic;
  return InferenceDevice::cpu;
}

// The execution providers an engine may choose from ("CPUExecutionProvider", ...). Engines take
// one as a dependency; an empty function stands for the runtime's own list.
using ExecutionProviderList = std::function<std::vector<std::string>()>;

}  // namespace velmo::ai
