#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.h"

namespace velmo::ai::test {

// A fresh folder under the system temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);

struct ProcessResult {
  int exit_code = -1;  // exit status, or -1 when killed by a signal
  int signal = 0;      // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::filesystem::path cwd;               // empty: the test's working directory
  std::map<std::string, std::string> env;  // added to (or replacing in) the inherited environment
  std::string stdin_data;
  std::chrono::milliseconds timeout{60000};  // killed with SIGKILL after this
};

// Runs a program to completion, capturing both output streams.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A program left running in the background (e.g. a server); killed on destruction.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  int pid() const { return pid_; }
  void send_signal(int sig);
  // Waits for the exit; returns false on timeout. Output captured so far is in result().
  bool wait(std::chrono::milliseconds timeout);
  bool running();
  const ProcessResult& result();
  // Output read so far (non-blocking poll of the pipes).
  std::string stdout_so_far();
  std::string stderr_so_far();

 private:
  void pump(int timeout_ms);
  int pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool exited_ = false;
  ProcessResult result_;
};

// A TCP port on 127.0.0.1 that was free when asked, below the ephemeral range and never handed out
// twice by one process.
int free_tcp_port();

// A figure of /proc/<pid>/status in kB, by its key ("VmRSS", "VmHWM"); pid 0 is this process.
// -1 when it cannot be read.
long long process_memory_kb(int pid, const std::string& key);
// A bound of `kb` on a process's growth, three times that in a sanitizer's build (its shadow
// memory, and the quarantine that keeps freed blocks a while).
long long memory_growth_bound_kb(long long kb);

// Built with ThreadSanitizer or AddressSanitizer: several times slower, and every byte costs more.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Polls `predicate` until it holds or the timeout passes.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return predicate();
}

// Takes the process's log lines while it lives, in place of standard error; the log sink it found
// is put back when it ends.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The lines written so far.
  std::string text() const;

 private:
  struct Lines {
    mutable std::mutex mutex;
    std::string text;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  LogSink previous_;
};

}  // namespace velmo::ai::test
