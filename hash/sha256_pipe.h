#pragma once
// A SHA-256 taken on a thread of its own while the caller goes on producing
// the bytes that follow (the delta build copies and fetches the next blocks
// while the ones before are hashed). The bytes go through a small ring of
// buffers in their order; the caller waits only when the ring is full.
// When no thread can be made, every piece is hashed in the caller's thread.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hash/sha256_stream.h"

// The performance counter and milliseconds of its ticks: the pipe's own
// figures and those of the build that feeds it are taken on one clock.
LONGLONG PerfTicks();
unsigned long PerfMs(LONGLONG ticks);

class Sha256Pipe {
 public:
  static constexpr std::size_t kSlotBytes = 1 << 20;
  static constexpr int kSlots = 4;

  Sha256Pipe();
  ~Sha256Pipe();
  Sha256Pipe(const Sha256Pipe&) = delete;
  Sha256Pipe& operator=(const Sha256Pipe&) = delete;

  // A buffer of kSlotBytes to fill; waits while every buffer is still to be
  // hashed. Submit hands its first `n` bytes over as the next of the data.
  unsigned char* Slot();
  void Submit(std::size_t n);
  // The next `n` bytes from elsewhere, copied into buffers.
  void Update(const void* data, std::size_t n);
  // Waits for every byte, then as Sha256Stream::Finish. The pipe is used up.
  bool Finish(std::string* out);

  // Milliseconds the hashing took, and the caller waited for a free buffer.
  unsigned long HashingMs() const;
  unsigned long WaitingMs() const;

 private:
  void Run();
  void Stop();

  Sha256Stream stream_;
  std::vector<unsigned char> buf_[kSlots];
  std::size_t len_[kSlots] = {};
  int next_ = 0, queued_ = 0;  // the slot to fill next; slots waiting for the hash
  bool stop_ = false;
  std::mutex m_;
  std::condition_variable cv_;
  std::thread thread_;  // not joinable: hashed in the caller's thread
  LONGLONG hashing_ = 0, waiting_ = 0;
};
