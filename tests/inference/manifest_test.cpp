#include "inference/manifest.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "foundation/sha256.h"
#include "foundation/signature.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

namespace fs = std::filesystem;

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

Json minimal() { return Json{{"name", "det"}, {"version", "1"}, {"file", "model.onnx"}, {"sha256", kDigest}}; }

Json with(Json base, const Json& changes) {
  for (auto it = changes.begin(); it != changes.end(); ++it) {
    if (it->is_null() && it.key().front() == '-') {
      base.erase(it.key().substr(1));
    } else {
      base[it.key()] = *it;
    }
  }
  return base;
}

std::string parse_error(const Json& value) {
  try {
    parse_manifest(value);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(ManifestParse, OnlyRequiredKeysGiveEveryDefault) {
  ModelManifest m = parse_manifest(minimal());
  EXPECT_EQ(m.name, "det");
  EXPECT_EQ(m.version, "1");
  EXPECT_EQ(m.file, "model.onnx");
  EXPECT_EQ(m.sha256, kDigest);
  EXPECT_EQ(m.signature_file, "");
  EXPECT_EQ(m.execution_provider, "cpu");
  EXPECT_EQ(m.input_width, 416);
  EXPECT_EQ(m.input_height, 416);
  EXPECT_EQ(m.color_order, "RGB");
  EXPECT_EQ(m.layout, "NCHW");
  EXPECT_TRUE(m.letterbox);
  EXPECT_EQ(m.pad_value, 114);
  EXPECT_EQ(m.pad_mode, "center");
  EXPECT_EQ(m.mean, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(m.stddev, (std::vector<double>{1, 1, 1}));
  EXPECT_TRUE(m.labels.empty());
  EXPECT_DOUBLE_EQ(m.confidence_threshold, 0.35);
  EXPECT_DOUBLE_EQ(m.nms_threshold, 0.5);
  EXPECT_EQ(m.output_format, "end2end");
  EXPECT_EQ(m.box_format, "xyxy");
  EXPECT_EQ(m.coordinate_space, "model_input");
}

TEST(ManifestParse, EveryKeyIsReadAndOnlySha256IsLowerCased) {
  ModelManifest m = parse_manifest(with(minimal(), {{"sha256", "ABCdef09"},
                                                    {"signature_file", "m.sig"},
                                                    {"execution_provider", "GPU"},
                                                    {"input_width", 640},
                                                    {"input_height", 32.0},
                                                    {"color_order", "BGR"},
                                                    {"layout", "NHWC"},
                                                    {"letterbox", false},
                                                    {"pad_value", -2147483648LL},
                                                    {"pad_mode", "top_left"},
                                                    {"mean", {1, 2.5, 3}},
                                                    {"stddev", {0.5, 2, 255}},
                                                    {"labels", {"person", "Car"}},
                                                    {"confidence_threshold", 0.01},
                                                    {"nms_threshold", 0.99},
                                                    {"output_format", "rtmdet_raw"},
                                                    {"box_format", "xywh"},
                                                    {"unknown_key", {1, 2}}}));
  EXPECT_EQ(m.sha256, "abcdef09");
  EXPECT_EQ(m.signature_file, "m.sig");
  EXPECT_EQ(m.execution_provider, "GPU");
  EXPECT_EQ(m.input_width, 640);
  EXPECT_EQ(m.input_height, 32);
  EXPECT_EQ(m.color_order, "BGR");
  EXPECT_EQ(m.layout, "NHWC");
  EXPECT_FALSE(m.letterbox);
  EXPECT_EQ(m.pad_value, -2147483647 - 1);
  EXPECT_EQ(m.pad_mode, "top_left");
  EXPECT_EQ(m.mean, (std::vector<double>{1, 2.5, 3}));
  EXPECT_EQ(m.stddev, (std::vector<double>{0.5, 2, 255}));
  EXPECT_EQ(m.labels, (std::vector<std::string>{"person", "Car"}));
  EXPECT_DOUBLE_EQ(m.confidence_threshold, 0.01);
  EXPECT_DOUBLE_EQ(m.nms_threshold, 0.99);
  EXPECT_EQ(m.output_format, "rtmdet_raw");
  EXPECT_EQ(m.box_format, "xywh");
}

TEST(ManifestParse, FailuresComeInTheirOrderWithTheirTexts) {
  const std::string type_string = "[json.exception.type_error.302] type must be string, but is ";
  const std::string type_number = "[json.exception.type_error.302] type must be number, but is ";
  struct Case {
    Json manifest;
    std::string message;
  };
  const Case cases[] = {
      {Json::array({minimal()}), "model manifest must be a JSON object"},
      {Json("text"), "model manifest must be a JSON object"},
      {with(minimal(), {{"-name", nullptr}}), "manifest is missing name"},
      {with(minimal(), {{"name", ""}, {"-version", nullptr}}), "manifest is missing version"},
      {with(minimal(), {{"-file", nullptr}}), "manifest is missing file"},
      {with(minimal(), {{"-sha256", nullptr}, {"input_width", 1}}), "manifest is missing sha256"},
      {with(minimal(), {{"Name", "x"}, {"-name", nullptr}}), "manifest is missing name"},
      {with(minimal(), {{"name", 7}}), type_string + "number"},
      {with(minimal(), {{"sha256", nullptr}}), type_string + "null"},
      {with(minimal(), {{"signature_file", nullptr}}), type_string + "null"},
      // Type checks of every key come before any value check.
      {with(minimal(), {{"name", ""}, {"coordinate_space", 1}}), type_string + "number"},
      {with(minimal(), {{"name", ""}, {"input_width", 31}}), "manifest name, version, and file are required"},
      {with(minimal(), {{"version", ""}}), "manifest name, version, and file are required"},
      {with(minimal(), {{"file", ""}}), "manifest name, version, and file are required"},
      {with(minimal(), {{"input_width", 31}}), "model input dimensions must be at least 32"},
      {with(minimal(), {{"input_height", -416}}), "model input dimensions must be at least 32"},
      {with(minimal(), {{"input_width", true}}), type_number + "boolean"},
      {with(minimal(), {{"input_width", "416"}}), type_number + "string"},
      {with(minimal(), {{"input_height", nullptr}}), type_number + "null"},
      {with(minimal(), {{"input_width", 4294967328LL}}), "manifest input_width must be a 32-bit integer"},
      {with(minimal(), {{"input_height", 416.9}}), "manifest input_height must be a 32-bit integer"},
      {with(minimal(), {{"pad_value", 2147483648LL}}), "manifest pad_value must be a 32-bit integer"},
      {with(minimal(), {{"pad_value", -2147483649LL}}), "manifest pad_value must be a 32-bit integer"},
      {with(minimal(), {{"pad_value", 18446744073709551615ULL}}), "manifest pad_value must be a 32-bit integer"},
      {with(minimal(), {{"letterbox", 1}}), "[json.exception.type_error.302] type must be boolean, but is number"},
      {with(minimal(), {{"mean", {0, 0}}, {"pad_mode", "bad"}}), "manifest mean and stddev require 3 values"},
      {with(minimal(), {{"stddev", {1, 1, 1, 1}}}), "manifest mean and stddev require 3 values"},
      {with(minimal(), {{"mean", 0}}), "[json.exception.type_error.302] type must be array, but is number"},
      {with(minimal(), {{"mean", {0, true, 0}}}), type_number + "boolean"},
      {with(minimal(), {{"stddev", {1, "1", 1}}}), type_number + "string"},
      {with(minimal(), {{"labels", {"person", 1}}}), type_string + "number"},
      {with(minimal(), {{"labels", "person"}}), "[json.exception.type_error.302] type must be array, but is string"},
      {with(minimal(), {{"pad_mode", "Center"}}), "manifest pad_mode must be center or top_left"},
      {with(minimal(), {{"pad_mode", "bad"}, {"stddev", {1, 0, 1}}}), "manifest pad_mode must be center or top_left"},
      {with(minimal(), {{"stddev", {1, 0, 1}}, {"confidence_threshold", 2}}),
       "manifest stddev values must be positive"},
      {with(minimal(), {{"stddev", {1, 1, -1}}}), "manifest stddev values must be positive"},
      {with(minimal(), {{"confidence_threshold", 0}}), "manifest thresholds must be in (0, 1)"},
      {with(minimal(), {{"confidence_threshold", 1}}), "manifest thresholds must be in (0, 1)"},
      {with(minimal(), {{"nms_threshold", 1.5}}), "manifest thresholds must be in (0, 1)"},
      {with(minimal(), {{"nms_threshold", -0.1}}), "manifest thresholds must be in (0, 1)"},
      {with(minimal(), {{"confidence_threshold", true}}), type_number + "boolean"},
      {with(minimal(), {{"nms_threshold", 0}, {"output_format", "raw"}}), "manifest thresholds must be in (0, 1)"},
      {with(minimal(), {{"output_format", "End2End"}}), "manifest output_format must be end2end or rtmdet_raw"},
      {with(minimal(), {{"box_format", "XYXY"}}), "manifest box_format must be xyxy or xywh"},
      {with(minimal(), {{"coordinate_space", "frame"}}), "phase one manifest coordinate_space must be model_input"},
      {with(minimal(), {{"coordinate_space", " model_input"}}),
       "phase one manifest coordinate_space must be model_input"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(parse_error(cases[i].manifest), cases[i].message) << "case " << i << ": " << cases[i].manifest.dump();
  }
  EXPECT_THROW(parse_manifest(with(minimal(), {{"input_width", 31}})), std::invalid_argument);
  EXPECT_EQ(parse_manifest(with(minimal(), {{"input_width", 32}})).input_width, 32);
  EXPECT_EQ(parse_manifest(with(minimal(), {{"pad_value", 2147483647}})).pad_value, 2147483647);
}

TEST(ManifestLoad, FileFailuresAndSuccess) {
  test::TempDir dir;
  auto missing = dir / "missing.json";
  try {
    load_manifest(missing);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot open model manifest: " + missing.native());
  }
  EXPECT_THROW(load_manifest(dir.path()), std::runtime_error);

  test::write_file(dir / "empty.json", "");
  try {
    load_manifest(dir / "empty.json");
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind("invalid JSON: ", 0), 0u) << e.what();
  }
  test::write_file(dir / "comment.json", "// c\n" + minimal().dump());
  EXPECT_THROW(load_manifest(dir / "comment.json"), std::invalid_argument);

  test::write_file(dir / "ok.json", minimal().dump(2));
  EXPECT_EQ(load_manifest(dir / "ok.json").file, "model.onnx");
}

TEST(ManifestModelPath, RelativeFilesSitNextToTheManifest) {
  ModelManifest m;
  m.file = "models/det.onnx";
  EXPECT_EQ(manifest_model_path("/opt/pkg/manifest.json", m), fs::path("/opt/pkg/models/det.onnx"));
  EXPECT_EQ(manifest_model_path("manifest.json", m), fs::path("models/det.onnx"));
  m.file = "../det.onnx";
  EXPECT_EQ(manifest_model_path("/opt/pkg/manifest.json", m), fs::path("/opt/pkg/../det.onnx"));
  m.file = "/srv/det.onnx";
  EXPECT_EQ(manifest_model_path("/opt/pkg/manifest.json", m), fs::path("/srv/det.onnx"));
}

// A package in a temporary folder, signed with the project's own functions.
class PackageCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    test::write_file(dir_ / "model.onnx", model_bytes_);
    digest_ = sha256_hex(sha256_file(dir_ / "model.onnx"));
    keys_ = generate_signing_keypair();
    test::write_file(public_key(), bytes_to_hex(keys_.public_key) + "\n");
    write_manifest(with(minimal(), {{"sha256", digest_}, {"signature_file", "manifest.sig"}}));
  }

  // Writes the manifest text and its signature.
  void write_manifest(const Json& document, const std::string& suffix = "\n") {
    manifest_text_ = document.dump(2) + suffix;
    test::write_file(manifest(), manifest_text_);
    auto sig =
        sign_bytes({reinterpret_cast<const uint8_t*>(manifest_text_.data()), manifest_text_.size()}, keys_.secret_key);
    test::write_file(dir_ / "manifest.sig", std::string(sig.begin(), sig.end()));
  }

  fs::path manifest() const { return dir_ / "manifest.json"; }
  fs::path public_key() const { return dir_ / "public.key"; }
  ModelValidation check(bool require = true) const { return validate_model_package(manifest(), require, public_key()); }

  test::TempDir dir_;
  std::string model_bytes_ = std::string("onnx model bytes\0\x01\x02", 19);
  std::string digest_;
  std::string manifest_text_;
  SigningKeyPair keys_;
};

TEST_F(PackageCheck, SignedPackageValidates) {
  ModelValidation v = check();
  EXPECT_TRUE(v.valid) << v.error;
  EXPECT_EQ(v.error, "");
  EXPECT_EQ(v.manifest_path, manifest());
  EXPECT_EQ(v.model_path, dir_ / "model.onnx");
  EXPECT_EQ(v.sha256, digest_);
  EXPECT_EQ(v.manifest.name, "det");
  EXPECT_EQ(v.manifest.signature_file, "manifest.sig");
}

TEST_F(PackageCheck, VerifiedModelCarriesTheHashedBytesOnlyWhenValid) {
  VerifiedModel ok = load_verified_model(manifest(), true, public_key());
  EXPECT_TRUE(ok.validation.valid) << ok.validation.error;
  EXPECT_EQ(ok.validation.sha256, digest_);
  EXPECT_EQ(ok.model_bytes, model_bytes_);

  // A failure after the model was read hands no bytes over; the messages are the check's own.
  test::write_file(dir_ / "manifest.sig", std::string(64, '\0'));
  VerifiedModel bad = load_verified_model(manifest(), true, public_key());
  EXPECT_FALSE(bad.validation.valid);
  EXPECT_EQ(bad.validation.error, "model manifest signature is invalid");
  EXPECT_EQ(bad.validation.sha256, digest_);
  EXPECT_EQ(bad.model_bytes, "");
  EXPECT_EQ(check().error, bad.validation.error);
}

TEST_F(PackageCheck, RelativeManifestPathIsMadeAbsolute) {
  fs::path relative = fs::relative(manifest(), fs::current_path());
  ASSERT_TRUE(relative.is_relative());
  ModelValidation v = validate_model_package(relative, true, public_key());
  EXPECT_TRUE(v.valid) << v.error;
  EXPECT_TRUE(v.manifest_path.is_absolute());
  EXPECT_EQ(fs::canonical(v.manifest_path), fs::canonical(manifest()));
  EXPECT_EQ(fs::canonical(v.model_path), fs::canonical(dir_ / "model.onnx"));
}

TEST_F(PackageCheck, UppercaseDigestMatchesButABlankDoesNot) {
  std::string upper = digest_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  write_manifest(with(minimal(), {{"sha256", upper}, {"signature_file", "manifest.sig"}}));
  EXPECT_TRUE(check().valid);
  write_manifest(with(minimal(), {{"sha256", digest_ + " "}, {"signature_file", "manifest.sig"}}));
  ModelValidation v = check();
  EXPECT_FALSE(v.valid);
  EXPECT_EQ(v.error, "model SHA-256 does not match manifest");
  EXPECT_EQ(v.sha256, digest_);
}

TEST_F(PackageCheck, ModelFileMustBeARegularFileLinksFollowed) {
  fs::remove(dir_ / "model.onnx");
  ModelValidation v = check();
  EXPECT_FALSE(v.valid);
  EXPECT_EQ(v.error, "model file is missing");
  EXPECT_EQ(v.manifest.name, "det");
  EXPECT_EQ(v.model_path, dir_ / "model.onnx");
  EXPECT_EQ(v.sha256, "");

  fs::create_directory(dir_ / "model.onnx");
  EXPECT_EQ(check().error, "model file is missing");
  fs::remove(dir_ / "model.onnx");

  test::write_file(dir_ / "real.bin", model_bytes_);
  fs::create_symlink(dir_ / "real.bin", dir_ / "model.onnx");
  EXPECT_TRUE(check().valid) << check().error;
  fs::remove(dir_ / "real.bin");
  EXPECT_EQ(check().error, "model file is missing");
}

TEST_F(PackageCheck, AbsoluteModelFileIsUsedUnchanged) {
  test::TempDir elsewhere;
  test::write_file(elsewhere / "det.onnx", model_bytes_);
  write_manifest(
      with(minimal(),
           {{"file", (elsewhere / "det.onnx").native()}, {"sha256", digest_}, {"signature_file", "manifest.sig"}}));
  ModelValidation v = check();
  EXPECT_TRUE(v.valid) << v.error;
  EXPECT_EQ(v.model_path, elsewhere / "det.onnx");
}

TEST_F(PackageCheck, SignatureStepsFailInOrder) {
  // Without a required signature nothing but the model is looked at.
  write_manifest(with(minimal(), {{"sha256", digest_}}));
  EXPECT_TRUE(validate_model_package(manifest(), false, "").valid);
  EXPECT_EQ(check().error, "model signature is required but missing");
  EXPECT_EQ(validate_model_package(manifest(), true, "").error, "model signature is required but missing");

  write_manifest(with(minimal(), {{"sha256", digest_}, {"signature_file", "manifest.sig"}}));
  EXPECT_EQ(validate_model_package(manifest(), true, "").error, "model signature public key is not configured");

  fs::remove(dir_ / "manifest.sig");
  EXPECT_EQ(check().error, "model signature file is missing");
  fs::create_directory(dir_ / "manifest.sig");
  EXPECT_EQ(check().error, "model signature file is missing");
  fs::remove(dir_ / "manifest.sig");
  write_manifest(with(minimal(), {{"sha256", digest_}, {"signature_file", "manifest.sig"}}));

  fs::path missing_key = "no/such/public.key";
  EXPECT_EQ(validate_model_package(manifest(), true, missing_key).error, "cannot open key file: no/such/public.key");
  test::write_file(dir_ / "bad.key", "abc");
  EXPECT_EQ(validate_model_package(manifest(), true, dir_ / "bad.key").error, "hex input must have an even length");

  test::write_file(dir_ / "manifest.sig", "short");
  EXPECT_EQ(check().error, "signature file must contain exactly 64 bytes");
}

TEST_F(PackageCheck, TamperedOrForeignSignatureIsRefused) {
  std::string tampered = manifest_text_ + " ";
  test::write_file(manifest(), tampered);
  ModelValidation v = check();
  EXPECT_FALSE(v.valid);
  EXPECT_EQ(v.error, "model manifest signature is invalid");
  EXPECT_EQ(v.manifest.name, "det");
  EXPECT_EQ(v.sha256, digest_);

  write_manifest(with(minimal(), {{"sha256", digest_}, {"signature_file", "manifest.sig"}}));
  auto other = generate_signing_keypair();
  test::write_file(dir_ / "other.key", bytes_to_hex(other.public_key));
  EXPECT_EQ(validate_model_package(manifest(), true, dir_ / "other.key").error, "model manifest signature is invalid");

  std::string sig = test::read_file(dir_ / "manifest.sig");
  sig[10] ^= 0x04;
  test::write_file(dir_ / "manifest.sig", sig);
  EXPECT_EQ(check().error, "model manifest signature is invalid");
}

TEST_F(PackageCheck, ManifestFailuresAreReportedNeverThrown) {
  fs::remove(manifest());
  ModelValidation v = check();
  EXPECT_FALSE(v.valid);
  EXPECT_EQ(v.error, "cannot open model manifest: " + manifest().native());
  EXPECT_EQ(v.manifest_path, manifest());
  EXPECT_EQ(v.model_path, fs::path());

  test::write_file(manifest(), "{");
  EXPECT_EQ(check().error.rfind("invalid JSON: ", 0), 0u);

  write_manifest(with(minimal(), {{"sha256", digest_}, {"input_width", 31}}));
  v = check();
  EXPECT_EQ(v.error, "model input dimensions must be at least 32");
  EXPECT_EQ(v.manifest.input_width, 416);  // a manifest that fails its checks is not kept

  write_manifest(with(minimal(), {{"sha256", digest_}, {"letterbox", "yes"}}));
  EXPECT_EQ(check().error, "[json.exception.type_error.302] type must be boolean, but is string");

  EXPECT_FALSE(validate_model_package("", true, public_key()).valid);
  EXPECT_FALSE(validate_model_package(dir_.path(), true, public_key()).valid);
}

}  // namespace
}  // namespace velmo::ai
