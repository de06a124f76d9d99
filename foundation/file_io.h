#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velmo::ai {

// Reads a whole file as raw bytes. A path that cannot be opened, or opens but cannot be read
// (a directory), throws std::runtime_error: `prefix` followed by the path's native text.
std::string read_whole_file(const std::filesystem::path& path, std::string_view prefix);

}  // namespace velmo::ai
