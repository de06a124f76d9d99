#include "foundation/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

const std::string kMinimal = "[Model]\nManifest = \"m.json\"\nPublicKey = \"k.pub\"\n";

std::string parse_error(const std::string& text) {
  try {
    parse_config(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(ConfigParse, DefaultsWhenOnlyRequiredKeysAreGiven) {
  AppConfig c = parse_config(kMinimal);
  EXPECT_EQ(c.server_host, "127.0.0.1");
  EXPECT_EQ(c.server_port, 18090);
  EXPECT_FALSE(c.ai.enabled);
  EXPECT_EQ(c.ai.device, "auto");
  EXPECT_EQ(c.ai.inference_fps, 3);
  EXPECT_EQ(c.ai.active_fps, 3);
  EXPECT_EQ(c.ai.idle_fps, 1);
  EXPECT_EQ(c.ai.max_channels, 4);
  EXPECT_EQ(c.ai.max_queue_frames, 2);
  EXPECT_EQ(c.ai.decode_mode, "adaptive");
  EXPECT_EQ(c.ai.keyframe_fallback_ms, 5000);
  EXPECT_EQ(c.ai.hardware_decode, "auto");
  EXPECT_EQ(c.ai.inference_threads, 2);
  EXPECT_EQ(c.ai.scene_hold_ms, 4000);
  EXPECT_EQ(c.model.manifest, "m.json");
  EXPECT_EQ(c.model.public_key, "k.pub");
  EXPECT_TRUE(c.model.gpu_manifest.empty());
  EXPECT_TRUE(c.model.require_signature);
  EXPECT_EQ(c.logging_level, "info");
  EXPECT_TRUE(c.config_path.empty());
}

TEST(ConfigParse, EveryKeyIsStored) {
  AppConfig c = parse_config(
      "[Server]\nHost = \"0.0.0.0\"\nPort = 8080\n"
      "[AI]\nEnabled = TRUE\nDevice = \"GPU\"\nInferenceFPS = 5\nActiveFPS = 6\nIdleFPS = 2\n"
      "MaxChannels = 8\nMaxQueueFrames = 3\nDecodeMode = \"KeyFrame\"\nKeyframeFallbackMs = 2000\n"
      "HardwareDecode = \"OFF\"\nInferenceThreads = 4\nSceneHoldMs = 0\n"
      "[Model]\nManifest = \"/abs/m.json\"\nPublicKey = \"k.pub\"\nGpuManifest = \"g.json\"\n"
      "GpuPublicKey = \"g.pub\"\nRequireSignature = False\n"
      "[Logging]\nLevel = \"Debug\"\n");
  EXPECT_EQ(c.server_host, "0.0.0.0");
  EXPECT_EQ(c.server_port, 8080);
  EXPECT_TRUE(c.ai.enabled);
  EXPECT_EQ(c.ai.device, "gpu");
  EXPECT_EQ(c.ai.inference_fps, 5);
  EXPECT_EQ(c.ai.active_fps, 6);
  EXPECT_EQ(c.ai.idle_fps, 2);
  EXPECT_EQ(c.ai.max_channels, 8);
  EXPECT_EQ(c.ai.max_queue_frames, 3);
  EXPECT_EQ(c.ai.decode_mode, "keyframe");
  EXPECT_EQ(c.ai.keyframe_fallback_ms, 2000);
  EXPECT_EQ(c.ai.hardware_decode, "off");
  EXPECT_EQ(c.ai.inference_threads, 4);
  EXPECT_EQ(c.ai.scene_hold_ms, 0);
  EXPECT_EQ(c.model.gpu_manifest, "g.json");
  EXPECT_EQ(c.model.gpu_public_key, "g.pub");
  EXPECT_FALSE(c.model.require_signature);
  EXPECT_EQ(c.logging_level, "debug");
}

// Users start from the example file: it parses, so every key it names is one the loader reads,
// and it names all twenty of them.
TEST(ConfigExample, ParsesAndNamesEveryKey) {
  const std::string text = test::read_file(std::filesystem::path(VELMO_SOURCE_DIR) / "config.example.toml");
  EXPECT_TRUE(parse_config(text).ai.enabled);
  std::set<std::string> named;
  std::string section;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = line.substr(0, line.find('#'));  // no value of the example holds a "#"
    if (line.starts_with('[')) section = line.substr(1, line.find(']') - 1);
    if (line.find('=') != std::string::npos) named.insert(section + "." + line.substr(0, line.find_first_of(" =")));
  }
  EXPECT_EQ(named.size(), 20U);
}

TEST(ConfigParse, SyntaxRules) {
  // Comments, CRLF, blank section names, leading zeros.
  AppConfig c = parse_config("# leading comment\r\n\r\n[ AI ]  # section comment\r\nMaxChannels = 007\r\n" + kMinimal);
  EXPECT_EQ(c.ai.max_channels, 7);

  c = parse_config("[Server]\nHost = \"a#b\" # tail\n" + kMinimal);
  EXPECT_EQ(c.server_host, "a#b");

  c = parse_config("[Server]\nHost = \"x=y\"\n" + kMinimal);
  EXPECT_EQ(c.server_host, "x=y");

  c = parse_config("[Model]\nManifest = \"m.json\"\nRequireSignature = false\n");
  EXPECT_TRUE(c.model.public_key.empty());

  // No final line feed: the last line still counts.
  c = parse_config("[Model]\nManifest = \"m.json\"\nPublicKey = \"k\"");
  EXPECT_EQ(c.model.public_key, "k");
}

TEST(ConfigParse, StringEscapes) {
  auto host = [](const std::string& raw) {
    return parse_config("[Server]\nHost = " + raw + "\n" + kMinimal).server_host;
  };
  EXPECT_EQ(host(R"("a\"b")"), "a\"b");
  EXPECT_EQ(host(R"("a\\b")"), "a\\b");
  EXPECT_EQ(host(R"("a\nb")"), "a\nb");
  EXPECT_EQ(host(R"("a\tb")"), "a\tb");
  EXPECT_EQ(host(R"("ab\")"), "ab\\");  // a last inner backslash stays
  EXPECT_EQ(host(R"("a"b")"), "a\"b");  // an unescaped inner quote stays
  EXPECT_EQ(host("\"Mixed.Case\""), "Mixed.Case");
}

struct ErrorCase {
  const char* name;
  std::string text;
  std::string message;
};

class ConfigErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ConfigErrors, Message) { EXPECT_EQ(parse_error(GetParam().text), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    Lines, ConfigErrors,
    ::testing::Values(
        ErrorCase{"Empty", "", "Model.Manifest must not be empty"},
        ErrorCase{"OnlyComments", "# a\n\n   # b\n", "Model.Manifest must not be empty"},
        ErrorCase{"BomHeader", "\xEF\xBB\xBF[AI]\n", "config line 1 is not a key/value pair"},
        ErrorCase{"BomKey", "\xEF\xBB\xBFHost = \"x\"\n", "config line 1: unknown config key .\xEF\xBB\xBFHost"},
        ErrorCase{"NotKeyValue", "[AI]\n\nEnabled\n", "config line 3 is not a key/value pair"},
        ErrorCase{"KeyBeforeSection", "Host = \"x\"\n", "config line 1: unknown config key .Host"},
        ErrorCase{"EmptySection", "[]\nHost = \"x\"\n", "config line 2: unknown config key .Host"},
        ErrorCase{"LowerCaseKey", "[AI]\nenabled = true\n", "config line 2: unknown config key AI.enabled"},
        ErrorCase{"Unquoted", "[Server]\nHost = localhost\n", "config line 2: Server.Host must be a quoted string"},
        ErrorCase{"Unterminated", "[Server]\nHost = \"abc # x\n", "config line 2: Server.Host must be a quoted string"},
        ErrorCase{"OneQuote", "[Server]\nHost = \"\n", "config line 2: Server.Host must be a quoted string"},
        ErrorCase{"BadEscape", "[Server]\nHost = \"a\\xb\"\n",
                  "config line 2: Server.Host contains an unsupported escape"},
        ErrorCase{"IntTooBig", "[AI]\nMaxChannels = 2147483648\n", "config line 2: AI.MaxChannels must be an integer"},
        ErrorCase{"IntPlus", "[AI]\nMaxChannels = +5\n", "config line 2: AI.MaxChannels must be an integer"},
        ErrorCase{"IntDecimal", "[AI]\nMaxChannels = 5.0\n", "config line 2: AI.MaxChannels must be an integer"},
        ErrorCase{"IntQuoted", "[AI]\nMaxChannels = \"5\"\n", "config line 2: AI.MaxChannels must be an integer"},
        ErrorCase{"IntMinus", "[AI]\nMaxChannels = -\n", "config line 2: AI.MaxChannels must be an integer"},
        ErrorCase{"IntEmpty", "[AI]\nMaxChannels =\n", "config line 2: AI.MaxChannels must be an integer"},
        ErrorCase{"IntSpaceAfterSign", "[AI]\nMaxChannels = - 5\n", "config line 2: AI.MaxChannels must be an integer"},
        ErrorCase{"IntMinAcceptedThenRange",
                  "[AI]\nMaxChannels = -2147483648\n[Model]\nManifest=\"m\"\nPublicKey=\"k\"\n",
                  "config line 2: AI.MaxChannels must be in 1..64"},
        // Which of the two was meant cannot be told.
        ErrorCase{"KeyTwice", "[AI]\nMaxChannels = 2\n\n[AI]\nMaxChannels = 3\n",
                  "config line 5: AI.MaxChannels is set twice (first on line 2)"},
        ErrorCase{"PortZero", "[Server]\nPort = 0\n", "config line 2: Server.Port is outside 1..65535"},
        ErrorCase{"PortHigh", "[Server]\nPort = 65536\n", "config line 2: Server.Port is outside 1..65535"},
        ErrorCase{"BoolQuoted", "[AI]\nEnabled = \"true\"\n", "config line 2: AI.Enabled must be true or false"},
        ErrorCase{"BoolWord", "[AI]\nEnabled = yes\n", "config line 2: AI.Enabled must be true or false"},
        ErrorCase{"StopsAtFirstBadLine", "[AI]\nEnabled = yes\nnonsense\n",
                  "config line 2: AI.Enabled must be true or false"}),
    [](const auto& info) { return std::string(info.param.name); });

std::string with(const std::string& section, const std::string& line) {
  return "[Model]\nManifest = \"m\"\nPublicKey = \"k\"\n[" + section + "]\n" + line + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Validation, ConfigErrors,
    ::testing::Values(
        // A value that fails its rule is named with its line; a rule about a key the file never
        // set has no line to name.
        ErrorCase{"HostEmpty", with("Server", "Host = \"\""), "config line 5: Server.Host must not be empty"},
        ErrorCase{"Device", with("AI", "Device = \"tpu\""), "config line 5: AI.Device must be auto, cpu, or gpu"},
        ErrorCase{"InferenceFps", with("AI", "InferenceFPS = 0"), "config line 5: AI.InferenceFPS must be in 1..30"},
        ErrorCase{"ActiveFps", with("AI", "ActiveFPS = 0"), "config line 5: AI.ActiveFPS must be in 1..30"},
        ErrorCase{"IdleFps", with("AI", "IdleFPS = -1"), "config line 5: AI.IdleFPS must be in 1..30"},
        ErrorCase{"MaxChannels", with("AI", "MaxChannels = 65"), "config line 5: AI.MaxChannels must be in 1..64"},
        ErrorCase{"MaxQueueFrames", with("AI", "MaxQueueFrames = 9"),
                  "config line 5: AI.MaxQueueFrames must be in 1..8"},
        ErrorCase{"DecodeMode", with("AI", "DecodeMode = \"some\""),
                  "config line 5: AI.DecodeMode must be adaptive, keyframe, or all"},
        ErrorCase{"Fallback", with("AI", "KeyframeFallbackMs = 999"),
                  "config line 5: AI.KeyframeFallbackMs must be in 1000..60000"},
        ErrorCase{"FallbackHigh", with("AI", "KeyframeFallbackMs = 60001"),
                  "config line 5: AI.KeyframeFallbackMs must be in 1000..60000"},
        ErrorCase{"Hardware", with("AI", "HardwareDecode = \"vaapi\""),
                  "config line 5: AI.HardwareDecode must be auto or off"},
        ErrorCase{"Threads", with("AI", "InferenceThreads = 33"),
                  "config line 5: AI.InferenceThreads must be in 1..32"},
        ErrorCase{"Hold", with("AI", "SceneHoldMs = -1"), "config line 5: AI.SceneHoldMs must not be negative"},
        ErrorCase{"NoKey", "[Model]\nManifest = \"m\"\n",
                  "Model.PublicKey is required when Model.RequireSignature=true"},
        ErrorCase{"Level", with("Logging", "Level = \"trace\""),
                  "config line 5: Logging.Level must be debug, info, warn, or error"},
        // The first failing rule wins, whatever the order of the lines.
        ErrorCase{"Order", "[AI]\nMaxChannels = 0\nDevice = \"x\"\n",
                  "config line 3: AI.Device must be auto, cpu, or gpu"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigValidate, BoundsAreInclusive) {
  AppConfig c = parse_config(kMinimal);
  c.ai.inference_fps = 30;
  c.ai.idle_fps = 1;
  c.ai.max_channels = 64;
  c.ai.max_queue_frames = 8;
  c.ai.keyframe_fallback_ms = 60000;
  c.ai.inference_threads = 32;
  EXPECT_NO_THROW(validate_config(c));
  c.server_host = "";
  EXPECT_THROW(validate_config(c), std::invalid_argument);
}

TEST(ConfigLoad, ResolvesModelPathsAgainstTheFilesFolder) {
  test::TempDir dir;
  std::filesystem::create_directories(dir / "etc");
  test::write_file(dir / "etc/velmo.conf",
                   "[Model]\nManifest = \"models/m.json\"\nPublicKey = \"/keys/k.pub\"\n"
                   "GpuManifest = \"~/g.json\"\n");
  AppConfig c = load_config(dir / "etc/velmo.conf");
  EXPECT_EQ(c.config_path, dir / "etc/velmo.conf");
  EXPECT_EQ(c.model.manifest, dir / "etc/models/m.json");
  EXPECT_EQ(c.model.public_key, "/keys/k.pub");
  EXPECT_EQ(c.model.gpu_manifest, dir / "etc/~/g.json");
  EXPECT_TRUE(c.model.gpu_public_key.empty());
}

TEST(ConfigLoad, EmptyPublicKeyBecomesTheFolder) {
  test::TempDir dir;
  test::write_file(dir / "c.toml", "[Model]\nManifest = \"m\"\nRequireSignature = false\n");
  AppConfig c = load_config(dir / "c.toml");
  EXPECT_EQ(c.model.public_key.native(), (dir.path() / "").native());
}

TEST(ConfigLoad, UnreadablePathsAreErrors) {
  test::TempDir dir;
  try {
    load_config(dir / "missing.toml");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot open config: " + (dir / "missing.toml").native());
  }
  // A directory opens but cannot be read: never an empty configuration.
  try {
    load_config(dir.path());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot open config: " + dir.path().native());
  }
}

}  // namespace
}  // namespace velmo::ai
