#include "hash/sha256_pipe.h"

#include <algorithm>
#include <cstring>

LONGLONG PerfTicks() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

unsigned long PerfMs(LONGLONG ticks) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return static_cast<unsigned long>(ticks * 1000 / f.QuadPart);
}

Sha256Pipe::Sha256Pipe() {
  try {
    for (auto& b : buf_) b.resize(kSlotBytes);
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    // No thread or no ring: one buffer is enough to hash in the caller's.
    for (auto& b : buf_) std::vector<unsigned char>().swap(b);
    buf_[0].resize(kSlotBytes);
  }
}

Sha256Pipe::~Sha256Pipe() { Stop(); }

void Sha256Pipe::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void Sha256Pipe::Run() {
  std::unique_lock<std::mutex> lock(m_);
  int at = 0;
  for (;;) {
    cv_.wait(lock, [&] { return queued_ > 0 || stop_; });
    if (queued_ == 0) return;  // stopped, and every queued byte hashed
    lock.unlock();
    const LONGLONG start = PerfTicks();
    stream_.Update(buf_[at].data(), len_[at]);
    const LONGLONG spent = PerfTicks() - start;
    lock.lock();
    hashing_ += spent;
    --queued_;
    at = (at + 1) % kSlots;
    cv_.notify_all();
  }
}

unsigned char* Sha256Pipe::Slot() {
  if (!thread_.joinable()) return buf_[0].data();
  std::unique_lock<std::mutex> lock(m_);
  if (queued_ == kSlots) {
    const LONGLONG start = PerfTicks();
    cv_.wait(lock, [&] { return queued_ < kSlots; });
    waiting_ += PerfTicks() - start;
  }
  return buf_[next_].data();
}

void Sha256Pipe::Submit(std::size_t n) {
  if (!thread_.joinable()) {
    const LONGLONG start = PerfTicks();
    stream_.Update(buf_[0].data(), n);
    hashing_ += PerfTicks() - start;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_);
    len_[next_] = n;
    next_ = (next_ + 1) % kSlots;
    ++queued_;
  }
  cv_.notify_all();
}

void Sha256Pipe::Update(const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const std::size_t piece = std::min(n, kSlotBytes);
    std::memcpy(Slot(), p, piece);
    Submit(piece);
    p += piece;
    n -= piece;
  }
}

bool Sha256Pipe::Finish(std::string* out) {
  Stop();
  return stream_.Finish(out);
}

unsigned long Sha256Pipe::HashingMs() const { return PerfMs(hashing_); }
unsigned long Sha256Pipe::WaitingMs() const { return PerfMs(waiting_); }
