#include "hash/sha256.h"

namespace {

char HexLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

// Compared here rather than through net/ascii.h: hashing sits below the
// transport and includes nothing of it.
bool DigestEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (HexLower(a[i]) != HexLower(b[i])) return false;
  return true;
}
