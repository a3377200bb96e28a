#include "game/realmfile.h"

namespace {

bool IsSafeField(std::string_view field) {
  for (unsigned char c : field)
    if (c == '"' || c < 0x20 || c == 0x7F) return false;
  return true;
}

}  // namespace

bool BuildRealmConfigText(std::string_view realm, std::string_view patch, std::string* out) {
  if (!IsSafeField(realm) || !IsSafeField(patch)) return false;
  std::string text;
  text.reserve(40 + realm.size() + patch.size());
  text.append("set realmlist \"").append(realm).append("\"\n");
  text.append("set patchlist \"").append(patch).append("\"\n");
  *out = std::move(text);
  return true;
}
