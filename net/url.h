#pragma once
// URL text helpers shared by the manifest, download and install code. Pure.
#include <string>
#include <string_view>

// Percent-encodes every byte except A-Z a-z 0-9 - _ . ~ / ("%%%02X").
std::string UrlEncodePath(std::string_view path);
// Appends '/' unless the text is empty or already ends in '/'.
std::string EnsureTrailingSlash(std::string_view url);
// "scheme://host[:port]/" of a URL (the root of its server), or empty.
std::string UrlServerRoot(std::string_view url);
