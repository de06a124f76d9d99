#include "inference/auto_provider_engine.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "foundation/log.h"
#include "inference/cuda_runtime.h"
#include "inference/onnx_engine.h"

namespace velmo::ai {

AutoProviderEngine::Backend AutoProviderEngine::onnx_backend(const ExecutionProviderList& providers) {
  // Both ask the same list, anew on every call.
  auto make_engine = [providers](const std::filesystem::path& manifest, const std::filesystem::path& public_key,
                                 bool require_signature, ExecutionProvider provider,
                                 int threads) -> std::unique_ptr<InferenceEngine> {
    return std::make_unique<OnnxEngine>(manifest, public_key, require_signature, provider, threads, providers);
  };
  auto cuda_available = [providers] { return cuda_provider_offered(providers); };
  return Backend{std::move(make_engine), std::move(cuda_available)};
}

AutoProviderEngine::AutoProviderEngine(ModelConfig config, bool require_signature, std::string_view device, int threads,
                                       Backend backend)
    : AutoProviderEngine(std::move(config), require_signature, require_inference_device(device, "AI.Device"), threads,
                         std::move(backend)) {}

AutoProviderEngine::AutoProviderEngine(ModelConfig config, bool require_signature, InferenceDevice device, int threads,
                                       Backend backend)
    : config_(std::move(config)),
      require_signature_(require_signature),
      device_(device),
      threads_(threads > 0 ? threads : 1),
      backend_(std::move(backend)) {
  if (!backend_.make_engine || !backend_.cuda_available) {
    throw std::invalid_argument("invalid inference engine backend");
  }
  if (device_ == InferenceDevice::gpu) {
    if (!backend_.cuda_available()) {
      throw std::runtime_error(
          cuda_runtime_failure_message("GPU was requested but CUDAExecutionProvider is unavailable"));
    }
    use_gpu();
  } else if (device_ == InferenceDevice::automatic) {
    bool on_gpu = false;
    if (backend_.cuda_available()) {
      try {
        use_gpu();
        on_gpu = true;
      } catch (const std::exception& e) {
        log(LogLevel::warn, "inference: CUDA initialization failed, falling back to CPU", {{"err", e.what()}});
      }
    }
    if (!on_gpu) use_cpu();
  } else {
    use_cpu();
  }
}

AutoProviderEngine::~AutoProviderEngine() = default;

void AutoProviderEngine::warmup() {
  try {
    engine_->warmup();
  } catch (const std::exception& e) {
    if (device_ != InferenceDevice::automatic || !current_is_cuda()) throw;
    log(LogLevel::warn, "inference: CUDA warmup failed, falling back to CPU", {{"err", e.what()}});
    use_cpu();
    engine_->warmup();
  }
  refresh_names();
}

InferenceResult AutoProviderEngine::detect(const VideoFrame& frame, const std::optional<Rect>& region) {
  try {
    return engine_->detect(frame, region);
  } catch (const std::exception& e) {
    if (device_ != InferenceDevice::automatic || !current_is_cuda()) throw;
    log(LogLevel::warn, "inference: CUDA inference failed, falling back to CPU", {{"err", e.what()}});
  }
  // Retried outside the handler; a failure of the CPU build, warm-up or run reaches the caller as is.
  use_cpu();
  engine_->warmup();
  refresh_names();
  return engine_->detect(frame, region);
}

std::string AutoProviderEngine::execution_provider() const {
  std::lock_guard<std::mutex> lock(names_mutex_);
  return provider_;
}

std::string AutoProviderEngine::model_name() const {
  std::lock_guard<std::mutex> lock(names_mutex_);
  return name_;
}

std::string AutoProviderEngine::model_version() const {
  std::lock_guard<std::mutex> lock(names_mutex_);
  return version_;
}

void AutoProviderEngine::use_gpu() { install(make_gpu()); }

void AutoProviderEngine::use_cpu() { install(make_cpu()); }

std::unique_ptr<InferenceEngine> AutoProviderEngine::make_gpu() const {
  // The GPU package may be a separate export; manifest and key fall back to the CPU ones independently.
  const std::filesystem::path& manifest = config_.gpu_manifest.empty() ? config_.manifest : config_.gpu_manifest;
  const std::filesystem::path& key = config_.gpu_public_key.empty() ? config_.public_key : config_.gpu_public_key;
  auto engine = backend_.make_engine(manifest, key, require_signature_, ExecutionProvider::cuda, threads_);
  if (!engine) throw std::runtime_error("inference engine backend returned null");
  return engine;
}

std::unique_ptr<InferenceEngine> AutoProviderEngine::make_cpu() const {
  auto engine =
      backend_.make_engine(config_.manifest, config_.public_key, require_signature_, ExecutionProvider::cpu, threads_);
  if (!engine) throw std::runtime_error("inference engine backend returned null");
  return engine;
}

bool AutoProviderEngine::current_is_cuda() const {
  return engine_->execution_provider() == execution_provider_name(ExecutionProvider::cuda);
}

void AutoProviderEngine::install(std::unique_ptr<InferenceEngine> next) {
  std::string provider = next->execution_provider();
  std::string name = next->model_name();
  std::string version = next->model_version();
  {
    std::lock_guard<std::mutex> lock(names_mutex_);
    engine_.swap(next);
    provider_ = std::move(provider);
    name_ = std::move(name);
    version_ = std::move(version);
  }
  // `next` now holds the previous engine; it is destroyed here, outside the lock.
}

void AutoProviderEngine::refresh_names() {
  std::string provider = engine_->execution_provider();
  std::string name = engine_->model_name();
  std::string version = engine_->model_version();
  std::lock_guard<std::mutex> lock(names_mutex_);
  provider_ = std::move(provider);
  name_ = std::move(name);
  version_ = std::move(version);
}

}  // namespace velmo::ai
