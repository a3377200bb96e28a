#include "manifest/signature.h"

#include "hash/sha256.h"

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kKeyIdDigits = 16;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsLowerHex(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kBase64[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kBase64[v & 63] : '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string* out) {
  if (text.size() % 4 != 0) return false;
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pad = 0;
    unsigned v = 0;
    for (size_t j = 0; j < 4; ++j) {
      char c = text[i + j];
      if (c == '=' && last && j >= 2 && (j == 3 || text[i + 3] == '=')) {
        ++pad;
        v <<= 6;
        continue;
      }
      int d = Base64Value(c);
      if (d < 0 || pad > 0) return false;
      v = (v << 6) | static_cast<unsigned>(d);
    }
    // Bits under the padding must be zero, so that one byte string has one text.
    if ((pad == 1 && (v & 0xff)) || (pad == 2 && (v & 0xffff))) return false;
    bytes += static_cast<char>((v >> 16) & 0xff);
    if (pad < 2) bytes += static_cast<char>((v >> 8) & 0xff);
    if (pad < 1) bytes += static_cast<char>(v & 0xff);
  }
  *out = std::move(bytes);
  return true;
}

bool ParseSignatureLine(std::string_view text, SignatureLine* out) {
  const std::string_view tag = kSignatureTag;
  if (text.size() < tag.size() + 1 || text.substr(0, tag.size()) != tag || text[tag.size()] != ' ') return false;
  text.remove_prefix(tag.size() + 1);
  if (text.size() < kKeyIdDigits + 1 || text[kKeyIdDigits] != ' ') return false;
  std::string_view keyId = text.substr(0, kKeyIdDigits);
  if (!IsLowerHex(keyId)) return false;
  text.remove_prefix(kKeyIdDigits + 1);
  if (text.empty() || text.back() != '\n') return false;
  text.remove_suffix(1);
  std::string rs;
  if (!Base64Decode(text, &rs) || rs.size() != 64) return false;
  out->keyId.assign(keyId);
  for (size_t i = 0; i < 64; ++i) out->rs[i] = static_cast<unsigned char>(rs[i]);
  return true;
}

std::string FormatSignatureLine(const SignatureLine& line) {
  return std::string(kSignatureTag) + ' ' + line.keyId + ' ' +
         Base64Encode(std::string_view(reinterpret_cast<const char*>(line.rs.data()), line.rs.size())) + '\n';
}

bool KeyIdOfPoint(const EcPoint& point, std::string* keyId) {
  std::string hex;
  if (!Sha256HexOfString(std::string_view(reinterpret_cast<const char*>(point.data()), point.size()), &hex))
    return false;
  *keyId = hex.substr(0, kKeyIdDigits);
  return true;
}

bool DigestFromHex(std::string_view hex, Sha256Digest* out) {
  if (hex.size() != 64) return false;
  Sha256Digest d;
  for (size_t i = 0; i < 32; ++i) {
    int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    d[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  *out = d;
  return true;
}
