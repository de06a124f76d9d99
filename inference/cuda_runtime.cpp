#include "inference/cuda_runtime.h"

#include <array>
#include <filesystem>
#include <system_error>

namespace velmo::ai {
namespace {

namespace fs = std::filesystem;

constexpr std::array<const char*, 7> kPackFiles = {
    "libonnxruntime_providers_cuda.so",
    "libcudart.so.12",
    "libcublas.so.12",
    "libcublasLt.so.12",
    "libcufft.so.11",
    "libcudnn.so.9",
    "libcurand.so.10",
};

constexpr const char* kMismatchText =
    "The installed VELMO CUDA Runtime Pack could not be used. Verify that the pack matches ONNX "
    "Runtime 1.20.1, CUDA 12 and cuDNN 9, and that the NVIDIA driver supports CUDA 12.";
constexpr const char* kUnavailablePrefix = "CUDA GPU runtime is unavailable. ";
constexpr const char* kInstallHint =
    "Download the official VELMO CUDA Runtime Pack for Linux and extract the archive into the "
    "velmo-ai installation root so that lib/ contains the CUDA provider and runtime libraries.";
constexpr const char* kDetailsSeparator = " Details: ";

}  // namespace

bool cuda_runtime_pack_installed() {
  std::error_code ec;
  // /proc/self/exe is the real executable, so a program started through a link still finds
  // the pack of its own installation.
  const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
  if (ec || executable.empty()) return false;
  const fs::path lib = executable.parent_path().parent_path() / "lib";

  // status() follows links: a link to a regular file counts as the file.
  const fs::file_status lib_status = fs::status(lib, ec);
  if (ec || !fs::is_directory(lib_status)) return false;
  for (const char* name : kPackFiles) {
    const fs::file_status file_status = fs::status(lib / name, ec);
    if (ec || !fs::is_regular_file(file_status)) return false;
  }
  return true;
}

std::string cuda_runtime_install_hint() { return kInstallHint; }

std::string cuda_runtime_failure_message(const std::string& details) {
  std::string text;
  if (cuda_runtime_pack_installed()) {
    text = kMismatchText;
  } else {
    text = kUnavailablePrefix;
    text += kInstallHint;
  }
  if (!details.empty()) {
    text += kDetailsSeparator;
    text += details;
  }
  return text;
}

}  // namespace velmo::ai
