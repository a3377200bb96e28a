#include "net/reader.h"

#include "net/throttle.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// How much longer than the stall time the request's own receive time-out
// runs (at most): the stall check answers the caller first, the time-out
// then ends the abandoned read.
constexpr DWORD kReceiveTimeoutMargin = 5000;

// Two buffers go round between the helper and the caller. A buffer is free,
// being filled by the helper, filled and waiting, or held by the caller
// (from the Read that returned it to the next Read). The helper fills a
// buffer only when it is free, so the caller's block is never written to.
struct ReaderState {
  std::mutex m;
  std::condition_variable cv;
  OpenedUrl url;  // owned; closed by the helper as it ends
  std::vector<char> buf[2];
  DWORD blockSize = 0;
  int held = -1;             // the caller's buffer, -1 when none
  int filled = -1;           // the buffer waiting for the caller, -1 when none
  DWORD got = 0, error = 0;  // what the filled buffer's read gave
  BOOL ok = TRUE;
  bool abandoned = false;  // the caller walked away or the reader ended
  bool closed = false;     // the helper has closed the request
  std::shared_ptr<ReadBounds> bounds;
  // Counts every byte as it comes off the network, until the caller walks
  // away (the counter's owner outlives the reader, not its helper).
  std::atomic<std::uint64_t>* received = nullptr;
};

namespace {

std::atomic<int> g_liveReaders{0};

// How long a helper that finished its transfer waits for the next one.
constexpr DWORD kIdleHelperMs = 2000;
// Buffers kept for the next transfers: two for each of three transfers.
constexpr size_t kSpareBuffers = 6;
// The most one call reads into a block.
constexpr DWORD kPiece = static_cast<DWORD>(kReadCallBytes);

// What may still be read before the bounds' end, at most `want`.
DWORD Allowed(const ReaderState& s, DWORD want) {
  if (!s.bounds) return want;
  const std::uint64_t end = s.bounds->end.load(), at = s.bounds->at.load();
  return at >= end ? 0 : end - at < want ? static_cast<DWORD>(end - at) : want;
}

// Helpers and buffers that outlive their transfer. A client download starts
// a transfer for every file, and under Wine making a thread cost 1.5 to 5 ms
// and two fresh 1 MiB buffers about 0.9 ms (measured on a loaded two-core
// machine): more than the bytes of many a small file. A helper that has
// closed its request waits a while for the next reader's state; its buffers
// go back to the spare list. A helper still in a read it was walked away
// from is busy until that read ends, so a silent server still makes new
// helpers, never a wait.
struct Helpers {
  std::mutex m;
  std::condition_variable cv;
  int idle = 0;  // waiting helpers not yet promised a state
  std::deque<std::shared_ptr<ReaderState>> pending;
  std::vector<std::vector<char>> spare;
};
// Never destroyed: idle helpers may still wait on it while the process ends.
Helpers& g_helpers = *new Helpers;

std::vector<char> TakeBuffer(DWORD size) {
  {
    std::lock_guard<std::mutex> lock(g_helpers.m);
    for (auto it = g_helpers.spare.begin(); it != g_helpers.spare.end(); ++it) {
      if (it->size() < size) continue;
      std::vector<char> buf = std::move(*it);
      g_helpers.spare.erase(it);
      return buf;
    }
  }
  return std::vector<char>(size);
}

void GiveBackBuffers(std::vector<char>* bufs) {
  std::lock_guard<std::mutex> lock(g_helpers.m);
  for (int i = 0; i < 2; ++i)
    if (!bufs[i].empty() && g_helpers.spare.size() < kSpareBuffers) g_helpers.spare.push_back(std::move(bufs[i]));
}

// The only thread that reads from the request or closes it, so a close can
// never meet a read.
void ReaderLoop(std::shared_ptr<ReaderState> s) {
  std::unique_lock<std::mutex> lock(s->m);
  int next = 0;
  for (;;) {
    // Wait for a free buffer: not the caller's and not one still waiting.
    s->cv.wait(lock, [&] { return s->abandoned || (s->filled < 0 && s->held != next); });
    if (s->abandoned) break;
    char* buf = s->buf[next].data();
    lock.unlock();
    // Under the speed cap a read asks for no more than it may have, so the
    // server is held back by the connection's own flow control.
    DWORD want = Allowed(*s, s->blockSize);
    const bool capped = DownloadCap() != 0 && want > 0;
    if (capped) {
      want = static_cast<DWORD>(WaitForDownloadAllowance(want, [&] {
        std::lock_guard<std::mutex> stopLock(s->m);
        return s->abandoned;
      }));
      if (want == 0) {
        lock.lock();
        break;
      }
    }
    // A read returns only once it has filled what it asked for: a block of
    // 1 MiB from a mirror at 1 MB/s arrived as one lump a second. The block
    // is read in pieces, each counted as it arrives.
    DWORD got = 0, error = 0;
    BOOL ok = TRUE;
    while (got < want) {
      DWORD piece = 0;
      // A split may have moved the end closer since the block began.
      const DWORD ask = Allowed(*s, want - got < kPiece ? want - got : kPiece);
      if (ask == 0) break;
      if (!InternetReadFile(s->url.request.get(), buf + got, ask, &piece)) {
        // Bytes already in the block are handed over; the next read meets
        // the failure again.
        if (got == 0) {
          ok = FALSE;
          error = GetLastError();
        }
        break;
      }
      if (piece == 0) break;
      got += piece;
      std::lock_guard<std::mutex> counting(s->m);
      if (s->abandoned) break;
      if (s->received) s->received->fetch_add(piece);
      if (s->bounds) s->bounds->at.fetch_add(piece);
    }
    if (capped && got < want) ReturnDownloadAllowance(want - got);
    lock.lock();
    s->filled = next;
    s->got = got;
    s->ok = ok;
    s->error = error;
    s->cv.notify_all();
    if (!ok || got == 0) {  // nothing more to read: wait for the caller's end
      s->cv.wait(lock, [&] { return s->abandoned; });
      break;
    }
    next = 1 - next;
  }
  OpenedUrl closing = std::move(s->url);
  // Nobody touches the buffers any more: the caller has walked away.
  std::vector<char> bufs[2] = {std::move(s->buf[0]), std::move(s->buf[1])};
  lock.unlock();
  closing.Close();
  lock.lock();
  s->closed = true;
  s->cv.notify_all();
  lock.unlock();
  g_liveReaders.fetch_sub(1);
  GiveBackBuffers(bufs);
}

void HelperThread(std::shared_ptr<ReaderState> s) {
  for (;;) {
    ReaderLoop(std::move(s));
    std::unique_lock<std::mutex> lock(g_helpers.m);
    ++g_helpers.idle;
    if (!g_helpers.cv.wait_for(lock, std::chrono::milliseconds(kIdleHelperMs),
                               [] { return !g_helpers.pending.empty(); })) {
      --g_helpers.idle;
      return;
    }
    s = std::move(g_helpers.pending.front());
    g_helpers.pending.pop_front();
  }
}

// Hands the state to an idle helper, or starts one; throws when no thread
// can be made.
void StartHelper(const std::shared_ptr<ReaderState>& s) {
  {
    std::lock_guard<std::mutex> lock(g_helpers.m);
    if (g_helpers.idle > 0) {
      --g_helpers.idle;
      g_helpers.pending.push_back(s);
      g_helpers.cv.notify_one();
      return;
    }
  }
  std::thread(HelperThread, s).detach();
}

}  // namespace

