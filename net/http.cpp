#include "net/http.h"

#include <cstring>
#include <vector>

#include "app/log.h"
#include "net/url.h"

DWORD RequestFlagsFor(const std::string& url) {
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
  if (url.compare(0, 8, "https://") == 0)
    flags |= INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
  return flags;
}

HINTERNET OpenSession() { return InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0); }

namespace {

void SetTimeouts(HINTERNET handle, const UrlTimeouts& t) {
  DWORD connect = t.connectMs, send = t.sendMs, receive = t.receiveMs;
  InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  if (send) InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof send);
  InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
}

}  // namespace

bool IsNetTimeoutError(DWORD error) {
  return error == ERROR_INTERNET_TIMEOUT || error == ERROR_INTERNET_CONNECTION_ABORTED;
}

bool OpenUrl(const std::string& url, const char* extraHeader, const UrlTimeouts& timeouts, OpenedUrl* out) {
  auto fail = [&](DWORD error) {
    out->error = error;
    return false;
  };
  out->error = 0;
  out->session.Reset(OpenSession());
  if (!out->session) return fail(GetLastError());
  SetTimeouts(out->session.get(), timeouts);
  char host[INTERNET_MAX_HOST_NAME_LENGTH] = {};
  std::vector<char> path(url.size() + 2, '\0'), extra(url.size() + 2, '\0');
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizeof host;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
  if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS))
    return fail(ERROR_INTERNET_INVALID_URL);
  out->connection.Reset(
      InternetConnectA(out->session.get(), host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!out->connection) return fail(GetLastError());
  SetTimeouts(out->connection.get(), timeouts);
  std::string object = std::string(path.data()) + extra.data();
  if (object.empty()) object.push_back('/');
  DWORD flags = RequestFlagsFor(url);
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  // The program's servers hand out files, never cookies, and the request on
  // the wire is the same without them. Wine's WinINet would look for stored
  // cookies in its URL cache under every folder of the path, for every
  // request, one thread at a time: about 9 ms of each small file's request
  // in the client download (three workers), the largest part of the time
  // between two files on a connection.
  flags |= INTERNET_FLAG_NO_COOKIES;
  out->request.Reset(
      HttpOpenRequestA(out->connection.get(), "GET", object.c_str(), nullptr, nullptr, nullptr, flags, 0));
  if (!out->request) return fail(GetLastError());
  IgnoreCertificateErrors(out->request.get());
  if (!HttpSendRequestA(out->request.get(), extraHeader, extraHeader ? static_cast<DWORD>(-1) : 0, nullptr, 0))
    return fail(GetLastError());
  return true;
}

void IgnoreCertificateErrors(HINTERNET request) {
  DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_WRONG_USAGE |
                SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

DWORD QueryStatusCode(HINTERNET request) {
  DWORD status = 0, len = sizeof status;
  HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &len, nullptr);
  return status;
}

std::string QueryHeader(HINTERNET request, DWORD which, DWORD bufSize) {
  std::vector<char> buf(bufSize, 0);
  DWORD len = bufSize;
  if (!HttpQueryInfoA(request, which, buf.data(), &len, nullptr)) return {};
  return std::string(buf.data(), len < bufSize ? len : bufSize);
}

bool PartStartsAt(HINTERNET request, std::uint64_t offset, const std::string& url) {
  const std::string contentRange = QueryHeader(request, HTTP_QUERY_CONTENT_RANGE, 160);
  std::uint64_t start = 0;
  if (ContentRangeStart(contentRange, &start) && start == offset) return true;
  LogWrite("Download range mismatch (asked from %llu, got \"%s\"): %s", static_cast<unsigned long long>(offset),
           contentRange.c_str(), url.c_str());
  return false;
}

SmallFetchResult FetchSmallDocument(const std::string& url, const UrlTimeouts& timeouts, size_t limit,
                                    std::string* body) {
  body->clear();
  SmallFetchResult r;
  OpenedUrl opened;
  if (!OpenUrl(url, nullptr, timeouts, &opened)) {
    r.error = opened.error;
    return r;
  }
  HINTERNET request = opened.request.get();
  r.status = QueryStatusCode(request);
  r.outcome = SmallFetchResult::kStatus;
  if (r.status != 200) return r;
  std::vector<char> buf(65536, 0);
  for (;;) {
    DWORD got = 0;
    r.outcome = SmallFetchResult::kReadFailed;
    if (!InternetReadFile(request, buf.data(), static_cast<DWORD>(buf.size()), &got)) break;
    r.outcome = SmallFetchResult::kOk;
    if (got == 0) return r;
    if (body->size() + got > limit) {
      r.outcome = SmallFetchResult::kTooLarge;
      break;
    }
    body->append(buf.data(), got);
  }
  body->clear();
  return r;
}

bool HttpGetToString(const std::string& url, std::string* body, const UrlTimeouts& timeouts) {
  const SmallFetchResult r = FetchSmallDocument(url, timeouts, kBodyLimit, body);
  if (r.outcome == SmallFetchResult::kOpenFailed)
    LogWrite("HttpGetToString failed: %s err=%lu", url.c_str(), static_cast<unsigned long>(r.error));
  else if (r.outcome == SmallFetchResult::kStatus)
    LogWrite("HttpGetToString HTTP %lu: %s", static_cast<unsigned long>(r.status), url.c_str());
  return r.ok() && !body->empty();
}
