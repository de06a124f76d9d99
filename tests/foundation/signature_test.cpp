#include "foundation/signature.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/randombytes.h"
#include "tests/support/test_support.h"

namespace velmo::ai {
namespace {

template <size_t N>
std::array<uint8_t, N> array_of(const std::string& hex) {
  auto bytes = hex_to_bytes(hex);
  std::array<uint8_t, N> out{};
  EXPECT_EQ(bytes.size(), N);
  std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
  return out;
}

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

template <typename Fn>
std::string error_of(Fn fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

// RFC 8032, section 7.1, tests 1 and 2.
const std::string kSeed1 = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
const std::string kPublic1 = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const std::string kSignature1 =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24"
    "655141438e7a100b";
const std::string kSeed2 = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";
const std::string kPublic2 = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";
const std::string kSignature2 =
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aee"
    "b00d291612bb0c00";

TEST(Signature, Rfc8032VectorsSignAndVerifyByteForByte) {
  auto secret1 = array_of<64>(kSeed1 + kPublic1);
  auto public1 = array_of<32>(kPublic1);
  auto sig1 = sign_bytes({}, secret1);
  EXPECT_EQ(bytes_to_hex(sig1), kSignature1);
  EXPECT_TRUE(verify_signature({}, sig1, public1));

  const std::vector<uint8_t> message2 = {0x72};
  auto secret2 = array_of<64>(kSeed2 + kPublic2);
  auto sig2 = sign_bytes(message2, secret2);
  EXPECT_EQ(bytes_to_hex(sig2), kSignature2);
  EXPECT_TRUE(verify_signature(message2, sig2, array_of<32>(kPublic2)));
}

TEST(Signature, GeneratedKeysHaveTheSeedThenPublicLayoutAndDiffer) {
  SigningKeyPair a = generate_signing_keypair();
  SigningKeyPair b = generate_signing_keypair();
  EXPECT_NE(a.public_key, b.public_key);
  EXPECT_TRUE(std::equal(a.public_key.begin(), a.public_key.end(), a.secret_key.begin() + 32));
  std::array<uint8_t, 32> derived_public{};
  std::array<uint8_t, 64> derived_secret{};
  ASSERT_EQ(crypto_sign_seed_keypair(derived_public.data(), derived_secret.data(), a.secret_key.data()), 0);
  EXPECT_EQ(derived_public, a.public_key);
  EXPECT_EQ(derived_secret, a.secret_key);
}

TEST(Signature, RoundTripIsDeterministicAndTamperingIsRefused) {
  SigningKeyPair pair = generate_signing_keypair();
  SigningKeyPair other = generate_signing_keypair();
  const std::string text = "{\"name\": \"detector\", \"version\": \"1\"}\n";
  auto message = bytes_of(text);
  auto sig = sign_bytes(message, pair.secret_key);
  EXPECT_EQ(sign_bytes(message, pair.secret_key), sig);
  EXPECT_TRUE(verify_signature(message, sig, pair.public_key));

  for (size_t i = 0; i < text.size(); ++i) {
    std::string changed = text;
    changed[i] ^= 0x01;
    EXPECT_FALSE(verify_signature(bytes_of(changed), sig, pair.public_key)) << "message byte " << i;
  }
  for (size_t i = 0; i < sig.size(); ++i) {
    auto changed = sig;
    changed[i] ^= 0x80;
    EXPECT_FALSE(verify_signature(message, changed, pair.public_key)) << "signature byte " << i;
  }
  for (size_t i = 0; i < pair.public_key.size(); ++i) {
    auto changed = pair.public_key;
    changed[i] ^= 0x01;
    EXPECT_FALSE(verify_signature(message, sig, changed)) << "key byte " << i;
  }
  EXPECT_FALSE(verify_signature(message, sig, other.public_key));
  EXPECT_FALSE(verify_signature(bytes_of(text + " "), sig, pair.public_key));
  EXPECT_FALSE(verify_signature(bytes_of(text.substr(1)), sig, pair.public_key));
  EXPECT_FALSE(verify_signature({}, sig, pair.public_key));
  std::array<uint8_t, 32> not_a_point{};
  not_a_point.fill(0xff);
  EXPECT_FALSE(verify_signature(message, sig, not_a_point));
}

TEST(Signature, EmptyMessageSignsAndVerifies) {
  SigningKeyPair pair = generate_signing_keypair();
  auto sig = sign_bytes({}, pair.secret_key);
  EXPECT_TRUE(verify_signature({}, sig, pair.public_key));
  const std::vector<uint8_t> one = {0};
  EXPECT_FALSE(verify_signature(one, sig, pair.public_key));
}

TEST(Signature, SecretKeyWhoseSecondHalfIsNotItsPublicKeyIsRefused) {
  SigningKeyPair pair = generate_signing_keypair();
  SigningKeyPair other = generate_signing_keypair();
  auto mixed = pair.secret_key;
  std::copy(other.public_key.begin(), other.public_key.end(), mixed.begin() + 32);
  const std::string text = "manifest";
  EXPECT_EQ(error_of([&] { sign_bytes(bytes_of(text), mixed); }), "Ed25519 signing failed");
}

TEST(Hex, ConversionsAndTheirFailures) {
  std::vector<uint8_t> bytes(32);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37);
  std::string hex = bytes_to_hex(bytes);
  EXPECT_EQ(hex.size(), 64u);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(hex.substr(0, 6), "00254a");
  EXPECT_EQ(hex_to_bytes(hex), bytes);
  EXPECT_EQ(hex_to_bytes("00FFaB"), (std::vector<uint8_t>{0x00, 0xff, 0xab}));
  EXPECT_TRUE(hex_to_bytes("").empty());
  EXPECT_TRUE(bytes_to_hex({}).empty());

  EXPECT_EQ(error_of([] { hex_to_bytes("abc"); }), "hex input must have an even length");
  EXPECT_EQ(error_of([] { hex_to_bytes("x"); }), "hex input must have an even length");
  for (const char* bad : {"0x12", "ag", "1 ", "-1", "g0"}) {
    EXPECT_EQ(error_of([&] { hex_to_bytes(bad); }), "hex input contains an invalid character") << bad;
  }
}

class KeyFiles : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::string& name, const std::string& content) {
    auto path = dir_ / name;
    test::write_file(path, content);
    return path;
  }
  test::TempDir dir_;
};

