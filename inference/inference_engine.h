#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
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

// The ONNX Runtime execution provider a session runs on. Which one to try, and what to do when
// CUDA fails, is the device policy of AutoProviderEngine alone.
enum class ExecutionProvider { cpu, cuda };

// "CPUExecutionProvider" or "CUDAExecutionProvider", as the runtime names them.
inline const char* execution_provider_name(ExecutionProvider provider) {
  return provider == ExecutionProvider::cuda ? "CUDAExecutionProvider" : "CPUExecutionProvider";
}

// The execution providers an engine may choose from ("CPUExecutionProvider", ...). Engines take
// one as a dependency; an empty function stands for the runtime's own list.
using ExecutionProviderList = std::function<std::vector<std::string>()>;

}  // namespace velmo::ai
