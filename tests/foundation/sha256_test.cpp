#include "foundation/sha256.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

std::string hex_of(std::string_view data) { return sha256_hex(sha256(data)); }

// libsodium's SHA-256 as an independent reference.
std::string reference_hex(const std::string& data) {
  std::array<uint8_t, 32> digest{};
  crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(data.data()), data.size());
  return sha256_hex(digest);
}

std::string sha256sum_of(const std::filesystem::path& path) {
  auto result = test::run_process({"sha256sum", path.string()});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  return result.out.substr(0, 64);
}

std::string patterned(size_t n) {
  std::string data(n, '\0');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 131 + 7) & 0xff);
  return data;
}

std::string error_of(const std::filesystem::path& path) {
  try {
    sha256_file(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(Sha256, Fips180Vectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrst"
       "u",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex_of(c.message), c.digest) << "length " << c.message.size();
}

TEST(Sha256, EveryLengthAroundTheBlockBoundariesMatchesTheReference) {
  for (size_t n = 0; n <= 200; ++n) {
    std::string data = patterned(n);
    ASSERT_EQ(hex_of(data), reference_hex(data)) << "length " << n;
  }
}

TEST(Sha256, HexIsLowercaseWithLeadingZeros) {
  std::array<uint8_t, 32> digest{};
  digest[0] = 0x0a;
  digest[1] = 0xf0;
  digest[31] = 0x01;
  std::string hex = sha256_hex(digest);
  EXPECT_EQ(hex.size(), 64u);
  EXPECT_EQ(hex.substr(0, 4), "0af0");
  EXPECT_EQ(hex.substr(62), "01");
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(Sha256File, MatchesSha256sumAndTheOneShotDigestAcrossBlockAndBufferBoundaries) {
  test::TempDir dir;
  for (size_t n : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 65535u, 65536u, 65537u, 131072u, 200003u}) {
    std::string data = patterned(n);
    auto path = dir / ("f" + std::to_string(n));
    test::write_file(path, data);
    std::string file_hex = sha256_hex(sha256_file(path));
    EXPECT_EQ(file_hex, hex_of(data)) << "length " << n;
    EXPECT_EQ(file_hex, reference_hex(data)) << "length " << n;
    EXPECT_EQ(file_hex, sha256sum_of(path)) << "length " << n;
    std::string kept = "stale";
    EXPECT_EQ(sha256_hex(sha256_file(path, kept)), file_hex) << "length " << n;
    EXPECT_EQ(kept, data) << "length " << n;
  }
}

TEST(Sha256File, LargeFileIsHashedInConstantMemory) {
  test::TempDir dir;
  auto path = dir / "large.bin";
  constexpr off_t kSize = 96 * 1024 * 1024 + 17;
  {
    std::ofstream out(path, std::ios::binary);
    out << "head";
  }
  // Sparse: costs no disk, but every byte is read back.
  ASSERT_EQ(::truncate(path.c_str(), kSize), 0);
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  std::string hex = sha256_hex(sha256_file(path));
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(hex, sha256sum_of(path));
  // ru_maxrss is in KiB: the peak may grow by far less than the file's 96 MiB.
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024);
}

TEST(Sha256File, ShortReadsFromAPipeStillGiveTheRightDigest) {
  test::TempDir dir;
  auto fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string data = patterned(300000);
  std::thread writer([&] {
    std::FILE* f = std::fopen(fifo.c_str(), "wb");
    if (f == nullptr) return;
    std::setvbuf(f, nullptr, _IONBF, 0);
    size_t offset = 0;
    const size_t sizes[] = {1, 63, 100, 4096, 65536, 7, 70000};
    for (size_t i = 0; offset < data.size(); ++i) {
      size_t n = std::min(sizes[i % 7], data.size() - offset);
      std::fwrite(data.data() + offset, 1, n, f);
      offset += n;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::fclose(f);
  });
  // The bytes handed back are exactly the ones hashed, however the reads were cut.
  std::string kept;
  std::string hex = sha256_hex(sha256_file(fifo, kept));
  writer.join();
  EXPECT_EQ(hex, hex_of(data));
  EXPECT_EQ(kept, data);
}

TEST(Sha256File, UnopenableAndUnreadablePathsAreErrors) {
  test::TempDir dir;
  auto missing = dir / "missing.onnx";
  EXPECT_EQ(error_of(missing), "cannot open file for SHA-256: " + missing.native());
  // A directory opens on Linux but is no data: never the digest of an empty file.
  EXPECT_EQ(error_of(dir.path()), "cannot read file for SHA-256: " + dir.path().native());
}

}  // namespace
}  // namespace velmo::ai
