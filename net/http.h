#pragma once
// The program's HTTP requests over WinINet: one user agent, the system's
// proxy settings, no cache, and certificate errors never stopping a request
// (the mirrors run with self-made certificates).
#include <windows.h>
#include <wininet.h>

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
void SetTimeouts(HINTERNET session, DWORD connectMs, DWORD sendMs, DWORD receiveMs);
// Certificate authority, usage, name and date errors ignored (0x3300).
void IgnoreCertificateErrors(HINTERNET request);
// The numeric status code, 0 when it cannot be read.
DWORD QueryStatusCode(HINTERNET request);

// One GET; true when the status is 200 and a non-empty body of at most 8 MiB
// arrived whole.
bool HttpGetToString(const std::string& url, std::string* body);
