#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace velmo::ai::test {

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("velmo-test-" + std::to_string(rd()) + std::to_string(::getpid()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

namespace {

std::vector<std::string> merged_environment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : extra) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

int spawn(const std::vector<std::string>& argv, const ProcessOptions& options, int& out_fd, int& err_fd, int& in_fd) {
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC) || pipe2(in_pipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> env = merged_environment(options.env);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    setpgid(0, 0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), cenv.data());
    execvpe(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(in_pipe[0]);
  out_fd = out_pipe[0];
  err_fd = err_pipe[0];
  in_fd = in_pipe[1];
  return pid;
}

void write_stdin(int in_fd, const std::string& data) {
  size_t off = 0;
  signal(SIGPIPE, SIG_IGN);
  while (off < data.size()) {
    ssize_t n = write(in_fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    off += static_cast<size_t>(n);
  }
  close(in_fd);
}

// Reads what is available on the two pipes, waiting at most timeout_ms; closes a pipe at EOF.
void drain(int& out_fd, int& err_fd, std::string& out, std::string& err, int timeout_ms) {
  pollfd fds[2];
  int n = 0;
  if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
  if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
  if (n == 0) return;
  int r = poll(fds, static_cast<nfds_t>(n), timeout_ms);
  if (r <= 0) return;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[65536];
    ssize_t got = read(fds[i].fd, buf, sizeof buf);
    int& fd = (fds[i].fd == out_fd) ? out_fd : err_fd;
    std::string& sink = (fds[i].fd == out_fd) ? out : err;
    if (got > 0) {
      sink.append(buf, static_cast<size_t>(got));
    } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
      close(fd);
      fd = -1;
    }
  }
}

void record_status(int status, ProcessResult& result) {
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exit_code = -1;
    result.signal = WTERMSIG(status);
  }
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int out_fd, err_fd, in_fd;
  pid_t pid = spawn(argv, options, out_fd, err_fd, in_fd);
  write_stdin(in_fd, options.stdin_data);
  ProcessResult result;
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  while (out_fd >= 0 || err_fd >= 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      break;
    }
    drain(out_fd, err_fd, result.out, result.err, 100);
  }
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  record_status(status, result);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int in_fd;
  pid_ = spawn(argv, options, out_fd_, err_fd_, in_fd);
  write_stdin(in_fd, options.stdin_data);
}

ChildProcess::~ChildProcess() {
  if (!exited_ && pid_ > 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

void ChildProcess::send_signal(int sig) {
  if (!exited_) kill(pid_, sig);
}

void ChildProcess::pump(int timeout_ms) { drain(out_fd_, err_fd_, result_.out, result_.err, timeout_ms); }

bool ChildProcess::running() {
  if (exited_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    exited_ = true;
    record_status(status, result_);
    return false;
  }
  return true;
}

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pump(20);
  }
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    if (std::chrono::steady_clock::now() > deadline + std::chrono::seconds(5)) break;
    pump(50);
  }
  return true;
}

const ProcessResult& ChildProcess::result() {
  pump(0);
  return result_;
}

std::string ChildProcess::stdout_so_far() {
  pump(0);
  return result_.out;
}

std::string ChildProcess::stderr_so_far() {
  pump(0);
  return result_.err;
}

int free_tcp_port() {
  // Below the kernel's ephemeral range (32768 and up here), so that no socket bound to port 0 or
  // connecting out (the fixtures', the services') can be handed the port between this check and
  // the bind of whoever asked; a port once handed out is never handed out again by this process.
  constexpr int kLowest = 20000;
  constexpr int kHighest = 32767;
  static std::mutex mutex;
  static std::set<int> handed_out;
  static std::mt19937 pick(std::random_device{}());
  std::lock_guard lock(mutex);
  std::uniform_int_distribution<int> ports(kLowest, kHighest);
  for (int tries = 0; tries < 1000; ++tries) {
    const int port = ports(pick);
    if (handed_out.count(port) != 0) continue;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (!free) continue;
    handed_out.insert(port);
    return port;
  }
  throw std::runtime_error("no free port below the ephemeral range");
}

long long process_memory_kb(int pid, const std::string& key) {
  std::ifstream in(pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atoll(line.c_str() + key.size() + 1);
  }
  return -1;
}

long long memory_growth_bound_kb(long long kb) { return kSanitized ? 3 * kb : kb; }

LogCapture::LogCapture()
    : previous_(set_log_sink([lines = lines_](std::string_view line) {
        std::lock_guard<std::mutex> lock(lines->mutex);
        lines->text += line;
      })) {}

LogCapture::~LogCapture() { set_log_sink(std::move(previous_)); }

std::string LogCapture::text() const {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  return lines_->text;
}

}  // namespace velmo::ai::test
