#include <windows.h>

#include <atomic>
#include <mutex>

#include "net/throttle.h"

namespace {

// The cap is read without the lock on every read; the bucket only when a cap
// is set.
std::atomic<std::uint64_t> g_cap{0};
std::mutex g_lock;
TokenBucket g_bucket;

constexpr std::uint64_t kSliceMs = 50;

}  // namespace

void SetDownloadCap(std::uint64_t bytesPerSecond) {
  std::lock_guard<std::mutex> lock(g_lock);
  BucketSetRate(&g_bucket, bytesPerSecond, GetTickCount64());
  g_cap.store(bytesPerSecond);
}

std::uint64_t DownloadCap() { return g_cap.load(std::memory_order_relaxed); }

std::uint64_t WaitForDownloadAllowance(std::uint64_t want, const std::function<bool()>& stop) {
  for (;;) {
    if (DownloadCap() == 0) return want;
    std::uint64_t wait = 0, granted = 0;
    {
      std::lock_guard<std::mutex> lock(g_lock);
      granted = BucketTake(&g_bucket, want, GetTickCount64(), &wait);
    }
    if (granted > 0) return granted;
    if (stop()) return 0;
    Sleep(static_cast<DWORD>(wait < kSliceMs ? (wait > 0 ? wait : 1) : kSliceMs));
  }
}

void ReturnDownloadAllowance(std::uint64_t bytes) {
  if (bytes == 0 || DownloadCap() == 0) return;
  std::lock_guard<std::mutex> lock(g_lock);
  BucketGiveBack(&g_bucket, bytes);
}
