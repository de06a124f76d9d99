#include "foundation/signature.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "foundation/file_io.h"
#include "foundation/randombytes.h"
#include "foundation/text.h"

namespace velmo::ai {
namespace {

static_assert(kPublicKeyBytes == crypto_sign_PUBLICKEYBYTES && kSecretKeyBytes == crypto_sign_SECRETKEYBYTES &&
              kSignatureBytes == crypto_sign_BYTES);

bool sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// Secret key text and bytes are wiped once they are no longer needed.
template <typename Container>
class Wipe {
 public:
  explicit Wipe(Container& c) : c_(c) {}
  ~Wipe() {
    if (!c_.empty()) sodium_memzero(c_.data(), c_.size() * sizeof(c_[0]));
  }
  Wipe(const Wipe&) = delete;
  Wipe& operator=(const Wipe&) = delete;

 private:
  Container& c_;
};

std::vector<uint8_t> read_hex_key(const std::filesystem::path& path, std::size_t expected_size) {
  std::string text = read_whole_file(path, "cannot open key file: ");
  Wipe wipe_text(text);
  text.erase(std::remove_if(text.begin(), text.end(), is_ascii_space), text.end());
  std::vector<uint8_t> bytes = hex_to_bytes(text);
  if (bytes.size() != expected_size) {
    Wipe wipe_bytes(bytes);
    throw std::invalid_argument("key file has an unexpected size");
  }
  return bytes;
}

}  // namespace

SigningKeyPair generate_signing_keypair() {
  if (!sodium_ready()) throw std::runtime_error("Ed25519 key generation failed");
  // libsodium's own key generation draws from its generator, not from ours: make the seed here.
  std::array<unsigned char, crypto_sign_SEEDBYTES> seed{};
  randombytes(seed.data(), seed.size());
  SigningKeyPair pair;
  int rc = crypto_sign_seed_keypair(pair.public_key.data(), pair.secret_key.data(), seed.data());
  sodium_memzero(seed.data(), seed.size());
  if (rc != 0) throw std::runtime_error("Ed25519 key generation failed");
  return pair;
}

Signature sign_bytes(std::span<const uint8_t> message, const SecretKey& secret_key) {
  if (!sodium_ready()) throw std::runtime_error("Ed25519 signing failed");
  const unsigned long long n = message.size();
  std::vector<unsigned char> signed_message(n + kSignatureBytes, 0);
  unsigned long long signed_length = 0;
  static const unsigned char kNothing = 0;
  const unsigned char* m = message.empty() ? &kNothing : message.data();
  if (crypto_sign(signed_message.data(), &signed_length, m, n, secret_key.data()) != 0) {
    throw std::runtime_error("Ed25519 signing failed");
  }
  if (signed_length != n + kSignatureBytes) throw std::runtime_error("Ed25519 signer returned an unexpected size");
  Signature signature{};
  std::copy_n(signed_message.begin(), kSignatureBytes, signature.begin());
  // The signer trusts the key's second half to be the seed's public key; when it is not, the
  // signature can never verify, so it must not be handed out as a success.
  PublicKey public_key{};
  std::copy_n(secret_key.end() - kPublicKeyBytes, kPublicKeyBytes, public_key.begin());
  if (!verify_signature(message, signature, public_key)) throw std::runtime_error("Ed25519 signing failed");
  return signature;
}

bool verify_signature(std::span<const uint8_t> message, const Signature& signature,
                      const PublicKey& public_key) noexcept {
  try {
    if (!sodium_ready()) return false;
    const unsigned long long n = message.size();
    std::vector<unsigned char> signed_message;
    signed_message.reserve(n + kSignatureBytes);
    signed_message.insert(signed_message.end(), signature.begin(), signature.end());
    signed_message.insert(signed_message.end(), message.begin(), message.end());
    std::vector<unsigned char> opened(n + kSignatureBytes, 0);
    unsigned long long opened_length = 0;
    if (crypto_sign_open(opened.data(), &opened_length, signed_message.data(), signed_message.size(),
                         public_key.data()) != 0) {
      return false;
    }
    if (opened_length != n) return false;
    return n == 0 || std::equal(message.begin(), message.end(), opened.begin());
  } catch (...) {
    return false;
  }
}

std::vector<uint8_t> hex_to_bytes(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("hex input must have an even length");
  std::vector<uint8_t> bytes(hex.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    int high = hex_value(hex[2 * i]);
    int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) throw std::invalid_argument("hex input contains an invalid character");
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return bytes;
}

std::vector<uint8_t> read_binary_file(const std::filesystem::path& path) {
  std::string data = read_whole_file(path, "cannot open file: ");
  return std::vector<uint8_t>(data.begin(), data.end());
}

Signature read_signature_file(const std::filesystem::path& path) {
  std::vector<uint8_t> data = read_binary_file(path);
  if (data.size() != kSignatureBytes) {
    throw std::invalid_argument("signature file must contain exactly " + std::to_string(kSignatureBytes) + " bytes");
  }
  Signature signature{};
  std::copy(data.begin(), data.end(), signature.begin());
  return signature;
}

PublicKey read_public_key_file(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes = read_hex_key(path, kPublicKeyBytes);
  PublicKey key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

SecretKey read_secret_key_file(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes = read_hex_key(path, kSecretKeyBytes);
  Wipe wipe(bytes);
  SecretKey key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

}  // namespace velmo::ai
