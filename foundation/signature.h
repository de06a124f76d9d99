#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/text.h"

namespace velmo::ai {

// Ed25519's sizes; the secret key is the 32-byte seed followed by the public key.
inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSecretKeyBytes = 64;
inline constexpr std::size_t kSignatureBytes = 64;
using PublicKey = std::array<uint8_t, kPublicKeyBytes>;
using SecretKey = std::array<uint8_t, kSecretKeyBytes>;
using Signature = std::array<uint8_t, kSignatureBytes>;

struct SigningKeyPair {
  PublicKey public_key{};
  SecretKey secret_key{};
};

// A new random key pair (seed from `randombytes`). Throws std::runtime_error
// "Ed25519 key generation failed".
SigningKeyPair generate_signing_keypair();

// Detached signature of `message`. Throws std::runtime_error "Ed25519 signing failed" (also when
// the key's second half is not the public key of its seed, so the signature could never verify)
// or "Ed25519 signer returned an unexpected size".
Signature sign_bytes(std::span<const uint8_t> message, const SecretKey& secret_key);

// Whether `signature` is a valid signature of `message` under `public_key`. Never throws.
bool verify_signature(std::span<const uint8_t> message, const Signature& signature,
                      const PublicKey& public_key) noexcept;

// Hex digits of either case, no prefix, no white space. Throws std::invalid_argument
// "hex input must have an even length" or "hex input contains an invalid character".
std::vector<uint8_t> hex_to_bytes(std::string_view hex);

// The whole file. Throws std::runtime_error "cannot open file: <path>".
std::vector<uint8_t> read_binary_file(const std::filesystem::path& path);
// Exactly 64 raw bytes, else std::invalid_argument "signature file must contain exactly 64 bytes".
Signature read_signature_file(const std::filesystem::path& path);
// Hex key files; white space anywhere is ignored. Throws std::runtime_error
// "cannot open key file: <path>", the hex_to_bytes failures, or std::invalid_argument
// "key file has an unexpected size".
PublicKey read_public_key_file(const std::filesystem::path& path);
SecretKey read_secret_key_file(const std::filesystem::path& path);

}  // namespace velmo::ai
