#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace velmo::ai {

inline constexpr std::size_t kSha256Bytes = 32;
using Sha256Digest = std::array<uint8_t, kSha256Bytes>;

// FIPS 180-4 SHA-256 digest of `data`.
Sha256Digest sha256(std::string_view data);

// Digest of a whole file, read in 64 KiB chunks so any size is hashed in constant memory.
// Throws std::runtime_error "cannot open file for SHA-256: <path>" or
// "cannot read file for SHA-256: <path>" (also for a path that opens but is not readable data,
// such as a directory).
Sha256Digest sha256_file(const std::filesystem::path& path);
// The same, and `contents` receives exactly the bytes that were hashed, so a caller can use what
// was checked without opening the file a second time (it may have been replaced since).
Sha256Digest sha256_file(const std::filesystem::path& path, std::string& contents);

// 64 lowercase hexadecimal digits.
std::string sha256_hex(const Sha256Digest& digest);

}  // namespace velmo::ai
