#include "app/kept_copies.h"

#include <algorithm>
#include <tuple>

unsigned long long KeptSequence(std::wstring_view name, std::wstring_view prefix) {
  if (name.size() < prefix.size() + 3 || name.substr(0, prefix.size()) != prefix) return 0;
  name.remove_prefix(prefix.size());
  if (name.substr(0, 2) != L"-n") return 0;
  name.remove_prefix(2);
  unsigned long long seq = 0;
  std::size_t digits = 0;
  for (; digits < name.size() && digits < 18 && name[digits] >= L'0' && name[digits] <= L'9'; ++digits)
    seq = seq * 10 + static_cast<unsigned>(name[digits] - L'0');
  // Digits up to the end or a '-': "-n12x" is a name of the player's.
  if (digits == 0 || (digits < name.size() && name[digits] != L'-')) return 0;
  return seq;
}

std::wstring NextKeptName(const std::vector<std::wstring>& names, std::wstring_view prefix, std::wstring_view stamp) {
  unsigned long long top = 0;
  for (const std::wstring& n : names) top = std::max(top, KeptSequence(n, prefix));
  std::wstring out(prefix);
  out += L"-n" + std::to_wstring(top + 1);
  if (!stamp.empty()) out += L"-" + std::wstring(stamp);
  return out;
}

std::vector<std::wstring> KeptBeyond(std::vector<std::wstring> names, std::wstring_view prefix, std::size_t keep,
                                     std::wstring_view justMade) {
  std::erase(names, std::wstring(justMade));
  const std::size_t room = justMade.empty() ? keep : (keep > 0 ? keep - 1 : 0);
  std::sort(names.begin(), names.end(), [prefix](const std::wstring& a, const std::wstring& b) {
    return std::make_tuple(KeptSequence(a, prefix), std::wstring_view(a)) <
           std::make_tuple(KeptSequence(b, prefix), std::wstring_view(b));
  });
  if (names.size() <= room) return {};
  names.resize(names.size() - room);
  return names;
}