int LiveReaderThreads() { return g_liveReaders.load(); }

DWORD ReceiveTimeoutFor(DWORD stallMs) {
  return stallMs + (stallMs < kReceiveTimeoutMargin ? stallMs : kReceiveTimeoutMargin);
}

CancellableReader::CancellableReader(OpenedUrl&& url, DWORD blockSize, DWORD stallMs,
                                     std::atomic<std::uint64_t>* received, std::shared_ptr<ReadBounds> bounds)
    : stallMs_(stallMs) {
  auto state = std::make_shared<ReaderState>();
  state->url = std::move(url);
  state->blockSize = blockSize;
  state->received = received;
  state->bounds = std::move(bounds);
  try {
    state->buf[0] = TakeBuffer(blockSize);
    state->buf[1] = TakeBuffer(blockSize);
    g_liveReaders.fetch_add(1);
    try {
      StartHelper(state);
    } catch (...) {
      g_liveReaders.fetch_sub(1);
      throw;
    }
    state_ = std::move(state);
  } catch (...) {
    // The handles close with `state`.
  }
}

CancellableReader::~CancellableReader() {
  if (!state_) return;
  std::lock_guard<std::mutex> lock(state_->m);
  state_->abandoned = true;
  state_->cv.notify_all();
}

void CancellableReader::Close(DWORD waitMs) {
  if (!state_) return;
  std::unique_lock<std::mutex> lock(state_->m);
  state_->abandoned = true;
  state_->cv.notify_all();
  state_->cv.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return state_->closed; });
}

ReadStatus CancellableReader::Read(const char** data, DWORD* got, const std::atomic<bool>* cancel, DWORD* error) {
  *data = nullptr;
  *got = 0;
  if (!state_) return ReadStatus::kError;
  ReaderState& s = *state_;
  std::unique_lock<std::mutex> lock(s.m);
  if (s.abandoned) return ReadStatus::kCancelled;
  s.held = -1;  // the caller is done with its block: the helper may fill it
  s.cv.notify_all();
  DWORD start = GetTickCount();
  while (s.filled < 0) {
    s.cv.wait_for(lock, std::chrono::milliseconds(50));
    if (s.filled >= 0) break;
    if (cancel && cancel->load()) {
      s.abandoned = true;
      s.cv.notify_all();
      return ReadStatus::kCancelled;
    }
    if (stallMs_ && GetTickCount() - start >= stallMs_) {
      s.abandoned = true;
      s.cv.notify_all();
      return ReadStatus::kStalled;
    }
  }
  int index = s.filled;
  s.filled = -1;
  if (!s.ok) {
    if (error) *error = s.error;
    return ReadStatus::kError;
  }
  if (s.got == 0) return ReadStatus::kEnd;
  s.held = index;
  s.cv.notify_all();
  *data = s.buf[index].data();
  *got = s.got;
  return ReadStatus::kData;
}
