#include "foundation/sha256.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "foundation/text.h"

namespace velmo::ai {
namespace {

using State = std::array<uint32_t, 8>;

constexpr std::size_t kBlockBytes = 64;
// The message's length in bits closes the last block.
constexpr std::size_t kLengthBytes = 8;
// What padding adds at most: the 0x80 byte and zeros up to the length, then the length.
constexpr std::size_t kMaxPaddingBytes = kBlockBytes + kLengthBytes;
constexpr std::size_t kReadChunk = std::size_t{64} << 10;

constexpr State kInitialState = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                 0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};

constexpr std::array<uint32_t, 64> kRoundConstants = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u};

constexpr uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void transform(const uint8_t* block, State& state) {
  uint32_t w[64];
  for (std::size_t i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
    uint32_t ch = (e & f) ^ (~e & g);
    uint32_t t1 = h + s1 + ch + kRoundConstants[i] + w[i];
    uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
    uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
    uint32_t t2 = s0 + maj;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

// Pads the tail (less than a block) held in `tail`, hashes the one or two closing blocks and
// writes the digest. `tail` has room for the remainder plus kMaxPaddingBytes, so it never
// reallocates.
Sha256Digest finish(std::vector<uint8_t>& tail, int64_t total_bytes, State& state) {
  tail.push_back(0x80);
  while (tail.size() % kBlockBytes != kBlockBytes - kLengthBytes) tail.push_back(0);
  const uint64_t bits = static_cast<uint64_t>(total_bytes) * 8u;
  for (std::size_t i = kLengthBytes; i-- > 0;) tail.push_back(static_cast<uint8_t>(bits >> (8 * i)));  // big-endian
  for (size_t offset = 0; offset < tail.size(); offset += kBlockBytes) transform(tail.data() + offset, state);
  Sha256Digest digest{};
  for (size_t i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(state[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(state[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(state[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(state[i]);
  }
  return digest;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

Sha256Digest sha256(std::string_view data) {
  State state = kInitialState;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  size_t whole = data.size() / kBlockBytes * kBlockBytes;
  for (size_t offset = 0; offset < whole; offset += kBlockBytes) transform(bytes + offset, state);
  std::vector<uint8_t> tail;
  tail.reserve(data.size() - whole + kMaxPaddingBytes);
  tail.insert(tail.end(), bytes + whole, bytes + data.size());
  return finish(tail, static_cast<int64_t>(data.size()), state);
}

namespace {

Sha256Digest hash_file(const std::filesystem::path& path, std::string* contents) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw std::runtime_error("cannot open file for SHA-256: " + path.native());
  if (contents != nullptr) {
    contents->clear();
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)) contents->reserve(static_cast<size_t>(info.st_size));
  }

  State state = kInitialState;
  std::vector<uint8_t> buffer(kReadChunk);
  std::vector<uint8_t> carry;
  carry.reserve(kBlockBytes + kMaxPaddingBytes);
  int64_t total = 0;
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      // Also a directory (EISDIR): it must never be hashed as if it were an empty file.
      throw std::runtime_error("cannot read file for SHA-256: " + path.native());
    }
    if (got == 0) break;
    total += got;
    if (contents != nullptr) contents->append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(got));
    const uint8_t* p = buffer.data();
    size_t left = static_cast<size_t>(got);
    // A read may come back short anywhere (pipes, network file systems), so the carry is
    // filled up to a whole block before the read buffer is hashed in place again.
    if (!carry.empty()) {
      size_t take = std::min(left, kBlockBytes - carry.size());
      carry.insert(carry.end(), p, p + take);
      p += take;
      left -= take;
      if (carry.size() < kBlockBytes) continue;
      transform(carry.data(), state);
      carry.clear();
    }
    size_t whole = left / kBlockBytes * kBlockBytes;
    for (size_t offset = 0; offset < whole; offset += kBlockBytes) transform(p + offset, state);
    carry.insert(carry.end(), p + whole, p + left);
  }
  return finish(carry, total, state);
}

}  // namespace

Sha256Digest sha256_file(const std::filesystem::path& path) { return hash_file(path, nullptr); }

Sha256Digest sha256_file(const std::filesystem::path& path, std::string& contents) {
  return hash_file(path, &contents);
}

std::string sha256_hex(const Sha256Digest& digest) { return bytes_to_hex(digest); }

}  // namespace velmo::ai
