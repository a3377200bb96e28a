#include "manifest/manifest_choice.h"

#include "manifest/fetch_manifest_rules.h"
#include "net/url.h"

namespace {

// Whether `a` was created after `b`; a time that does not read is older
// than any that does, and two that do not read are equal.
bool CreatedLater(std::string_view a, std::string_view b) {
  CreatedAt ta, tb;
  const bool readA = ParseCreatedAt(a, &ta), readB = ParseCreatedAt(b, &tb);
  if (!readA || !readB) return readA && !readB;
  if (ta.seconds != tb.seconds) return ta.seconds > tb.seconds;
  return ta.fraction > tb.fraction;
}

bool Under(const std::string& mirror, const std::string& base) {
  const std::string m = EnsureTrailingSlash(mirror), b = EnsureTrailingSlash(base);
  return m.compare(0, b.size(), b) == 0;
}

}  // namespace

int ChooseNewestManifest(const std::vector<ManifestOffer>& offers) {
  int chosen = -1;
  for (size_t i = 0; i < offers.size(); ++i) {
    if (!offers[i].usable) continue;
    if (chosen < 0 || CreatedLater(offers[i].createdAt, offers[chosen].createdAt)) chosen = static_cast<int>(i);
  }
  return chosen;
}

std::vector<std::string> MirrorsForJob(const std::vector<std::string>& manifestMirrors,
                                       const std::vector<std::string>& bases, const std::vector<ManifestOffer>& offers,
                                       std::string_view chosenId) {
  std::vector<std::string> out;
  for (const std::string& mirror : manifestMirrors) {
    bool other = false;
    for (size_t i = 0; i < bases.size() && i < offers.size(); ++i)
      if (!offers[i].id.empty() && offers[i].id != chosenId && Under(mirror, bases[i])) other = true;
    if (!other) out.push_back(mirror);
  }
  return out;
}

bool ContinuesWithManifest(std::string_view heldId, std::string_view heldCreatedAt, std::string_view offeredId,
                           std::string_view offeredCreatedAt) {
  return offeredId != heldId && CreatedLater(offeredCreatedAt, heldCreatedAt);
}
