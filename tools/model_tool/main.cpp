// velmo-ai-model-tool: makes Ed25519 key files, signs and verifies manifests, and prints the
// SHA-256 of the model file a manifest names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/sha256.h"
#include "foundation/signature.h"
#include "inference/manifest.h"

namespace velmo::ai {
namespace {

namespace fs = std::filesystem;
using Options = std::map<std::string, std::string>;

constexpr int kFailure = 1;
constexpr int kNotVerified = 2;

void usage() {
  std::cout << "Usage:\n"
               "  velmo-ai-model-tool keygen --secret <path> --public <path>\n"
               "  velmo-ai-model-tool sign --secret <path> --manifest <path> --output <path>\n"
               "  velmo-ai-model-tool verify --public <path> --manifest <path> --signature <path>\n"
               "  velmo-ai-model-tool hash --manifest <path>\n";
}

std::string required(const Options& options, const std::string& key) {
  auto it = options.find(key);
  if (it == options.end() || it->second.empty()) throw std::invalid_argument("--" + key + " is required");
  return it->second;
}

[[noreturn]] void refuse(const fs::path& path) {
  throw std::runtime_error("refusing to overwrite existing file: " + path.native());
}

void require_new_file(const fs::path& path) {
  // Links followed: a dangling link counts as no file; any other failure of the query passes out.
  if (fs::exists(fs::status(path))) refuse(path);
}

// Where a new file at `path` is created: a dangling symbolic link is followed to its target,
// because exclusive creation refuses the link itself.
fs::path creation_target(fs::path path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    fs::path target = fs::read_symlink(path);
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// Creates `path` as a new file with `mode` (before the umask) and writes `bytes` into it. The
// exclusive create never replaces a file, even one that appeared after require_new_file looked.
void write_new_file(const fs::path& path, std::span<const char> bytes, mode_t mode) {
  int fd = ::open(creation_target(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    if (errno == EEXIST) refuse(path);
    throw std::runtime_error("cannot create file: " + path.native());
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (!ok) throw std::runtime_error("cannot write file: " + path.native());
}

void write_hex(const fs::path& path, std::span<const uint8_t> bytes, mode_t mode) {
  require_new_file(path);
  std::string text = bytes_to_hex(bytes) + "\n";
  write_new_file(path, text, mode);
}

int keygen(const Options& options) {
  SigningKeyPair pair = generate_signing_keypair();
  std::string secret = required(options, "secret");
  std::string public_key = required(options, "public");
  // The secret key is private from the moment it exists: owner read and write only.
  write_hex(secret, pair.secret_key, S_IRUSR | S_IWUSR);
  write_hex(public_key, pair.public_key, 0666);
  std::cout << "Created Ed25519 signing keys\n"
            << "Secret: " << secret << "\n"
            << "Public: " << public_key << "\n"
            << "Keep the secret file offline and outside the repository.\n";
  return 0;
}

int sign(const Options& options) {
  std::string secret = required(options, "secret");
  std::string manifest = required(options, "manifest");
  std::string output = required(options, "output");
  auto secret_key = read_secret_key_file(secret);
  auto bytes = read_binary_file(manifest);
  auto signature = sign_bytes(bytes, secret_key);
  require_new_file(output);
  write_new_file(output, std::span<const char>(reinterpret_cast<const char*>(signature.data()), signature.size()),
                 0666);
  std::cout << "Created signature: " << output << "\n";
  return 0;
}

int verify(const Options& options) {
  std::string public_path = required(options, "public");
  std::string manifest = required(options, "manifest");
  std::string signature_path = required(options, "signature");
  auto public_key = read_public_key_file(public_path);
  auto bytes = read_binary_file(manifest);
  auto signature = read_signature_file(signature_path);
  if (!verify_signature(bytes, signature, public_key)) {
    std::cerr << "Signature verification failed\n";
    return kNotVerified;
  }
  std::cout << "Signature verified\n";
  return 0;
}

int hash(const Options& options) {
  fs::path manifest_path = required(options, "manifest");
  ModelManifest manifest = load_manifest(manifest_path);
  std::cout << sha256_hex(sha256_file(manifest_model_path(manifest_path, manifest))) << "\n";
  return 0;
}

int run(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  Options options;
  for (size_t i = 1; i < args.size(); i += 2) {
    const std::string& option = args[i];
    if (option.size() < 2 || option.compare(0, 2, "--") != 0 || i + 1 >= args.size()) {
      throw std::invalid_argument("invalid argument: " + option);
    }
    options[option.substr(2)] = args[i + 1];
  }
  if (command == "keygen") return keygen(options);
  if (command == "sign") return sign(options);
  if (command == "verify") return verify(options);
  if (command == "hash") return hash(options);
  throw std::invalid_argument("unknown command: " + command);
}

}  // namespace
}  // namespace velmo::ai

int main(int argc, char** argv) {
  if (argc < 2) {
    velmo::ai::usage();
    return velmo::ai::kFailure;
  }
  if (const std::string word = argv[1]; word == "--help" || word == "-h") {
    velmo::ai::usage();
    return 0;
  }
  try {
    return velmo::ai::run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "velmo-ai-model-tool: " << e.what() << "\n";
    velmo::ai::usage();
    return velmo::ai::kFailure;
  }
}
