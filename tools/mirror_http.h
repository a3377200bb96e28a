#pragma once
// One HTTP request to a mirror or the site, as the launcher makes it (its
// user agent, redirects followed), for the operator's checks.
#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <string>

struct HttpOptions {
  std::string cacert;     // trust only the authorities in this file
  bool insecure = false;  // verify no certificate
};

// Keep: the body, up to the launcher's 8 MiB manifest limit. Hash: its
// SHA-256 only. Stream: each piece to the callback (false ends the transfer).
enum class Body { Keep, Discard, Hash, Stream };

struct Answer {
  std::string error;  // no HTTP answer: what went wrong
  long status = 0;
  std::string contentRange;  // of the final response
  curl_off_t length = -1;    // Content-Length, -1 when not given
  std::string body;          // Body::Keep
  std::uint64_t bytes = 0;   // body bytes received
  std::string sha256;        // Body::Hash
};

using BodyPieces = std::function<bool(const unsigned char* data, std::size_t n)>;

// One request on `curl` (reset first). `range` is the text after "bytes=",
// or empty for none; `head` asks for the headers only.
Answer Request(CURL* curl, const HttpOptions& o, const std::string& url, const std::string& range, Body mode,
               bool head = false, const BodyPieces& pieces = {});
