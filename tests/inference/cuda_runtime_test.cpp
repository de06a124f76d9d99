#include "inference/cuda_runtime.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

namespace fs = std::filesystem;

// The probe looks at the installation root of the running executable, so the cases below run a
// link or copy of this test program placed in a temporary root. Started with this variable set,
// the program prints the probe result and the failure message and exits before any test runs.
constexpr const char* kChildVariable = "VELMO_CUDA_PROBE_CHILD";

const bool child_mode_checked = [] {
  const char* details = std::getenv(kChildVariable);
  if (details == nullptr) return false;
  std::string out = cuda_runtime_pack_installed() ? "1\n" : "0\n";
  out += cuda_runtime_failure_message(details);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  std::_Exit(0);
}();

const std::array<std::string, 7> kPackFiles = {
    "libonnxruntime_providers_cuda.so",
    "libcudart.so.12",
    "libcublas.so.12",
    "libcublasLt.so.12",
    "libcufft.so.11",
    "libcudnn.so.9",
    "libcurand.so.10",
};

const std::string kMismatch =
    "The installed VELMO CUDA Runtime Pack could not be used. Verify that the pack matches ONNX "
    "Runtime 1.20.1, CUDA 12 and cuDNN 9, and that the NVIDIA driver supports CUDA 12.";
const std::string kHint =
    "Download the official VELMO CUDA Runtime Pack for Linux and extract the archive into the "
    "velmo-ai installation root so that lib/ contains the CUDA provider and runtime libraries.";
const std::string kUnavailable = "CUDA GPU runtime is unavailable. " + kHint;

struct ProbeOutcome {
  bool installed = false;
  std::string message;
};

// An installation root R with R/bin/velmo-probe being this test program.
class InstallRoot {
 public:
  InstallRoot() {
    fs::create_directories(dir_.path() / "bin");
    const fs::path self = fs::read_symlink("/proc/self/exe");
    std::error_code ec;
    fs::create_hard_link(self, program(), ec);
    if (ec) fs::copy_file(self, program());
  }
  fs::path root() const { return dir_.path(); }
  fs::path lib() const { return dir_.path() / "lib"; }
  fs::path program() const { return dir_.path() / "bin" / "velmo-probe"; }

  void write_pack() {
    fs::create_directories(lib());
    for (const auto& name : kPackFiles) test::write_file(lib() / name, "ELF");
  }

  ProbeOutcome probe(const std::string& details = "", fs::path via = {}) const {
    if (via.empty()) via = program();
    test::ProcessOptions options;
    options.env[kChildVariable] = details;
    options.timeout = std::chrono::milliseconds(30000);
    const test::ProcessResult result = test::run_process({via.string()}, options);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    ProbeOutcome outcome;
    const auto newline = result.out.find('\n');
    if (newline == std::string::npos) {
      ADD_FAILURE() << "unexpected probe output: " << result.out;
      return outcome;
    }
    outcome.installed = result.out.substr(0, newline) == "1";
    outcome.message = result.out.substr(newline + 1);
    return outcome;
  }

 private:
  test::TempDir dir_;
};

TEST(CudaRuntimePack, AllSevenFilesMakeThePackInstalled) {
  InstallRoot root;
  root.write_pack();
  const ProbeOutcome outcome = root.probe("x");
  EXPECT_TRUE(outcome.installed);
  EXPECT_EQ(outcome.message, kMismatch + " Details: x");
  EXPECT_EQ(root.probe("").message, kMismatch);
}

TEST(CudaRuntimePack, AnyMissingFileMeansNotInstalled) {
  for (const auto& missing : kPackFiles) {
    SCOPED_TRACE(missing);
    InstallRoot root;
    root.write_pack();
    fs::remove(root.lib() / missing);
    const ProbeOutcome outcome = root.probe("GPU was requested but CUDAExecutionProvider is unavailable");
    EXPECT_FALSE(outcome.installed);
    EXPECT_EQ(outcome.message, kUnavailable + " Details: GPU was requested but CUDAExecutionProvider is unavailable");
  }
}

TEST(CudaRuntimePack, EntriesThatAreNotRegularFilesDoNotCount) {
  const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> replacements = {
      {"directory", [](const fs::path& p) { fs::create_directory(p); }},
      {"dangling link", [](const fs::path& p) { fs::create_symlink(p.parent_path() / "gone.so", p); }},
      {"link to a directory", [](const fs::path& p) { fs::create_directory_symlink(p.parent_path(), p); }},
  };
  for (const auto& [what, replace] : replacements) {
    SCOPED_TRACE(what);
    InstallRoot root;
    root.write_pack();
    fs::remove(root.lib() / "libcudnn.so.9");
    replace(root.lib() / "libcudnn.so.9");
    const ProbeOutcome outcome = root.probe();
    EXPECT_FALSE(outcome.installed);
    EXPECT_EQ(outcome.message, kUnavailable);
  }
}

TEST(CudaRuntimePack, LinksToRegularFilesAndALinkedLibFolderCount) {
  InstallRoot root;
  test::TempDir elsewhere;
  for (const auto& name : kPackFiles) test::write_file(elsewhere / name, "ELF");
  fs::create_directory_symlink(elsewhere.path(), root.lib());
  EXPECT_TRUE(root.probe().installed);

  InstallRoot linked_files;
  fs::create_directories(linked_files.lib());
  for (const auto& name : kPackFiles) fs::create_symlink(elsewhere / name, linked_files.lib() / name);
  EXPECT_TRUE(linked_files.probe().installed);
}

TEST(CudaRuntimePack, MissingLibFolderOrLibFileInsteadOfFolder) {
  InstallRoot root;
  EXPECT_FALSE(root.probe().installed);
  test::write_file(root.lib(), "not a folder");
  EXPECT_FALSE(root.probe().installed);
}

TEST(CudaRuntimePack, ProgramStartedThroughALinkUsesItsRealRoot) {
  InstallRoot real;
  real.write_pack();
  test::TempDir other;
  fs::create_directories(other / "bin");
  fs::create_symlink(real.program(), other.path() / "bin" / "velmo-probe");
  EXPECT_TRUE(real.probe("", other.path() / "bin" / "velmo-probe").installed);

  // And the other way round: a link inside an installed root does not borrow its pack.
  InstallRoot bare;
  fs::create_symlink(bare.program(), real.root() / "bin" / "bare-link");
  EXPECT_FALSE(bare.probe("", real.root() / "bin" / "bare-link").installed);
}

TEST(CudaRuntimePack, InstallingAndRemovingTakesEffectOnTheNextCall) {
  InstallRoot root;
  EXPECT_FALSE(root.probe().installed);
  root.write_pack();
  EXPECT_TRUE(root.probe().installed);
  fs::remove(root.lib() / "libcurand.so.10");
  EXPECT_FALSE(root.probe().installed);
}

TEST(CudaRuntimePack, InstallHintAndMessageWithoutDetails) {
  EXPECT_EQ(cuda_runtime_install_hint(), kHint);
  const std::string message = cuda_runtime_failure_message("");
  // This build tree has no pack beside the test program.
  EXPECT_EQ(message, cuda_runtime_pack_installed() ? kMismatch : kUnavailable);
  EXPECT_EQ(message.back(), '.');
}

}  // namespace
}  // namespace velmo::ai
