#include "tests/support/test_models.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "foundation/sha256.h"
#include "foundation/signature.h"
#include "tests/support/test_support.h"

namespace velmo::ai::test {
namespace {

namespace fs = std::filesystem;

const char* kGenerator = VELMO_SOURCE_DIR "/models/make_models.py";

// Holds an exclusive flock for its lifetime, so only one test process runs the generator.
class FileLock {
 public:
  explicit FileLock(const fs::path& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error("cannot open lock file " + path.string());
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) throw std::runtime_error("cannot lock " + path.string());
    }
  }
  ~FileLock() { ::close(fd_); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

fs::path make_models_dir() {
  // A new generator version gets a new folder, so a stale cache is never used.
  const std::string script = read_file(kGenerator);
  std::ostringstream key;
  key << std::hex << std::hash<std::string>{}(script);
  const fs::path base = fs::path(VELMO_BINARY_DIR) / "test-models";
  fs::create_directories(base);
  const fs::path dir = base / key.str();
  FileLock lock(base / ".lock");
  // models.json is written last, so its presence means the folder is complete.
  if (fs::exists(dir / "models.json")) return dir;
  // Every test process reads the same generator, so folders of earlier versions are unused.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(base, ec)) {
    if (entry.is_directory() && entry.path() != dir) fs::remove_all(entry.path(), ec);
  }
  ProcessOptions options;
  options.timeout = std::chrono::milliseconds(300000);
  const ProcessResult result =
      run_process({"/usr/bin/python3", kGenerator, "--out", dir.string(), "--hog-weights", VELMO_HOG_WEIGHTS_BIN},
                  options);
  if (result.exit_code != 0 || !fs::exists(dir / "models.json")) {
    throw std::runtime_error("model generator failed (status " + std::to_string(result.exit_code) + "): " + result.err);
  }
  return dir;
}

const Json& models_index() {
  static const Json index = parse_json(read_file(generated_models_dir() / "models.json"));
  return index;
}

void write_hex_key(const fs::path& path, std::span<const uint8_t> key) { write_file(path, bytes_to_hex(key) + "\n"); }

}  // namespace

fs::path generated_models_dir() {
  static std::once_flag once;
  static fs::path dir;
  std::call_once(once, [] { dir = make_models_dir(); });
  return dir;
}

fs::path generated_model(const std::string& name) {
  const fs::path path = generated_models_dir() / (name + ".onnx");
  if (!fs::exists(path)) throw std::invalid_argument("no generated model named " + name);
  return path;
}

Json default_manifest(const std::string& model_name) {
  const Json& index = models_index();
  if (!index.contains(model_name)) throw std::invalid_argument("no generated model named " + model_name);
  // The generator is the one place that knows which manifest fits each model.
  Json manifest = index.at(model_name).at("manifest");
  manifest["sha256"] = "";
  return manifest;
}

ModelPackage write_signed_package(const fs::path& dir, const std::string& model_name, const Json& overrides) {
  fs::create_directories(dir);
  ModelPackage package;
  package.dir = dir;
  package.manifest = dir / "manifest.json";
  package.model = dir / (model_name + ".onnx");
  package.signature = dir / "manifest.sig";
  package.public_key = dir / "public.key";
  package.secret_key = dir / "secret.key";

  // A private copy: tests may damage it without touching the shared cache.
  fs::copy_file(generated_model(model_name), package.model, fs::copy_options::overwrite_existing);

  package.manifest_json = default_manifest(model_name);
  package.manifest_json["sha256"] = sha256_hex(sha256_file(package.model));
  for (const auto& [key, value] : overrides.items()) {
    if (value.is_null()) {
      package.manifest_json.erase(key);
    } else {
      package.manifest_json[key] = value;
    }
  }

  const SigningKeyPair keys = generate_signing_keypair();
  write_hex_key(package.public_key, keys.public_key);
  write_hex_key(package.secret_key, keys.secret_key);
  sign_manifest(package);
  return package;
}

void sign_manifest(const ModelPackage& package) {
  const std::string text = package.manifest_json.dump(2) + "\n";
  write_file(package.manifest, text);
  const std::array<uint8_t, 64> secret = read_secret_key_file(package.secret_key);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const std::array<uint8_t, 64> signature = sign_bytes(std::span<const uint8_t>(bytes, text.size()), secret);
  write_file(package.signature, std::string(signature.begin(), signature.end()));
}

VideoFrame frame_with_rectangle(int width, int height, int x0, int y0, int x1, int y1,
                                std::array<std::uint8_t, 3> bgr) {
  VideoFrame frame;
  frame.sequence = 1;
  frame.width = width;
  frame.height = height;
  frame.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 3, 0);
  for (int y = std::max(0, y0); y < std::min(height, y1); ++y) {
    for (int x = std::max(0, x0); x < std::min(width, x1); ++x) {
      const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
      frame.pixels[at] = bgr[0];
      frame.pixels[at + 1] = bgr[1];
      frame.pixels[at + 2] = bgr[2];
    }
  }
  return frame;
}

}  // namespace velmo::ai::test
