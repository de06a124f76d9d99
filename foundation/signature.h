#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::ai {

// An Ed25519 key pair; the secret key is the 32-byte seed followed by the 32-byte public key.
struct SigningKeyPair {
  std::array<uint8_t, 32> public_key{};
  std::array<uint8_t, 64> secret_key{};
};

// A new random key pair (seed from `randombytes`). Throws std::runtime_error
// "Ed25519 key generation failed".
SigningKeyPair generate_signing_keypair();

// Detached signature of `message`. Throws std::runtime_error "Ed25519 signing failed" (also when
// the key's second half is not the public key of its seed, so the signature could never verify)
// or "Ed25519 signer returned an unexpected size".
std::array<uint8_t, 64> sign_bytes(std::span<const uint8_t> message, const std::array<uint8_t, 64>& secret_key);

// Whether `signature` is a valid signature of `message` under `public_key`. Never throws.
bool verify_signature(std::span<const uint8_t> message, const std::array<uint8_t, 64>& signature,
                      const std::array<uint8_t, 32>& public_key) noexcept;

// Hex digits of either case, no prefix, no white space. Throws std::invalid_argument
// "hex input must have an even length" or "hex input contains an invalid character".
std::vector<uint8_t> hex_to_bytes(std::string_view hex);
// Lowercase hex, two digits per byte.
std::string bytes_to_hex(std::span<const uint8_t> bytes);

// The whole file. Throws std::runtime_error "cannot open file: <path>".
std::vector<uint8_t> read_binary_file(const std::filesystem::path& path);
// Exactly 64 raw bytes, else std::invalid_argument "signature file must contain exactly 64 bytes".
std::array<uint8_t, 64> read_signature_file(const std::filesystem::path& path);
// Hex key files; white space anywhere is ignored. Throws std::runtime_error
// "cannot open key file: <path>", the hex_to_bytes failures, or std::invalid_argument
// "key file has an unexpected size".
std::array<uint8_t, 32> read_public_key_file(const std::filesystem::path& path);
std::array<uint8_t, 64> read_secret_key_file(const std::filesystem::path& path);

}  // namespace velmo::ai
