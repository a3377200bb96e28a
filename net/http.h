#pragma once
// The program's HTTP requests over WinINet: one user agent, the system's
// proxy settings, no cache, and certificate errors never stopping a request
// (the mirrors run with self-made certificates).
#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

inline constexpr char kUserAgent[] = "RealmPorter/2.0 (Game Client Launcher)";
inline constexpr DWORD kBodyLimit = 8388608;

// Closes a WinINet handle when it goes out of scope.
class InternetHandle {
 public:
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET h) : h_(h) {}
  ~InternetHandle() { Reset(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  InternetHandle(InternetHandle&& other) noexcept : h_(other.Release()) {}
  InternetHandle& operator=(InternetHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  void Reset(HINTERNET h = nullptr) {
    if (h_) InternetCloseHandle(h_);
    h_ = h;
  }
  HINTERNET Release() {
    HINTERNET h = h_;
    h_ = nullptr;
    return h;
  }
  HINTERNET get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HINTERNET h_ = nullptr;
};

// 0x84803000 when the URL begins with "https://" (exactly, case-sensitive),
// else 0x84000000.
DWORD RequestFlagsFor(const std::string& url);
// A session with the agent and the system's proxy settings.
HINTERNET OpenSession();
// Certificate authority, usage, name and date errors ignored (0x3300).
void IgnoreCertificateErrors(HINTERNET request);
// The numeric status code, 0 when it cannot be read.
DWORD QueryStatusCode(HINTERNET request);
// A header's text (at most `bufSize` bytes), empty when there is none.
std::string QueryHeader(HINTERNET request, DWORD which, DWORD bufSize);
// For a 206 answer to "Range: bytes=offset-": whether the part starts at
// `offset`. Another part must not be appended to the bytes on disk; the
// mismatch is logged.
bool PartStartsAt(HINTERNET request, std::uint64_t offset, const std::string& url);

struct UrlTimeouts {
  DWORD connectMs = 60000;
  DWORD sendMs = 0;     // 0: the system's default
  DWORD receiveMs = 0;  // 0: none, a read waits for the server
};

// The handles of one request, closed request first. Closing the session
// would close the others with it.
struct OpenedUrl {
  InternetHandle session, connection, request;
  DWORD error = 0;  // the system's error code when the open failed
  void Close() {
    request.Reset();
    connection.Reset();
    session.Reset();
  }
};

// The program's one way to open a URL: a GET with the user agent, the
// system's proxy settings, the request flags of RequestFlagsFor (and a
// secure connection for any https scheme), every certificate error ignored,
// an optional extra header line, and the time-outs set on the connection
// before the request is sent (Wine applies a receive time-out only then).
// False when the request could not be sent; `out->error` says why.
bool OpenUrl(const std::string& url, const char* extraHeader, const UrlTimeouts& timeouts, OpenedUrl* out);
// 12002 (time-out) or 12030 (connection aborted): the errors that warn the
// player about the network.
bool IsNetTimeoutError(DWORD error);

// How a small document's fetch ended; the caller writes its own log line.
struct SmallFetchResult {
  enum Outcome { kOk, kOpenFailed, kStatus, kReadFailed, kTooLarge } outcome = kOpenFailed;
  DWORD error = 0;   // kOpenFailed: the system's error code
  DWORD status = 0;  // the HTTP status, once the request was sent
  bool ok() const { return outcome == kOk; }
};
// The one way to fetch a whole small document: a GET with `timeouts` whose
// status is 200 and whose body of at most `limit` bytes arrives whole (it may
// be empty). `body` is empty unless the result is kOk.
SmallFetchResult FetchSmallDocument(const std::string& url, const UrlTimeouts& timeouts, size_t limit,
                                    std::string* body);

// One GET; true when the status is 200 and a non-empty body of at most 8 MiB
// arrived whole.
bool HttpGetToString(const std::string& url, std::string* body, const UrlTimeouts& timeouts = {60000, 0, 60000});
