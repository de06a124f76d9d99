#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "inference/inference_engine.h"

namespace velmo::ai {

// The ONNX Runtime detector: checks the model package, opens one session on the CPU or a CUDA
// GPU and turns frames into person detections.
//
// The engine runs on the provider it is given and never changes it: CUDA requires the runtime to
// offer it, and a CUDA failure leaves as an exception with the CUDA runtime pack's text; falling
// back to the CPU is AutoProviderEngine's. A thread count below 1 means one intra-op thread.
//
// Construction, warmup and detect must not overlap; the accessors may be called from any thread,
// also while detect runs. A failed detect leaves the engine usable.
class OnnxEngine final : public InferenceEngine {
 public:
  // The session is built from the model bytes that the package check hashed, never from the file
  // again. `providers` is what the runtime offers (empty: ask the runtime).
  OnnxEngine(const std::filesystem::path& manifest_path, const std::filesystem::path& public_key_path,
             bool require_signature, ExecutionProvider provider, int threads,
             const ExecutionProviderList& providers = {});
  ~OnnxEngine() override;

  OnnxEngine(const OnnxEngine&) = delete;
  OnnxEngine& operator=(const OnnxEngine&) = delete;

  // One run on a black 64x64 frame; logs "inference: model warmup completed".
  void warmup() override;
  InferenceResult detect(const VideoFrame& frame, const std::optional<Rect>& region) override;
  std::string execution_provider() const override;
  std::string model_name() const override;
  std::string model_version() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The execution providers that the runtime offers ("CPUExecutionProvider", ...).
std::vector<std::string> available_execution_providers();

// Whether `providers` (empty: the runtime's own list) offers "CUDAExecutionProvider"; asked anew
// on every call.
bool cuda_provider_offered(const ExecutionProviderList& providers);

}  // namespace velmo::ai
