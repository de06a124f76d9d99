#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/sha256.h"
#include "foundation/signature.h"
#include "inference/manifest.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

namespace fs = std::filesystem;

const std::string kUsage =
    "Usage:\n"
    "  velmo-ai-model-tool keygen --secret <path> --public <path>\n"
    "  velmo-ai-model-tool sign --secret <path> --manifest <path> --output <path>\n"
    "  velmo-ai-model-tool verify --public <path> --manifest <path> --signature <path>\n"
    "  velmo-ai-model-tool hash --manifest <path>\n";

class ModelTool : public ::testing::Test {
 protected:
  // Runs the tool in the test's temporary folder, so relative paths land there.
  test::ProcessResult tool(std::vector<std::string> args) {
    args.insert(args.begin(), VELMO_MODEL_TOOL_BIN);
    test::ProcessOptions options;
    options.cwd = dir_.path();
    return test::run_process(args, options);
  }

  // Expects the failure form: prefixed message on standard error, usage on standard output.
  void expect_failure(const test::ProcessResult& r, const std::string& message) {
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "velmo-ai-model-tool: " + message + "\n");
    EXPECT_EQ(r.out, kUsage);
  }

  void keygen(const std::string& secret = "secret.key", const std::string& pub = "public.key") {
    auto r = tool({"keygen", "--secret", secret, "--public", pub});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  fs::path path(const std::string& name) const { return dir_ / name; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir dir_;
};

TEST_F(ModelTool, NoArgumentsPrintsOnlyTheUsage) {
  auto r = tool({});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, "");
}

TEST_F(ModelTool, HelpPrintsTheUsage) {
  for (const std::string word : {"--help", "-h"}) {
    auto r = tool({word, "--secret", "x"});
    EXPECT_EQ(r.exit_code, 0) << word;
    EXPECT_EQ(r.out, kUsage) << word;
    EXPECT_EQ(r.err, "") << word;
  }
}

