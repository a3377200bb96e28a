// The update feed comes from the site or anyone on the way to it, before its
// signature is looked at: any bytes must parse without crashing, and a feed
// that is accepted is written back by the operator's rules into a document
// that reads back to the same values.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "manifest/launcher_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  LauncherVersion v;
  if (ParseLauncherVersion(text, &v) && FormatLauncherVersion(v) != text) std::abort();
  LauncherFeed feed;
  if (!ParseLauncherFeed(text, &feed)) return 0;
  std::string doc;
  LauncherFeed back;
  if (!FormatLauncherFeed(feed, &doc) || !ParseLauncherFeed(doc, &back)) std::abort();
  if (CompareLauncherVersions(back.version, feed.version) != 0 || back.size != feed.size ||
      back.sha256 != feed.sha256 || back.url != feed.url || back.notes != feed.notes)
    std::abort();
  return 0;
}
