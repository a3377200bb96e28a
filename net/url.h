#pragma once
// URL and HTTP header text helpers shared by the manifest, download and
// install code. Pure.
#include <cstdint>
#include <string>
#include <string_view>

// Percent-encodes every byte except A-Z a-z 0-9 - _ . ~ / ("%%%02X").
std::string UrlEncodePath(std::string_view path);
// Appends '/' unless the text is empty or already ends in '/'.
std::string EnsureTrailingSlash(std::string_view url);
// Begins with "http://" or "https://", ASCII case ignored: a web page, not a
// program path, a share or a file: address that the shell would start; and
// without a double quote or a control character.
bool IsWebAddress(std::string_view address);
// "scheme://host[:port]/" of a URL (the root of its server), or empty.
std::string UrlServerRoot(std::string_view url);

// Content-Range "bytes a-b/total" of a 206 answer: the first byte's offset a.
// False for any other form (another unit, "*" for the range, no number).
bool ContentRangeStart(std::string_view contentRange, std::uint64_t* start);
// Its total after '/'; 0 when it is missing or '*'.
std::uint64_t ContentRangeTotal(std::string_view contentRange);
