#pragma once
// What the launcher commands of realmporter-manifest share: one way to read
// a URL (the published feed and exe).
#include <string>

struct FetchTls {
  std::string cacert;  // a CA file for a site with its own certificate
  bool insecure = false;
};
// The body of a GET answered 200; empty on success, else what went wrong.
std::string FetchUrl(const std::string& url, const FetchTls& tls, std::string* body);

int LauncherFeedCommand(int argc, char** argv);     // tools/manifest_launcher_feed.cpp
int LauncherPublishCommand(int argc, char** argv);  // tools/manifest_launcher_publish.cpp
