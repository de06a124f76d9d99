#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace velmo::ai {

enum class LogLevel : int { debug = 0, info = 1, warn = 2, error = 3 };

struct LogField {
  std::string_view key;
  std::string value;
};

// Stores the process-wide threshold; unknown words (and "info") mean info.
void set_log_level(std::string_view level);
LogLevel log_level();

// Writes one key=value line to standard error when `level` reaches the threshold.
void log(LogLevel level, std::string_view message, std::initializer_list<LogField> fields = {});
// The same with `context` (which task or stream the line is about) ahead of `fields`; context
// fields with an empty value are left out.
void log(LogLevel level, std::string_view message, std::span<const LogField> context,
         std::initializer_list<LogField> fields);

// Where whole lines go (each with its newline) instead of standard error, so that a test can read
// the log without redirecting the process's descriptors. Called under the log mutex: it must not
// log. Empty: standard error again. Returns the one it replaces.
using LogSink = std::function<void(std::string_view line)>;
LogSink set_log_sink(LogSink sink);

}  // namespace velmo::ai
