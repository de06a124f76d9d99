// The service program as a real process: arguments, configuration errors, signals.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/version.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

using test::ProcessOptions;
using test::ProcessResult;

const std::string kUsage =
    "Usage: velmo-ai --config <path> [--host <host>] [--port <port>]\n"
    "       velmo-ai --version\n";

class CliTest : public ::testing::Test {
 protected:
  ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), VELMO_AI_BIN);
    ProcessOptions options;
    options.cwd = dir_.path();
    options.timeout = std::chrono::seconds(20);
    return test::run_process(args, options);
  }
  void write_config(const std::string& name, const std::string& text) { test::write_file(dir_ / name, text); }
  std::string disabled_config(const std::string& extra = "") {
    return "[Model]\nManifest = \"missing.json\"\nPublicKey = \"missing.pub\"\n" + extra;
  }
  test::TempDir dir_;
};

void expect_startup_failure(const ProcessResult& r, const std::string& err) {
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_NE(r.err.find("level=ERROR msg=\"cli: startup failed\" err=\"" + err + "\"\n"), std::string::npos) << r.err;
}

TEST_F(CliTest, VersionAndHelp) {
  ProcessResult r = run({"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, std::string("velmo-ai ") + kVelmoVersion + "\n");
  EXPECT_EQ(r.err, "");

  for (auto args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"--version", "--help"}, {"--help", "--version"}, {"--help", "--bogus"}}) {
    r = run(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kUsage);
  }
}

TEST_F(CliTest, ArgumentErrors) {
  expect_startup_failure(run({"--version", "--bogus"}), "unknown argument: --bogus");
  expect_startup_failure(run({"--port"}), "unknown argument: --port");
  expect_startup_failure(run({"--config"}), "unknown argument: --config");
  expect_startup_failure(run({"--port", "0"}), "--port must be in 1..65535");
  expect_startup_failure(run({"--port", "65536"}), "--port must be in 1..65535");
  expect_startup_failure(run({"--port", "80a"}), "--port must be in 1..65535");
  expect_startup_failure(run({"--port", "abc"}), "stoi");
  expect_startup_failure(run({"--port", "99999999999"}), "stoi");
}

TEST_F(CliTest, ConfigurationErrors) {
  // No arguments: config.toml in the working directory.
  expect_startup_failure(run({}), "cannot open config: config.toml");
  write_config("bad.toml", "[AI]\nEnabled = maybe\n");
  expect_startup_failure(run({"--config", "bad.toml"}), "config line 2: AI.Enabled must be true or false");
  write_config("invalid.toml", "[AI]\nMaxChannels = 0\n");
  expect_startup_failure(run({"--config", "invalid.toml"}), "config line 2: AI.MaxChannels must be in 1..64");
  write_config("empty.toml", "");
  expect_startup_failure(run({"--config", "empty.toml"}), "Model.Manifest must not be empty");
}

TEST_F(CliTest, AnalysisDisabledExitsBeforeTheModel) {
  write_config("config.toml", disabled_config());
  ProcessResult r = run({"--port", "+8080", "--port", "65535", "--host", ""});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(
                "level=INFO msg=\"cli: analysis disabled\" reason=\"set AI.Enabled=true before launching velmo-ai\"\n"),
            std::string::npos)
      << r.err;

  write_config("quiet.toml", disabled_config("[Logging]\nLevel = \"warn\"\n"));
  r = run({"--config", "quiet.toml"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, WarnLevelStillReportsStartupFailure) {
  write_config("c.toml", disabled_config("[Logging]\nLevel = \"error\"\n"));
  expect_startup_failure(run({"--config", "c.toml", "--bogus"}), "unknown argument: --bogus");
}

// The service, once its API listens: its handlers are installed then (a signal before that ends it
// by default action); then `signals`, and it ends with status 0.
void expect_clean_shutdown(const std::filesystem::path& dir, std::vector<std::string> argv, std::vector<int> signals) {
  signal(SIGHUP, SIG_DFL);  // not inherited ignored, from a test run under nohup
  test::write_file(dir / "on.toml",
                   "[AI]\nEnabled = true\n[Model]\nManifest = \"m.json\"\nRequireSignature = false\n"
                   "[Server]\nPort = " +
                       std::to_string(test::free_tcp_port()) + "\n");
  ProcessOptions options;
  options.cwd = dir;
  argv.insert(argv.end(), {VELMO_AI_BIN, "--config", "on.toml"});
  test::ChildProcess child(argv, options);
  ASSERT_TRUE(test::eventually([&] { return child.stderr_so_far().find("api: server listening") != std::string::npos; },
                               std::chrono::seconds(60)))
      << child.stderr_so_far();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(child.running()) << child.stderr_so_far();
  const bool nohup = argv.front() != VELMO_AI_BIN;
  for (const int sig : signals) {
    child.send_signal(sig);
    if (sig == SIGHUP && nohup) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      ASSERT_TRUE(child.running()) << child.stderr_so_far();
    }
  }
  ASSERT_TRUE(child.wait(std::chrono::seconds(10)));
  EXPECT_EQ(child.result().exit_code, 0) << child.result().err;
  EXPECT_NE(child.result().err.find("msg=\"cli: shutdown requested\""), std::string::npos) << child.result().err;
}

TEST_F(CliTest, SignalsEndTheServiceCleanly) {
  // A second signal during shutdown changes nothing.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) expect_clean_shutdown(dir_.path(), {}, {sig, sig});
  // Under nohup, SIGHUP stays ignored: the service is still there for SIGTERM.
  expect_clean_shutdown(dir_.path(), {"/usr/bin/nohup"}, {SIGHUP, SIGTERM});
}

}  // namespace
}  // namespace velmo::ai
