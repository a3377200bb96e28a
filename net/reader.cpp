#include "net/reader.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

struct ReaderState {
  std::mutex m;
  std::condition_variable cv;
  HINTERNET request = nullptr;
  bool want = false, done = false, stop = false;
  DWORD capacity = 0, got = 0, error = 0;
  BOOL ok = FALSE;
  std::vector<char> buf;
};

namespace {

// The helper owns nothing but its share of the state: an abandoned read
// writes into the state's own buffer, never into the caller's.
void ReaderLoop(std::shared_ptr<ReaderState> s) {
  std::unique_lock<std::mutex> lock(s->m);
  for (;;) {
    s->cv.wait(lock, [&] { return s->want || s->stop; });
    if (s->stop) return;
    s->want = false;
    DWORD capacity = s->capacity;
    HINTERNET request = s->request;
    if (s->buf.size() < capacity) s->buf.resize(capacity);
    char* buf = s->buf.data();
    lock.unlock();
    DWORD got = 0;
    BOOL ok = InternetReadFile(request, buf, capacity, &got);
    DWORD error = ok ? 0 : GetLastError();
    lock.lock();
    s->ok = ok;
    s->got = got;
    s->error = error;
    s->done = true;
    s->cv.notify_all();
  }
}

}  // namespace

CancellableReader::CancellableReader(HINTERNET request) {
  auto state = std::make_shared<ReaderState>();
  state->request = request;
  try {
    std::thread(ReaderLoop, state).detach();
    state_ = std::move(state);
  } catch (...) {
    state_.reset();
  }
}

CancellableReader::~CancellableReader() {
  if (!state_) return;
  std::lock_guard<std::mutex> lock(state_->m);
  state_->stop = true;
  state_->cv.notify_all();
}

ReadStatus CancellableReader::Read(char* out, DWORD capacity, DWORD* got, const std::atomic<bool>* cancel,
                                   DWORD stallMs, DWORD* error) {
  *got = 0;
  if (!state_) return ReadStatus::kError;
  std::unique_lock<std::mutex> lock(state_->m);
  if (state_->stop) return ReadStatus::kCancelled;
  state_->capacity = capacity;
  state_->done = false;
  state_->want = true;
  state_->cv.notify_all();
  DWORD start = GetTickCount();
  while (!state_->done) {
    state_->cv.wait_for(lock, std::chrono::milliseconds(50));
    if (state_->done) break;
    if (cancel && cancel->load()) {
      state_->stop = true;
      return ReadStatus::kCancelled;
    }
    if (stallMs && GetTickCount() - start >= stallMs) {
      state_->stop = true;
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
