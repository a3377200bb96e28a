#pragma once
// The arithmetic of the download speed cap: a token bucket counted in
// byte-milliseconds, so that refills are exact at any rate. Every download
// of the process takes from one bucket, so the cap holds for all jobs
// together. Times are the caller's milliseconds from any origin.
#include <cstdint>
#include <functional>

struct TokenBucket {
  std::uint64_t bytesPerSecond = 0;  // 0: no cap
  std::int64_t milliTokens = 0;      // bytes x 1000 that may be read now
  std::uint64_t lastMs = 0;
};

// A quarter of a second's worth, at least 16 KiB: what an idle bucket saves
// up, so that a cap is held closely over any second.
std::uint64_t BucketBurst(std::uint64_t bytesPerSecond);

// Sets the cap (0: none). A bucket that had no cap starts full; one that
// had keeps its tokens, at most the new burst.
void BucketSetRate(TokenBucket* b, std::uint64_t bytesPerSecond, std::uint64_t nowMs);

// How many of `want` bytes may be read now; when none, `*waitMs` gets how
// long until a useful amount (a quarter of the burst, or all of `want` when
// it is less) will be there. Without a cap all of `want`, at no cost.
std::uint64_t BucketTake(TokenBucket* b, std::uint64_t want, std::uint64_t nowMs, std::uint64_t* waitMs);

// Returns bytes granted but not read (a read that brought less).
void BucketGiveBack(TokenBucket* b, std::uint64_t bytes);

// The process's cap on all downloads together (net/throttle_win.cpp), in
// bytes a second, 0 for none; it holds from the next read of every running
// transfer on.
void SetDownloadCap(std::uint64_t bytesPerSecond);
std::uint64_t DownloadCap();
// For a transfer's reader thread, before each read: how many of `want`
// bytes it may read now, after waiting for them under a cap (in slices of at
// most 50 ms, so a changed cap or `stop` answers at once). 0 when `stop`
// said to give up.
std::uint64_t WaitForDownloadAllowance(std::uint64_t want, const std::function<bool()>& stop);
// The part of an allowance that a read did not use.
void ReturnDownloadAllowance(std::uint64_t bytes);
