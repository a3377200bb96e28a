// The operator's requests to mirrors and the site (tools/mirror_http.h).
#include "tools/mirror_http.h"

#include <openssl/evp.h>
#include <strings.h>

#include <cstdio>

namespace {

// The launcher's limit for a manifest document.
constexpr std::uint64_t kManifestLimit = 8u << 20;

struct Sink {
  Body mode;
  Answer* answer;
  EVP_MD_CTX* digest;
  const BodyPieces* pieces;
};

size_t OnData(char* data, size_t size, size_t count, void* user) {
  Sink& sink = *static_cast<Sink*>(user);
  const size_t n = size * count;
  sink.answer->bytes += n;
  if (sink.mode == Body::Keep) {
    if (sink.answer->body.size() + n > kManifestLimit) return 0;  // ends the transfer
    sink.answer->body.append(data, n);
  } else if (sink.mode == Body::Hash) {
    EVP_DigestUpdate(sink.digest, data, n);
  } else if (sink.mode == Body::Stream) {
    if (!(*sink.pieces)(reinterpret_cast<const unsigned char*>(data), n)) return 0;
  }
  return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  Answer& answer = *static_cast<Answer*>(user);
  const size_t n = size * count;
  std::string line(data, n);
  // A redirect's headers come first; only the final response counts.
  if (line.rfind("HTTP/", 0) == 0) answer.contentRange.clear();
  const char key[] = "content-range:";
  if (line.size() > sizeof key - 1 && strncasecmp(line.c_str(), key, sizeof key - 1) == 0) {
    std::string value = line.substr(sizeof key - 1);
    const size_t first = value.find_first_not_of(" \t");
    const size_t last = value.find_last_not_of(" \t\r\n");
    answer.contentRange = first == std::string::npos ? "" : value.substr(first, last - first + 1);
  }
  return n;
}

}  // namespace

Answer Request(CURL* curl, const HttpOptions& o, const std::string& url, const std::string& range, Body mode, bool head,
               const BodyPieces& pieces) {
  Answer answer;
  EVP_MD_CTX* digest = mode == Body::Hash ? EVP_MD_CTX_new() : nullptr;
  if (digest) EVP_DigestInit_ex(digest, EVP_sha256(), nullptr);
  Sink sink{mode, &answer, digest, &pieces};
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // What the launcher sends, so that rules a mirror keeps for it apply.
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "RealmPorter/2.0 (Game Client Launcher)");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  // A mirror that goes silent is a problem to report, not a hang.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnData);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
  if (!range.empty()) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
  if (head) curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (!o.cacert.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, o.cacert.c_str());
  if (o.insecure) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  CURLcode code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &answer.length);
  if (code == CURLE_WRITE_ERROR && mode == Body::Keep) {
    answer.error = "longer than the launcher's 8 MiB limit";
  } else if (code != CURLE_OK) {
    answer.error = error[0] ? error : curl_easy_strerror(code);
  }
  if (digest) {
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(digest, sum, &len);
    EVP_MD_CTX_free(digest);
    char hex[3];
    for (unsigned i = 0; i < len; ++i) {
      std::snprintf(hex, sizeof hex, "%02x", sum[i]);
      answer.sha256 += hex;
    }
  }
  return answer;
}