TEST_F(ModelTool, KeygenWritesKeyFilesInTheirFormatWithAPrivateSecret) {
  fs::create_directory(path("keys"));
  auto r = tool({"keygen", "--secret", "./keys//s.key", "--public", "keys/p.key"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Created Ed25519 signing keys\n"
            "Secret: ./keys//s.key\n"
            "Public: keys/p.key\n"
            "Keep the secret file offline and outside the repository.\n");
  std::string secret_text = test::read_file(path("keys/s.key"));
  std::string public_text = test::read_file(path("keys/p.key"));
  ASSERT_EQ(secret_text.size(), 129u);
  ASSERT_EQ(public_text.size(), 65u);
  EXPECT_EQ(secret_text.find_first_not_of("0123456789abcdef"), 128u);
  EXPECT_EQ(secret_text.back(), '\n');
  EXPECT_EQ(public_text.find_first_not_of("0123456789abcdef"), 64u);
  EXPECT_EQ(public_text.back(), '\n');
  auto secret = read_secret_key_file(path("keys/s.key"));
  auto pub = read_public_key_file(path("keys/p.key"));
  EXPECT_TRUE(std::equal(pub.begin(), pub.end(), secret.begin() + 32));

  struct stat st {};
  ASSERT_EQ(::stat(path("keys/s.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ModelTool, SignVerifyAndTampering) {
  keygen();
  const std::string manifest = "{\"name\": \"det\"}\n";
  test::write_file(path("manifest.json"), manifest);
  auto r = tool({"sign", "--secret", "secret.key", "--manifest", "manifest.json", "--output", "manifest.sig"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Created signature: manifest.sig\n");
  std::string sig = test::read_file(path("manifest.sig"));
  ASSERT_EQ(sig.size(), 64u);
  std::array<uint8_t, 64> sig_bytes{};
  std::copy(sig.begin(), sig.end(), sig_bytes.begin());
  EXPECT_TRUE(verify_signature({reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size()}, sig_bytes,
                               read_public_key_file(path("public.key"))));

  const std::vector<std::string> verify = {"verify",        "--public",    "public.key",  "--manifest",
                                           "manifest.json", "--signature", "manifest.sig"};
  r = tool(verify);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Signature verified\n");
  EXPECT_EQ(r.err, "");

  auto expect_not_verified = [&](const std::string& what) {
    auto result = tool(verify);
    EXPECT_EQ(result.exit_code, 2) << what;
    EXPECT_EQ(result.err, "Signature verification failed\n") << what;
    EXPECT_EQ(result.out, "") << what;
  };
  for (size_t i : {size_t{0}, manifest.size() - 1}) {
    std::string changed = manifest;
    changed[i] = changed[i] == ' ' ? '\t' : ' ';
    test::write_file(path("manifest.json"), changed);
    expect_not_verified("manifest byte " + std::to_string(i));
  }
  test::write_file(path("manifest.json"), manifest);
  std::string changed_sig = sig;
  changed_sig[33] ^= 0x01;
  test::write_file(path("manifest.sig"), changed_sig);
  expect_not_verified("signature byte");
  test::write_file(path("manifest.sig"), sig);

  keygen("other.key", "other.pub");
  r = tool({"verify", "--public", "other.pub", "--manifest", "manifest.json", "--signature", "manifest.sig"});
  EXPECT_EQ(r.exit_code, 2);

  for (size_t size : {63u, 65u}) {
    test::write_file(path("bad.sig"), std::string(size, 'x'));
    r = tool({"verify", "--public", "public.key", "--manifest", "manifest.json", "--signature", "bad.sig"});
    expect_failure(r, "signature file must contain exactly 64 bytes");
  }
  r = tool({"verify", "--public", "public.key", "--manifest", "missing.json", "--signature", "manifest.sig"});
  expect_failure(r, "cannot open file: missing.json");
  r = tool({"verify", "--public", "secret.key", "--manifest", "manifest.json", "--signature", "manifest.sig"});
  expect_failure(r, "key file has an unexpected size");
}

TEST_F(ModelTool, HashBuildsAPackageThatValidates) {
  keygen();
  fs::create_directory(path("pkg"));
  std::string model(100000, '\0');
  for (size_t i = 0; i < model.size(); ++i) model[i] = static_cast<char>(i * 7);
  test::write_file(path("pkg/model.onnx"), model);
  test::write_file(path("model.onnx"), "a different file in the working directory");
  // The first manifest of a package holds an empty digest, which hashing fills in.
  std::string skeleton = R"({"name": "det", "version": "1", "file": "model.onnx", "sha256": ""})";
  test::write_file(path("pkg/manifest.json"), skeleton);

  auto r = tool({"hash", "--manifest", "pkg/manifest.json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto sum = test::run_process({"sha256sum", path("pkg/model.onnx").string()});
  ASSERT_EQ(sum.exit_code, 0);
  EXPECT_EQ(r.out, sum.out.substr(0, 64) + "\n");

  std::string digest = r.out.substr(0, 64);
  test::write_file(path("pkg/manifest.json"), R"({"name": "det", "version": "1", "file": "model.onnx", "sha256": ")" +
                                                  digest + R"(", "signature_file": "manifest.sig"})" + "\n");
  r = tool({"sign", "--secret", "secret.key", "--manifest", "pkg/manifest.json", "--output", "pkg/manifest.sig"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ModelValidation v = validate_model_package(path("pkg/manifest.json"), true, path("public.key"));
  EXPECT_TRUE(v.valid) << v.error;
  EXPECT_EQ(v.sha256, digest);
}

TEST_F(ModelTool, HashNeedsAValidManifestButAnyFileCanBeSigned) {
  keygen();
  test::write_file(path("broken.json"), "not json");
  auto r = tool({"sign", "--secret", "secret.key", "--manifest", "broken.json", "--output", "broken.sig"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  r = tool({"verify", "--public", "public.key", "--manifest", "broken.json", "--signature", "broken.sig"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  r = tool({"hash", "--manifest", "broken.json"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("velmo-ai-model-tool: invalid JSON: ", 0), 0u) << r.err;
  EXPECT_EQ(r.out, kUsage);

  test::write_file(path("m.json"), R"({"name": "det", "version": "1", "file": "gone.onnx", "sha256": "0"})");
  expect_failure(tool({"hash", "--manifest", "m.json"}), "cannot open file for SHA-256: gone.onnx");
  fs::create_directory(path("dir.onnx"));
  test::write_file(path("d.json"), R"({"name": "det", "version": "1", "file": "dir.onnx", "sha256": "0"})");
  expect_failure(tool({"hash", "--manifest", "d.json"}), "cannot read file for SHA-256: dir.onnx");
  test::write_file(path("w.json"), R"({"name": "det", "version": "1", "file": "x", "sha256": "0", "input_width": 8})");
  expect_failure(tool({"hash", "--manifest", "w.json"}), "model input dimensions must be at least 32");
  expect_failure(tool({"hash", "--manifest", "none.json"}), "cannot open model manifest: none.json");
}

TEST_F(ModelTool, ArgumentErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"keygen"}, "--secret is required"},
      {{"keygen", "--secret"}, "invalid argument: --secret"},
      {{"keygen", "secret.key", "--public"}, "invalid argument: secret.key"},
      {{"keygen", "-s", "x"}, "invalid argument: -s"},
      {{"keygen", "-", "x"}, "invalid argument: -"},
      {{"keygen", "--secret", ""}, "--secret is required"},
      {{"keygen", "--secret=a.key", "x", "--public", "b.key"}, "--secret is required"},
      {{"keygen", "--public", "b.key", "--secret=a.key"}, "invalid argument: --secret=a.key"},
      {{"bogus", "--x"}, "invalid argument: --x"},
      {{"bogus", "--x", "1"}, "unknown command: bogus"},
      {{"Keygen", "--secret", "a", "--public", "b"}, "unknown command: Keygen"},
      {{"help"}, "unknown command: help"},
      {{"sign", "--secret", "--manifest", "--output", "o"}, "--manifest is required"},
      {{"sign", "--secret", "a", "--manifest", "m"}, "--output is required"},
      {{"verify", "--manifest", "m", "--signature", "s"}, "--public is required"},
      {{"verify", "--public", "p", "--manifest", "m"}, "--signature is required"},
      {{"hash", "--", "m"}, "--manifest is required"},
      {{"hash"}, "--manifest is required"},
      {{"sign", "--secret", "missing.key", "--manifest", "m", "--output", "o"}, "cannot open key file: missing.key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    expect_failure(tool(c.args), c.message);
  }
  EXPECT_TRUE(entries().empty()) << testing::PrintToString(entries());
}

TEST_F(ModelTool, RepeatedOptionsKeepTheLastValueAndUnusedOnesAreIgnored) {
  auto r = tool({"keygen", "--secret", "first.key", "--secret", "s.key", "--public", "p.key", "--colour", "blue"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(entries(), (std::vector<std::string>{"p.key", "s.key"}));
}

TEST_F(ModelTool, NothingIsEverOverwritten) {
  test::write_file(path("taken"), "keep me");
  auto r = tool({"keygen", "--secret", "taken", "--public", "p.key"});
  expect_failure(r, "refusing to overwrite existing file: taken");
  EXPECT_EQ(test::read_file(path("taken")), "keep me");
  EXPECT_FALSE(fs::exists(path("p.key")));

  // The secret is written first and stays when the public key is refused.
  r = tool({"keygen", "--secret", "s.key", "--public", "taken"});
  expect_failure(r, "refusing to overwrite existing file: taken");
  EXPECT_EQ(test::read_file(path("s.key")).size(), 129u);
  EXPECT_EQ(test::read_file(path("taken")), "keep me");

  r = tool({"keygen", "--secret", "same.key", "--public", "same.key"});
  expect_failure(r, "refusing to overwrite existing file: same.key");
  EXPECT_EQ(test::read_file(path("same.key")).size(), 129u);

  fs::create_directory(path("folder"));
  r = tool({"keygen", "--secret", "folder", "--public", "p2.key"});
  expect_failure(r, "refusing to overwrite existing file: folder");

  test::write_file(path("m.json"), "{}");
  r = tool({"sign", "--secret", "s.key", "--manifest", "m.json", "--output", "taken"});
  expect_failure(r, "refusing to overwrite existing file: taken");
  EXPECT_EQ(test::read_file(path("taken")), "keep me");
  r = tool({"sign", "--secret", "s.key", "--manifest", "m.json", "--output", "folder"});
  expect_failure(r, "refusing to overwrite existing file: folder");
  fs::create_symlink("taken", path("link"));
  r = tool({"sign", "--secret", "s.key", "--manifest", "m.json", "--output", "link"});
  expect_failure(r, "refusing to overwrite existing file: link");
  EXPECT_EQ(test::read_file(path("taken")), "keep me");

  // Reading the key and the manifest comes before the existence test.
  r = tool({"sign", "--secret", "nokey", "--manifest", "m.json", "--output", "taken"});
  expect_failure(r, "cannot open key file: nokey");
  r = tool({"sign", "--secret", "s.key", "--manifest", "nomanifest", "--output", "taken"});
  expect_failure(r, "cannot open file: nomanifest");

  r = tool({"sign", "--secret", "s.key", "--manifest", "m.json", "--output", "no/such/dir/m.sig"});
  expect_failure(r, "cannot create file: no/such/dir/m.sig");
}

TEST_F(ModelTool, DanglingLinksAreCreatedThroughTheLink) {
  fs::create_directory(path("real"));
  fs::create_symlink("real/s.key", path("s.link"));
  fs::create_symlink(path("real/p.key"), path("p.link"));
  auto r = tool({"keygen", "--secret", "s.link", "--public", "p.link"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find("Secret: s.link\n") != std::string::npos, true) << r.out;
  EXPECT_TRUE(fs::is_symlink(path("s.link")));
  EXPECT_EQ(test::read_file(path("real/s.key")).size(), 129u);
  EXPECT_EQ(test::read_file(path("real/p.key")).size(), 65u);
  struct stat st {};
  ASSERT_EQ(::stat(path("real/s.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  test::write_file(path("m.json"), "{}");
  fs::create_symlink("real/m.sig", path("sig.link"));
  r = tool({"sign", "--secret", "s.link", "--manifest", "m.json", "--output", "sig.link"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Created signature: sig.link\n");
  EXPECT_EQ(test::read_file(path("real/m.sig")).size(), 64u);
}

TEST_F(ModelTool, LinksNeitherOnnxRuntimeNorOpenCv) {
  auto needed = test::run_process({"readelf", "-d", VELMO_MODEL_TOOL_BIN});
  ASSERT_EQ(needed.exit_code, 0) << needed.err;
  EXPECT_NE(needed.out.find("(NEEDED)"), std::string::npos);
  EXPECT_NE(needed.out.find("libsodium"), std::string::npos);
  // Also nothing pulled in further down the chain.
  auto loaded = test::run_process({"ldd", VELMO_MODEL_TOOL_BIN});
  ASSERT_EQ(loaded.exit_code, 0) << loaded.err;
  for (const auto* output : {&needed.out, &loaded.out}) {
    EXPECT_EQ(output->find("onnxruntime"), std::string::npos) << *output;
    EXPECT_EQ(output->find("opencv"), std::string::npos) << *output;
  }
}

}  // namespace
}  // namespace velmo::ai
