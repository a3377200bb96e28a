#pragma once
// InternetReadFile that the caller can walk away from, and the program's one
// cancel watcher for a transfer. The reads run on a helper thread, which
// reads the next block into one of the reader's two buffers while the caller
// writes and hashes the block it was handed in the other. Read() returns when
// a block is there, the cancel flag is set or no byte has come for the stall
// time. Closing a request from another thread ends a blocked read on
// Windows, but not under Wine's WinINet; this way a cancel or a silent server
// never holds the caller, on either.
//
// The reader owns the request (and its session) from construction on. They
// are closed exactly once, by the helper thread as it ends, so never while a
// read is in the request or about to enter it (closing the session would
// close the request too): a closed handle's value can be handed to another
// transfer's request at once, and a late read on it would read that one's
// data. A read that was walked away from (cancel, stall, or the reader
// destroyed mid-read) finishes on its own, into the reader's own buffer; the
// request carries a receive time-out a little longer than the stall time
// (ReceiveTimeoutFor), so such a read, and the thread, buffers and socket it
// holds, ends soon after even when the server stays silent. A helper that
// has closed its request, and its buffers, wait a short while for the next
// reader instead of ending.
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <memory>

#include "net/http.h"
#include "net/read_bounds.h"

enum class ReadStatus { kData, kEnd, kError, kCancelled, kStalled };

struct ReaderState;

class CancellableReader {
 public:
  // Takes the opened URL's handles over (also when the helper cannot start:
  // they are closed then) and starts reading blocks of up to `blockSize`
  // bytes at once. `stallMs` 0: no stall time. The request should have been
  // opened with ReceiveTimeoutFor(stallMs). `received`, when given, counts
  // the bytes as they arrive, also those of a block not handed over yet.
  // `bounds`, when given, holds where the body's first byte lies in `at` and
  // where to stop in `end`: at `end` Read() says kEnd, the rest of the body
  // unread.
  CancellableReader(OpenedUrl&& url, DWORD blockSize, DWORD stallMs, std::atomic<std::uint64_t>* received = nullptr,
                    std::shared_ptr<ReadBounds> bounds = nullptr);
  ~CancellableReader();
  CancellableReader(const CancellableReader&) = delete;
  CancellableReader& operator=(const CancellableReader&) = delete;

  // False when the helper thread or its buffers could not be made.
  bool ok() const { return state_ != nullptr; }
  // The next block: `*data` points into the reader's own buffer and stays
  // valid until the next Read or the reader's end. After kCancelled or
  // kStalled the reader is not used again.
  ReadStatus Read(const char** data, DWORD* got, const std::atomic<bool>* cancel, DWORD* error = nullptr);
  // Walks away and waits, at most `waitMs`, until the request is closed. A
  // body left unread keeps its connection open until then, and a mirror
  // that allows one connection per player answers the next request 503.
  void Close(DWORD waitMs);

 private:
  std::shared_ptr<ReaderState> state_;
  DWORD stallMs_;
};

// The receive time-out to open a request with, for a stall time: a little
// longer, so that the stall check answers the caller first and the time-out
// then ends a read walked away from. 0 for 0.
DWORD ReceiveTimeoutFor(DWORD stallMs);

// Readers whose helper has not closed their request yet, abandoned reads
// included (for the tests).
int LiveReaderThreads();
