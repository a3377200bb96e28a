#pragma once
// Test data for the block tables: reproducible random bytes, and the
// unsigned view the rolling sums take.
#include <random>
#include <string>

inline std::string Random(std::size_t n, unsigned seed) {
  std::mt19937 r(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(r());
  return s;
}
inline const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
