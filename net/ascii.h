#pragma once
// Comparisons that ignore the case of ASCII letters only, for file names,
// paths and hexadecimal digests (narrow or wide). Pure.
#include <string_view>

template <class Char>
constexpr Char AsciiLower(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <class Char>
bool EqualsIgnoreAsciiCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}
