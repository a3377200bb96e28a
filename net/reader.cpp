#include "net/reader.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

// How much longer than the stall time the request's own receive time-out
// runs (at most): the stall check answers the caller first, the time-out
// then ends the abandoned read.
constexpr DWORD kReceiveTimeoutMargin = 5000;

struct ReaderState {
  std::mutex m;
  std::condition_variable cv;
  OpenedUrl url;  // owned; closed by the helper as it ends
  bool want = false, done = false, abandoned = false;
  DWORD capacity = 0, got = 0, error = 0;
  BOOL ok = FALSE;
  std::vector<char> buf;
};

namespace {

std::atomic<int> g_liveReaders{0};


// The helper owns nothing but its share of the state: an abandoned read
// writes into the state's own buffer, never into the caller's. It is the
// only thread that reads from the request or closes it, so a close can never
// meet a read.
void ReaderLoop(std::shared_ptr<ReaderState> s) {
  std::unique_lock<std::mutex> lock(s->m);
  for (;;) {
    s->cv.wait(lock, [&] { return s->want || s->abandoned; });
    if (s->abandoned) break;
    s->want = false;
    DWORD capacity = s->capacity;
    if (s->buf.size() < capacity) s->buf.resize(capacity);
    char* buf = s->buf.data();
    lock.unlock();
    DWORD got = 0;
    BOOL ok = InternetReadFile(s->url.request.get(), buf, capacity, &got);
    DWORD error = ok ? 0 : GetLastError();
    lock.lock();
    s->ok = ok;
    s->got = got;
    s->error = error;
    s->done = true;
    s->cv.notify_all();
  }
  OpenedUrl closing = std::move(s->url);
  lock.unlock();
  closing.Close();
  g_liveReaders.fetch_sub(1);
}

}  // namespace

int LiveReaderThreads() { return g_liveReaders.load(); }

DWORD ReceiveTimeoutFor(DWORD stallMs) {
  return stallMs + (stallMs < kReceiveTimeoutMargin ? stallMs : kReceiveTimeoutMargin);
}

CancellableReader::CancellableReader(OpenedUrl&& url, DWORD stallMs) : stallMs_(stallMs) {
  auto state = std::make_shared<ReaderState>();
  state->url = std::move(url);
  g_liveReaders.fetch_add(1);
  try {
    std::thread(ReaderLoop, state).detach();
    state_ = std::move(state);
  } catch (...) {
    g_liveReaders.fetch_sub(1);  // the handles close with `state`
  }
}

CancellableReader::~CancellableReader() {
  if (!state_) return;
  std::lock_guard<std::mutex> lock(state_->m);
  state_->abandoned = true;
  state_->cv.notify_all();
}

ReadStatus CancellableReader::Read(char* out, DWORD capacity, DWORD* got, const std::atomic<bool>* cancel,
                                   DWORD* error) {
  *got = 0;
  if (!state_) return ReadStatus::kError;
  std::unique_lock<std::mutex> lock(state_->m);
  if (state_->abandoned) return ReadStatus::kCancelled;
  state_->capacity = capacity;
  state_->done = false;
  state_->want = true;
  state_->cv.notify_all();
  DWORD start = GetTickCount();
  while (!state_->done) {
    state_->cv.wait_for(lock, std::chrono::milliseconds(50));
    if (state_->done) break;
    if (cancel && cancel->load()) {
      state_->abandoned = true;
      return ReadStatus::kCancelled;
    }
    if (stallMs_ && GetTickCount() - start >= stallMs_) {
      state_->abandoned = true;
      return ReadStatus::kStalled;
    }
  }
  if (!state_->ok) {
    if (error) *error = state_->error;
    return ReadStatus::kError;
  }
  if (state_->got == 0) return ReadStatus::kEnd;
  std::memcpy(out, state_->buf.data(), state_->got);
  *got = state_->got;
  return ReadStatus::kData;
}
