#pragma once
// The operator's signature files: one ASCII line beside each signed file,
//   realmporter-sig-v1 ecdsa-p256-sha256 KEYID SIG\n
// KEYID: the first 8 bytes of the SHA-256 of the public key's uncompressed
// point (04 X Y), 16 lowercase hex digits. SIG: standard base64 with padding
// of the 64-byte r||s (big-endian halves) of an ECDSA P-256 signature over the
// SHA-256 of the signed file's exact bytes. Pure: parsing and formatting only;
// the launcher verifies with CNG, the tools and tests with OpenSSL.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

inline constexpr char kSignatureTag[] = "realmporter-sig-v1 ecdsa-p256-sha256";
inline constexpr char kSignatureSuffix[] = ".sig";
// A signature line is 143 bytes; anything much longer is not one.
inline constexpr size_t kSignatureFileLimit = 1024;

using EcPoint = std::array<unsigned char, 65>;      // 04, X, Y
using EcSignature = std::array<unsigned char, 64>;  // r, s
using Sha256Digest = std::array<unsigned char, 32>;

struct SignatureLine {
  std::string keyId;  // 16 lowercase hex digits
  EcSignature rs{};
};

// The exact format above, and nothing else: another tag, upper-case hex, a
// base64 text that is not exactly 64 bytes with canonical padding, a missing
// line feed or anything after it is refused.
bool ParseSignatureLine(std::string_view text, SignatureLine* out);
std::string FormatSignatureLine(const SignatureLine& line);

// False when the digest backend fails.
bool KeyIdOfPoint(const EcPoint& point, std::string* keyId);
// 64 hex digits (either case) to the digest's bytes.
bool DigestFromHex(std::string_view hex, Sha256Digest* out);

std::string Base64Encode(std::string_view bytes);
// Standard alphabet with padding; false for any other form.
bool Base64Decode(std::string_view text, std::string* out);
