#pragma once
// What the launcher commands of realmporter-manifest share: one way to read
// a URL (the published feed and exe).
#include <string>

#include "tools/mirror_http.h"

// A CA file for a site with its own certificate, or no check at all.
using FetchTls = HttpOptions;
// The body of a GET answered 200, through the tools' one request
// (tools/mirror_http.h); empty on success, else what went wrong.
std::string FetchUrl(const std::string& url, const FetchTls& tls, std::string* body);

int LauncherFeedCommand(int argc, char** argv);     // tools/manifest_launcher_feed.cpp
int LauncherPublishCommand(int argc, char** argv);  // tools/manifest_launcher_publish.cpp
