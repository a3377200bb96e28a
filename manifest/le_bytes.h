#pragma once
// The byte-level pieces of the operator's binary files (block maps and their
// region indexes): little-endian numbers and raw digests from hex. Inline so
// that the fuzz targets and the tools take them with the file formats.
#include <cstdint>
#include <string>
#include <string_view>

namespace le_bytes {

inline void Put32(std::string* s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}
inline void Put64(std::string* s, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}
// `n` bytes at `at`; the caller has checked that they are inside `s`.
inline std::uint64_t Get(std::string_view s, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}
inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
// False for an odd length or a character that is not a hex digit.
inline bool HexToBytes(std::string_view hex, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
  }
  return hex.size() % 2 == 0;
}

inline std::string BytesToHex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

}  // namespace le_bytes
