#include "net/http.h"

#include <cstring>
#include <vector>

#include "app/log.h"

DWORD RequestFlagsFor(const std::string& url) {
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
  if (url.compare(0, 8, "https://") == 0)
    flags |= INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
  return flags;
}

HINTERNET OpenSession() { return InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0); }

void SetTimeouts(HINTERNET session, DWORD connectMs, DWORD sendMs, DWORD receiveMs) {
  InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
  if (sendMs) InternetSetOptionA(session, INTERNET_OPTION_SEND_TIMEOUT, &sendMs, sizeof sendMs);
  InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof receiveMs);
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

bool HttpGetToString(const std::string& url, std::string* body) {
  body->clear();
  InternetHandle session(OpenSession());
  if (!session) return false;
  SetTimeouts(session.get(), 60000, 0, 60000);
  InternetHandle request(InternetOpenUrlA(session.get(), url.c_str(), nullptr, 0, RequestFlagsFor(url), 0));
  if (!request) {
    LogWrite("HttpGetToString failed: %s err=%lu", url.c_str(), static_cast<unsigned long>(GetLastError()));
    return false;
  }
  IgnoreCertificateErrors(request.get());
  DWORD status = QueryStatusCode(request.get());
  if (status != 200) {
    LogWrite("HttpGetToString HTTP %lu: %s", static_cast<unsigned long>(status), url.c_str());
    return false;
  }
  std::vector<char> buf(65536, 0);
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(request.get(), buf.data(), static_cast<DWORD>(buf.size()), &got)) return false;
    if (got == 0) break;
    if (body->size() + got > kBodyLimit) {
      body->clear();
      return false;
    }
    body->append(buf.data(), got);
  }
  return !body->empty();
}
