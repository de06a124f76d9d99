#include "inference/onnx_engine.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <stdexcept>
#include <thread>
#include <utility>

#include "foundation/log.h"
#include "foundation/text.h"
#include "foundation/thread_name.h"
#include "foundation/time.h"
#include "inference/cuda_runtime.h"
#include "inference/manifest.h"
#include "inference/rtmdet.h"

namespace velmo::ai {
namespace {

// The runtime's pool threads are started through these two, so they carry a name as well.
OrtCustomThreadHandle start_pool_thread(void*, OrtThreadWorkerFn work, void* argument) {
  try {
    auto* thread = new std::thread([work, argument] {
      set_thread_name("onnx-pool");
      work(argument);
    });
    return reinterpret_cast<OrtCustomThreadHandle>(thread);
  } catch (...) {
    return nullptr;  // the runtime reports a thread it could not get as its own error
  }
}

void join_pool_thread(OrtCustomThreadHandle handle) {
  std::unique_ptr<std::thread> thread(reinterpret_cast<std::thread*>(const_cast<OrtCustomHandleType*>(handle)));
  thread->join();
}

std::string tensor_type_name(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return "int32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return "int64";
    default: return "unsupported";
  }
}

std::vector<std::int64_t> tensor_shape(const Ort::Value& value) { return value.GetTensorTypeAndShapeInfo().GetShape(); }

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Product of the dimensions, refusing one that is still symbolic.
std::size_t element_count(const std::vector<std::int64_t>& dims) {
  std::size_t count = 1;
  for (std::int64_t d : dims) {
    if (d < 0) throw std::runtime_error("model output has a dynamic dimension");
    count *= static_cast<std::size_t>(d);
  }
  return count;
}

}  // namespace

struct OnnxEngine::Impl {
  Impl(const std::filesystem::path& manifest_path, const std::filesystem::path& public_key_path, bool require_signature,
       ExecutionProvider target, int thread_count, const ExecutionProviderList& providers);

  void create_session(ExecutionProvider target);
  InferenceResult run(const VideoFrame& frame, const std::optional<Rect>& region);
  InferenceResult warmup();
  std::vector<float> extract_float_values(const Ort::Value& value) const;

  Ort::Env env;
  Ort::SessionOptions session_options;
  std::unique_ptr<Ort::Session> session;
  ModelManifest manifest;
  std::filesystem::path model_path;
  // What the package check hashed; every session, the CPU fall-back's included, is built from it.
  std::string model_bytes;
  RtmdetPreprocessor preprocessor;
  DetectionDecoder decoder;
  std::vector<std::string> input_names;
  std::vector<std::string> output_names;
  std::vector<const char*> input_name_ptrs;
  std::vector<const char*> output_name_ptrs;
  // Fixed at construction: the engine never changes its provider, so the accessors need no lock.
  ExecutionProvider provider = ExecutionProvider::cpu;
  std::int32_t threads = 1;
};

OnnxEngine::Impl::Impl(const std::filesystem::path& manifest_path, const std::filesystem::path& public_key_path,
                       bool require_signature, ExecutionProvider target, int thread_count,
                       const ExecutionProviderList& providers)
    : env(ORT_LOGGING_LEVEL_WARNING, "velmo-ai"),
      manifest(load_manifest(manifest_path)),
      // The model form is checked before the package, so an unsupported export is named as such
      // even when its package would not verify.
      preprocessor(manifest),
      decoder(manifest),
      provider(target),
      threads(thread_count > 0 ? thread_count : 1) {
  VerifiedModel verified = load_verified_model(manifest_path, require_signature, public_key_path);
  if (!verified.validation.valid) {
    throw std::runtime_error("model package validation failed: " + verified.validation.error);
  }
  // Run the manifest and the model whose bytes were verified, not the first read nor the files as
  // they are now: either may have been replaced in between.
  manifest = std::move(verified.validation.manifest);
  preprocessor = RtmdetPreprocessor(manifest);
  decoder = DetectionDecoder(manifest);
  model_path = verified.validation.model_path;
  model_bytes = std::move(verified.model_bytes);

  const bool cuda_offered = cuda_provider_offered(providers);
  if (provider == ExecutionProvider::cuda) {
    if (!cuda_offered) {
      throw std::runtime_error(
          cuda_runtime_failure_message("GPU was requested but CUDAExecutionProvider is unavailable"));
    }
    try {
      create_session(ExecutionProvider::cuda);
    } catch (const std::exception& e) {
      throw std::runtime_error(
          cuda_runtime_failure_message(std::string("CUDAExecutionProvider failed to initialize: ") + e.what()));
    }
  } else {
    create_session(ExecutionProvider::cpu);
  }

  log(LogLevel::info, "inference: model loaded",
      {{"model", manifest.name},
       {"version", manifest.version},
       {"execution_provider", execution_provider_name(provider)}});
}

