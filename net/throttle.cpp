#include "net/throttle.h"

namespace {

void Refill(TokenBucket* b, std::uint64_t nowMs) {
  // A clock that goes back refills nothing and restarts from now.
  const std::uint64_t elapsed = nowMs > b->lastMs ? nowMs - b->lastMs : 0;
  b->lastMs = nowMs;
  const std::int64_t full = static_cast<std::int64_t>(BucketBurst(b->bytesPerSecond) * 1000);
  // Elapsed time beyond a second cannot add more than the burst anyway.
  const std::uint64_t counted = elapsed > 1000 ? 1000 : elapsed;
  std::int64_t tokens = b->milliTokens + static_cast<std::int64_t>(b->bytesPerSecond * counted);
  b->milliTokens = tokens > full ? full : tokens;
}

}  // namespace

std::uint64_t BucketBurst(std::uint64_t bytesPerSecond) {
  const std::uint64_t quarter = bytesPerSecond / 4;
  return quarter < 16384 ? 16384 : quarter;
}

void BucketSetRate(TokenBucket* b, std::uint64_t bytesPerSecond, std::uint64_t nowMs) {
  if (b->bytesPerSecond == 0) {
    b->bytesPerSecond = bytesPerSecond;
    b->milliTokens = static_cast<std::int64_t>(BucketBurst(bytesPerSecond) * 1000);
    b->lastMs = nowMs;
    return;
  }
  Refill(b, nowMs);
  b->bytesPerSecond = bytesPerSecond;
  if (bytesPerSecond == 0) return;
  const std::int64_t full = static_cast<std::int64_t>(BucketBurst(bytesPerSecond) * 1000);
  if (b->milliTokens > full) b->milliTokens = full;
}

std::uint64_t BucketTake(TokenBucket* b, std::uint64_t want, std::uint64_t nowMs, std::uint64_t* waitMs) {
  *waitMs = 0;
  if (b->bytesPerSecond == 0 || want == 0) return want;
  Refill(b, nowMs);
  const std::uint64_t quantum = BucketBurst(b->bytesPerSecond) / 4;
  const std::uint64_t useful = want < quantum ? want : quantum;
  const std::int64_t have = b->milliTokens / 1000;
  if (have < static_cast<std::int64_t>(useful)) {
    const std::uint64_t missing = useful * 1000 - static_cast<std::uint64_t>(b->milliTokens > 0 ? b->milliTokens : 0);
    *waitMs = (missing + b->bytesPerSecond - 1) / b->bytesPerSecond;
    return 0;
  }
  const std::uint64_t grant = static_cast<std::uint64_t>(have) < want ? static_cast<std::uint64_t>(have) : want;
  b->milliTokens -= static_cast<std::int64_t>(grant * 1000);
  return grant;
}

void BucketGiveBack(TokenBucket* b, std::uint64_t bytes) {
  if (b->bytesPerSecond == 0) return;
  b->milliTokens += static_cast<std::int64_t>(bytes * 1000);
  const std::int64_t full = static_cast<std::int64_t>(BucketBurst(b->bytesPerSecond) * 1000);
  if (b->milliTokens > full) b->milliTokens = full;
}
