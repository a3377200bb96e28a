#pragma once
// InternetReadFile that the caller can walk away from. The read runs on a
// helper thread, and Read() returns when data arrives, the cancel flag is
// set or no byte has come for `stallMs`. Closing the request from another
// thread ends a blocked read on Windows, but not under Wine's WinINet; this
// way a cancel or a silent server never holds the caller, on either.
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <memory>

enum class ReadStatus { kData, kEnd, kError, kCancelled, kStalled };

struct ReaderState;

class CancellableReader {
 public:
  explicit CancellableReader(HINTERNET request);
  ~CancellableReader();
  CancellableReader(const CancellableReader&) = delete;
  CancellableReader& operator=(const CancellableReader&) = delete;

  // False when the helper thread could not be started.
  bool ok() const { return state_ != nullptr; }
  // Up to `capacity` bytes into `out`. After kCancelled or kStalled the read
  // is left to finish on its own and the reader is not used again.
  ReadStatus Read(char* out, DWORD capacity, DWORD* got, const std::atomic<bool>* cancel, DWORD stallMs,
                  DWORD* error = nullptr);

 private:
  std::shared_ptr<ReaderState> state_;
};