void OnnxEngine::Impl::create_session(ExecutionProvider target) {
  session.reset();
  input_names.clear();
  output_names.clear();
  input_name_ptrs.clear();
  output_name_ptrs.clear();

  session_options = Ort::SessionOptions();
  session_options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  session_options.SetIntraOpNumThreads(threads);
  session_options.SetInterOpNumThreads(1);
  session_options.SetCustomCreateThreadFn(&start_pool_thread);
  session_options.SetCustomJoinThreadFn(&join_pool_thread);
  // Idle pool threads would otherwise spin between requests, which arrive a few times a second
  // at most: that burnt more CPU than the model itself.
  session_options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  session_options.AddConfigEntry("session.inter_op.allow_spinning", "0");
  if (target == ExecutionProvider::cuda) {
    // Every option is set explicitly: the runtime's defaults (exhaustive search, power-of-two
    // arena growth) differ between releases.
    OrtCUDAProviderOptions cuda{};
    cuda.device_id = 0;
    cuda.cudnn_conv_algo_search = OrtCudnnConvAlgoSearchHeuristic;
    cuda.gpu_mem_limit = std::numeric_limits<std::size_t>::max();
    cuda.arena_extend_strategy = 1;
    cuda.do_copy_in_default_stream = 1;
    cuda.has_user_compute_stream = 0;
    cuda.user_compute_stream = nullptr;
    cuda.default_memory_arena_cfg = nullptr;
    cuda.tunable_op_enable = 0;
    cuda.tunable_op_tuning_enable = 0;
    cuda.tunable_op_max_tuning_duration_ms = 0;
    session_options.AppendExecutionProvider_CUDA(cuda);
  }

  auto next = std::make_unique<Ort::Session>(env, model_bytes.data(), model_bytes.size(), session_options);
  Ort::AllocatorWithDefaultOptions allocator;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  for (std::size_t i = 0; i < next->GetInputCount(); ++i) {
    inputs.emplace_back(next->GetInputNameAllocated(i, allocator).get());
  }
  for (std::size_t i = 0; i < next->GetOutputCount(); ++i) {
    outputs.emplace_back(next->GetOutputNameAllocated(i, allocator).get());
  }
  // Every run feeds the first input and reads the outputs: a model without either can never run.
  if (inputs.empty()) throw std::runtime_error("model has no inputs");
  if (outputs.empty()) throw std::runtime_error("model has no outputs");

  session = std::move(next);
  input_names = std::move(inputs);
  output_names = std::move(outputs);
  for (const auto& name : input_names) input_name_ptrs.push_back(name.c_str());
  for (const auto& name : output_names) output_name_ptrs.push_back(name.c_str());
}

std::vector<float> OnnxEngine::Impl::extract_float_values(const Ort::Value& value) const {
  const auto info = value.GetTensorTypeAndShapeInfo();
  const std::size_t count = info.GetElementCount();
  std::vector<float> values(count);
  switch (info.GetElementType()) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: {
      const float* data = value.GetTensorData<float>();
      std::copy(data, data + count, values.begin());
      break;
    }
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: {
      const std::int64_t* data = value.GetTensorData<std::int64_t>();
      for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>(data[i]);
      break;
    }
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: {
      const std::int32_t* data = value.GetTensorData<std::int32_t>();
      for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>(data[i]);
      break;
    }
    default: throw std::runtime_error("unsupported label tensor type: " + tensor_type_name(info.GetElementType()));
  }
  return values;
}

