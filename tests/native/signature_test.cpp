#include "manifest/signature.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kLine[] =
    "realmporter-sig-v1 ecdsa-p256-sha256 0123456789abcdef "
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+Pw==\n";

TEST(Signature, LineRoundTrips) {
  SignatureLine line;
  ASSERT_TRUE(ParseSignatureLine(kLine, &line));
  EXPECT_EQ(line.keyId, "0123456789abcdef");
  for (int i = 0; i < 64; ++i) EXPECT_EQ(line.rs[i], i);
  EXPECT_EQ(FormatSignatureLine(line), kLine);
}

TEST(Signature, AnyOtherFormIsRefused) {
  const std::string good = kLine;
  const std::string body = good.substr(0, good.size() - 1);
  SignatureLine line;
  for (const std::string& bad : {
           body,                                                       // no line feed
           body + "\r\n",                                              // CR LF
           good + "x",                                                 // more after the line
           "realmporter-sig-v2" + good.substr(18),                     // another format tag
           good.substr(0, 37) + "0123456789ABCDEF" + good.substr(53),  // upper-case key id
           good.substr(0, 37) + "0123456789abcde " + good.substr(53),  // short key id
           good.substr(0, 54) + good.substr(58),                       // 63 bytes of signature
           good.substr(0, good.size() - 4) + "x==\n",                  // bits under the padding
           good.substr(0, good.size() - 5) + "Pw=A\n",                 // padding in the middle
           good.substr(0, 54) + "!" + good.substr(55),                 // not base64
       })
    EXPECT_FALSE(ParseSignatureLine(bad, &line)) << bad;
}

TEST(Signature, Base64) {
  std::string out;
  for (const char* s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    ASSERT_TRUE(Base64Decode(Base64Encode(s), &out)) << s;
    EXPECT_EQ(out, s);
  }
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_FALSE(Base64Decode("Zm9=", &out));
}

TEST(Signature, DigestFromHex) {
  Sha256Digest d;
  ASSERT_TRUE(DigestFromHex(std::string(62, '0') + "Ff", &d));
  EXPECT_EQ(d[31], 0xff);
  EXPECT_FALSE(DigestFromHex(std::string(63, '0') + "g", &d));
  EXPECT_FALSE(DigestFromHex(std::string(62, '0'), &d));
}

}  // namespace