TEST_F(KeyFiles, ReaderAcceptsCaseAndWhiteSpaceVariants) {
  SigningKeyPair pair = generate_signing_keypair();
  std::string pub = bytes_to_hex(pair.public_key);
  std::string upper = pub;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string spaced;
  for (size_t i = 0; i < pub.size(); i += 2) spaced += pub.substr(i, 2) + " ";
  const std::string variants[] = {
      pub + "\n",     pub,
      upper + "\r\n", "\r\n" + pub.substr(0, 32) + "\r\n" + pub.substr(32) + "\r\n",
      spaced,         "\t" + pub.substr(0, 10) + "\v" + pub.substr(10, 20) + "\f" + pub.substr(30) + " \n\n",
  };
  for (size_t i = 0; i < std::size(variants); ++i) {
    auto path = write("pub" + std::to_string(i), variants[i]);
    EXPECT_EQ(read_public_key_file(path), pair.public_key) << "variant " << i;
  }
  auto secret = write("secret", bytes_to_hex(pair.secret_key) + "\n");
  EXPECT_EQ(read_secret_key_file(secret), pair.secret_key);
}

TEST_F(KeyFiles, MalformedKeyFilesFailWithTheirMessages) {
  SigningKeyPair pair = generate_signing_keypair();
  std::string pub = bytes_to_hex(pair.public_key);
  std::string sec = bytes_to_hex(pair.secret_key);
  struct Case {
    std::string content;
    bool secret;
    const char* message;
  };
  const Case cases[] = {
      {pub.substr(0, 63), false, "hex input must have an even length"},
      {pub.substr(0, 63) + "\n", false, "hex input must have an even length"},
      {"0x" + pub.substr(0, 62), false, "hex input contains an invalid character"},
      {pub.substr(0, 62) + "zz", false, "hex input contains an invalid character"},
      {pub + "00", false, "key file has an unexpected size"},
      {"", false, "key file has an unexpected size"},
      {" \n", false, "key file has an unexpected size"},
      {sec + "\n", false, "key file has an unexpected size"},
      {pub + "\n", true, "key file has an unexpected size"},
      {sec.substr(0, 127), true, "hex input must have an even length"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    auto path = write("key" + std::to_string(i), cases[i].content);
    std::string error =
        cases[i].secret ? error_of([&] { read_secret_key_file(path); }) : error_of([&] { read_public_key_file(path); });
    EXPECT_EQ(error, cases[i].message) << "case " << i;
  }
  auto empty = write("empty", "");
  EXPECT_THROW(read_public_key_file(empty), std::invalid_argument);
}

TEST_F(KeyFiles, UnopenableKeyAndSignatureFiles) {
  auto missing = dir_ / "missing.pub";
  EXPECT_EQ(error_of([&] { read_public_key_file(missing); }), "cannot open key file: " + missing.native());
  EXPECT_EQ(error_of([&] { read_secret_key_file(missing); }), "cannot open key file: " + missing.native());
  EXPECT_EQ(error_of([&] { read_signature_file(missing); }), "cannot open file: " + missing.native());
  EXPECT_EQ(error_of([&] { read_binary_file(missing); }), "cannot open file: " + missing.native());
  // A directory is a read failure, never an empty file.
  EXPECT_THROW(read_public_key_file(dir_.path()), std::runtime_error);
  EXPECT_THROW(read_signature_file(dir_.path()), std::runtime_error);
  EXPECT_THROW(read_binary_file(dir_.path()), std::runtime_error);
}

TEST_F(KeyFiles, SignatureFileMustBeExactly64RawBytes) {
  SigningKeyPair pair = generate_signing_keypair();
  auto sig = sign_bytes({}, pair.secret_key);
  std::string raw(sig.begin(), sig.end());
  EXPECT_EQ(read_signature_file(write("ok.sig", raw)), sig);
  for (const std::string& bad : {raw + "\n", raw.substr(0, 63), bytes_to_hex(sig), std::string()}) {
    auto path = write("bad.sig", bad);
    EXPECT_EQ(error_of([&] { read_signature_file(path); }), "signature file must contain exactly 64 bytes")
        << bad.size() << " bytes";
  }
  std::string binary("\0\x01\r\n\xff", 5);
  EXPECT_EQ(read_binary_file(write("bin", binary)), (std::vector<uint8_t>{0, 1, '\r', '\n', 0xff}));
  EXPECT_TRUE(read_binary_file(write("none", "")).empty());
}

TEST(RandomBytes, ZeroLengthWritesNothingAndThreadsDrawIndependently) {
  std::array<unsigned char, 8> buffer{};
  buffer.fill(0xa5);
  randombytes(buffer.data(), 0);
  for (unsigned char b : buffer) EXPECT_EQ(b, 0xa5);

  std::vector<std::array<unsigned char, 32>> drawn(8);
  std::vector<std::thread> threads;
  for (auto& out : drawn) threads.emplace_back([&out] { randombytes(out.data(), out.size()); });
  for (auto& t : threads) t.join();
  std::set<std::array<unsigned char, 32>> distinct(drawn.begin(), drawn.end());
  EXPECT_EQ(distinct.size(), drawn.size());
}

}  // namespace
}  // namespace velmo::ai