InferenceResult OnnxEngine::Impl::run(const VideoFrame& frame, const std::optional<Rect>& region) {
  PreparedInput prepared = preprocessor.prepare(frame, region);

  const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::int64_t shape[4] = {1, 3, manifest.input_height, manifest.input_width};
  // Wraps the prepared buffer itself; no copy.
  Ort::Value input = Ort::Value::CreateTensor<float>(memory, prepared.tensor.data(), prepared.tensor.size(), shape, 4);

  const std::int64_t t0 = steady_millis();
  std::vector<Ort::Value> outputs = session->Run(Ort::RunOptions{nullptr}, input_name_ptrs.data(), &input, 1,
                                                 output_name_ptrs.data(), output_name_ptrs.size());
  const std::int64_t t1 = steady_millis();

  InferenceResult result;
  result.latency_ms = static_cast<double>(t1 - t0);
  result.execution_provider = execution_provider_name(provider);
  result.model_name = manifest.name;
  result.model_version = manifest.version;

  std::optional<std::size_t> labels_output, scores_output, boxes_output, dets_output;
  for (std::size_t i = 0; i < output_names.size() && i < outputs.size(); ++i) {
    const std::string name = lower_ascii(output_names[i]);
    if (contains(name, "label")) {
      labels_output = i;
    } else if (contains(name, "score")) {
      scores_output = i;
    } else if (contains(name, "box") || contains(name, "bbox") || contains(name, "coords")) {
      boxes_output = i;
    } else if (contains(name, "det")) {
      dets_output = i;
    }
  }

  // Read after the main output's checks, so its faults are named first.
  std::optional<std::vector<float>> class_values;
  std::optional<std::span<const float>> class_span;
  auto read_class_values = [&] {
    if (!labels_output) return;
    class_values = extract_float_values(outputs[*labels_output]);
    class_span = std::span<const float>(*class_values);
  };

  if (dets_output || !boxes_output) {
    const Ort::Value& dets = outputs[dets_output.value_or(0)];
    const std::vector<std::int64_t> dims = tensor_shape(dets);
    const std::size_t count = element_count(dims);
    std::size_t cols = 6;
    std::size_t rows = 0;
    if (!dims.empty()) {
      cols = static_cast<std::size_t>(dims.back());
      if (cols != 5 && cols != 6) {
        throw std::runtime_error("end-to-end detections output must have 5 or 6 columns");
      }
      rows = count / cols;
    }
    const auto type = dets.GetTensorTypeAndShapeInfo().GetElementType();
    if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
      throw std::runtime_error("unsupported tensor type: " + tensor_type_name(type));
    }
    const float* data = dets.GetTensorData<float>();
    const std::vector<float> values(data, data + rows * cols);
    read_class_values();
    result.detections = decoder.decode_end2end(values, rows, cols, class_span, prepared, frame.width, frame.height);
  } else {
    const Ort::Value& boxes = outputs[*boxes_output];
    const std::vector<std::int64_t> dims = tensor_shape(boxes);
    if (dims.empty() || dims.back() != 4) throw std::runtime_error("boxes output must end with 4 coordinates");
    const std::size_t n = element_count(dims) / 4;
    const auto type = boxes.GetTensorTypeAndShapeInfo().GetElementType();
    if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
      throw std::runtime_error("unsupported tensor type: " + tensor_type_name(type));
    }
    const float* box_values = boxes.GetTensorData<float>();
    std::vector<float> scores;
    if (scores_output) scores = extract_float_values(outputs[*scores_output]);
    if (n > scores.size()) throw std::runtime_error("model requires scores output alongside boxes output");
    read_class_values();
    std::vector<float> packed;
    packed.reserve(n * 5);
    for (std::size_t i = 0; i < n; ++i) {
      packed.insert(packed.end(), box_values + i * 4, box_values + i * 4 + 4);
      packed.push_back(scores[i]);
    }
    result.detections = decoder.decode_end2end(packed, n, 5, class_span, prepared, frame.width, frame.height);
  }
  return result;
}

InferenceResult OnnxEngine::Impl::warmup() {
  VideoFrame frame;
  frame.width = 64;
  frame.height = 64;
  frame.pixels.assign(std::size_t{64} * 64 * 3, 0);
  try {
    return run(frame, std::nullopt);
  } catch (const std::exception& e) {
    if (provider != ExecutionProvider::cuda) throw;
    throw std::runtime_error(
        cuda_runtime_failure_message(std::string("CUDAExecutionProvider warmup failed: ") + e.what()));
  }
}

OnnxEngine::OnnxEngine(const std::filesystem::path& manifest_path, const std::filesystem::path& public_key_path,
                       bool require_signature, ExecutionProvider provider, int threads,
                       const ExecutionProviderList& providers)
    : impl_(std::make_unique<Impl>(manifest_path, public_key_path, require_signature, provider, threads, providers)) {}

OnnxEngine::~OnnxEngine() = default;

void OnnxEngine::warmup() {
  const InferenceResult result = impl_->warmup();
  char latency[64];
  std::snprintf(latency, sizeof latency, "%f", result.latency_ms);
  log(LogLevel::info, "inference: model warmup completed",
      {{"latency_ms", latency}, {"execution_provider", result.execution_provider}});
}

InferenceResult OnnxEngine::detect(const VideoFrame& frame, const std::optional<Rect>& region) {
  return impl_->run(frame, region);
}

std::string OnnxEngine::execution_provider() const { return execution_provider_name(impl_->provider); }
std::string OnnxEngine::model_name() const { return impl_->manifest.name; }
std::string OnnxEngine::model_version() const { return impl_->manifest.version; }

std::vector<std::string> available_execution_providers() {
  // Ort::GetAvailableProviders copies the names and releases the runtime's list itself.
  return Ort::GetAvailableProviders();
}

bool cuda_provider_offered(const ExecutionProviderList& providers) {
  const std::vector<std::string> offered = providers ? providers() : available_execution_providers();
  const char* cuda = execution_provider_name(ExecutionProvider::cuda);
  return std::find(offered.begin(), offered.end(), cuda) != offered.end();
}

}  // namespace velmo::ai
