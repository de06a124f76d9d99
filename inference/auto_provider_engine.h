#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/config.h"
#include "inference/inference_engine.h"

namespace velmo::ai {

// The service's engine and the one home of the device policy: "cpu" runs a CPU engine, "gpu" a
// CUDA engine that never falls back, and "auto" a CUDA engine when the runtime offers CUDA, which
// any failure (construction, warm-up or a later detect) replaces for good by a CPU engine before
// the failed step is retried there.
//
// Construction, warmup and detect must not overlap each other; the three accessors may be called
// from any thread at any time, also while detect swaps the inner engine.
class AutoProviderEngine final : public InferenceEngine {
 public:
  // Where inner engines come from. The service uses ONNX Runtime (onnx_backend); tests inject fakes
  // or an ONNX backend with another provider list.
  struct Backend {
    // (manifest path, public key path, require_signature, provider, threads)
    std::function<std::unique_ptr<InferenceEngine>(const std::filesystem::path&, const std::filesystem::path&, bool,
                                                   ExecutionProvider, int)>
        make_engine;
    // Whether the runtime offers the CUDA execution provider; asked anew by every construction.
    std::function<bool()> cuda_available;
  };
  // ONNX engines choosing among `providers` (empty: the runtime's own list), which also answers
  // cuda_available.
  static Backend onnx_backend(const ExecutionProviderList& providers = {});

  AutoProviderEngine(ModelConfig config, bool require_signature, InferenceDevice device, int threads,
                     Backend backend = onnx_backend());
  // `device` is the AI.Device text; any other than "auto", "cpu" and "gpu" is refused with
  // InvalidInput naming the key.
  AutoProviderEngine(ModelConfig config, bool require_signature, std::string_view device, int threads,
                     Backend backend = onnx_backend());
  ~AutoProviderEngine() override;

  AutoProviderEngine(const AutoProviderEngine&) = delete;
  AutoProviderEngine& operator=(const AutoProviderEngine&) = delete;

  void warmup() override;
  InferenceResult detect(const VideoFrame& frame, const std::optional<Rect>& region) override;
  std::string execution_provider() const override;
  std::string model_name() const override;
  std::string model_version() const override;

  // Build a GPU or CPU engine and make it the current one (same thread rules as detect).
  void use_gpu();
  void use_cpu();
  // Build the same engines without installing them.
  std::unique_ptr<InferenceEngine> make_gpu() const;
  std::unique_ptr<InferenceEngine> make_cpu() const;

 private:
  bool current_is_cuda() const;
  void install(std::unique_ptr<InferenceEngine> next);
  void refresh_names();

  ModelConfig config_;
  bool require_signature_;
  InferenceDevice device_;
  int threads_;
  Backend backend_;
  std::unique_ptr<InferenceEngine> engine_;

  // The accessors answer from these copies, so they never touch an engine that is being replaced
  // and never wait for a model build.
  mutable std::mutex names_mutex_;
  std::string provider_;
  std::string name_;
  std::string version_;
};

}  // namespace velmo::ai
