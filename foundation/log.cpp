#include "foundation/log.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "foundation/text.h"
#include "foundation/time.h"

namespace velmo::ai {
namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::info)};
std::mutex g_log_mutex;
// Time, level and a few short fields: most lines take one allocation.
constexpr std::size_t kUsualLineBytes = 96;
LogSink g_sink;  // guarded by g_log_mutex

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::debug: return "DEBUG";
    case LogLevel::info: return "INFO";
    case LogLevel::warn: return "WARN";
    case LogLevel::error: return "ERROR";
  }
  return "INFO";
}

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: out.push_back(c);
    }
  }
  out.push_back('"');
}

// One write(2) per line, so output of FFmpeg or ONNX Runtime on the same descriptor cannot land inside it.
void write_all(const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void set_log_level(std::string_view level) {
  const std::string lower = lower_ascii(level);
  LogLevel value = LogLevel::info;
  if (lower == "debug") value = LogLevel::debug;
  else if (lower == "warn") value = LogLevel::warn;
  else if (lower == "error") value = LogLevel::error;
  g_level.store(static_cast<int>(value));
}

LogLevel log_level() { return static_cast<LogLevel>(g_level.load()); }

namespace {

void write_line(LogLevel level, std::string_view message, std::span<const LogField> context,
                std::initializer_list<LogField> fields) {
  std::string line;
  line.reserve(kUsualLineBytes + message.size());
  line += "time=";
  append_quoted(line, iso8601_utc(unix_millis()));
  line += " level=";
  line += level_name(level);
  line += " msg=";
  append_quoted(line, message);
  auto append_field = [&line](const LogField& field) {
    line.push_back(' ');
    line += field.key;
    line.push_back('=');
    append_quoted(line, field.value);
  };
  for (const LogField& field : context) {
    if (!field.value.empty()) append_field(field);
  }
  for (const LogField& field : fields) append_field(field);
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(g_log_mutex);
  if (g_sink) {
    g_sink(line);
  } else {
    write_all(line);
  }
}

}  // namespace

LogSink set_log_sink(LogSink sink) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::swap(g_sink, sink);
  return sink;
}

void log(LogLevel level, std::string_view message, std::initializer_list<LogField> fields) {
  if (static_cast<int>(level) < g_level.load()) return;
  write_line(level, message, {}, fields);
}

void log(LogLevel level, std::string_view message, std::span<const LogField> context,
         std::initializer_list<LogField> fields) {
  if (static_cast<int>(level) < g_level.load()) return;
  write_line(level, message, context, fields);
}

}  // namespace velmo::ai
