#include "hash/sha256_x86.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <random>
#include <string>

#include "hash/sha256.h"

namespace {

std::string Hex(const std::uint8_t* d) {
  char hex[65];
  for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
  return std::string(hex, 64);
}

// Fed in pieces of `piece` bytes (the last one shorter).
std::string X86Hex(const std::string& data, std::size_t piece) {
  Sha256X86 h;
  Sha256X86Init(&h);
  for (std::size_t at = 0; at < data.size(); at += piece)
    Sha256X86Update(&h, data.data() + at, std::min(piece, data.size() - at));
  std::uint8_t d[32];
  Sha256X86Finish(&h, d);
  return Hex(d);
}

std::string OpensslHex(const std::string& data) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(data.data(), data.size(), d, &len, EVP_sha256(), nullptr);
  return Hex(d);
}

#define REQUIRE_SHA_INSTRUCTIONS() \
  if (!Sha256X86Available()) GTEST_SKIP() << "this processor has no SHA instructions"

// FIPS 180-4 examples and NIST's long message.
TEST(Sha256X86, KnownAnswers) {
  REQUIRE_SHA_INSTRUCTIONS();
  struct Case {
    std::string data;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
       "nopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(X86Hex(c.data, c.data.size() + 1), c.digest) << c.data.size() << " bytes in one piece";
    EXPECT_EQ(X86Hex(c.data, 1), c.digest) << c.data.size() << " bytes one at a time";
  }
}

// Every length around the padding's boundaries, fed in pieces that split
// and join blocks in every way.
TEST(Sha256X86, AgreesWithOpenssl) {
  REQUIRE_SHA_INSTRUCTIONS();
  std::mt19937 r(7);
  std::string data(70000, '\0');
  for (char& c : data) c = static_cast<char>(r());
  for (std::size_t n = 0; n <= 200; ++n)
    for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 128u, 1000u})
      ASSERT_EQ(X86Hex(data.substr(0, n), piece), OpensslHex(data.substr(0, n))) << n << " in " << piece;
  for (std::size_t piece : {64u, 4095u, 65536u, 70000u}) EXPECT_EQ(X86Hex(data, piece), OpensslHex(data)) << piece;
}

// Digests from a manifest are compared ignoring case, and only whole: a
// prefix of the right digest is another digest.
TEST(DigestText, EqualOnlyWholeAndIgnoringCase) {
  const std::string d = "0f" + std::string(62, 'a'), upper = "0F" + std::string(62, 'A');
  const struct {
    std::string a, b;
    bool equal;
  } cases[] = {
      {d, d, true},
      {d, upper, true},
      {upper, d, true},
      {d, d.substr(0, 63), false},
      {d.substr(0, 63), d, false},
      {d, "", false},
      {"", d, false},
      {"", "", true},
      {d, d + "a", false},
      {d, "1f" + std::string(62, 'a'), false},
      {d, "0f" + std::string(61, 'a') + "b", false},
  };
  for (const auto& c : cases) EXPECT_EQ(DigestEquals(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

}  // namespace
