#include "net/throttle.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kKiB = 1024;

// One step: at `ms`, optionally change the cap, then ask for `want` bytes.
struct Step {
  std::uint64_t ms;
  std::int64_t setRate;  // -1: leave the cap
  std::uint64_t want;
  std::uint64_t granted;
  std::uint64_t waitMs;
};

void RunSteps(const char* name, const Step* steps, size_t n) {
  TokenBucket b;
  for (size_t i = 0; i < n; ++i) {
    const Step& s = steps[i];
    if (s.setRate >= 0) BucketSetRate(&b, static_cast<std::uint64_t>(s.setRate), s.ms);
    std::uint64_t wait = 12345;
    EXPECT_EQ(BucketTake(&b, s.want, s.ms, &wait), s.granted) << name << " step " << i;
    EXPECT_EQ(wait, s.waitMs) << name << " step " << i;
  }
}

TEST(TokenBucket, Table) {
  // 400,000 bytes a second: 400 a ms, a burst of 100,000, a useful amount of
  // 25,000. 40,000 a second: 40 a ms, the smallest burst, 16,384 (4,096).
  const Step steps[] = {
      {0, 400000, 1000000, 100000, 0},   // a new cap starts full: the burst
      {0, -1, 1000000, 0, 63},           // empty: 25,000 bytes come in 62.5 ms
      {63, -1, 1000000, 25200, 0},       // refilled: 63 ms x 400
      {1063, -1, 1000000, 100000, 0},    // a second idle saves the burst only
      {1063, -1, 100, 0, 1},             // a small want waits for itself only
      {1064, -1, 100, 100, 0},           // 400 there, 300 left
      {1064, 40000, 1000000, 0, 95},     // lowered mid-run: the 300 stay
      {1159, -1, 1000000, 4100, 0},      // 300 + 95 ms x 40
      {3159, 0, 1000000, 1000000, 0},    // cap removed: all, at once
      {3159, 40000, 1000000, 16384, 0},  // cap set again: starts full
      {5159, 4000000, 1000000, 0, 59},   // raised: 16,384 saved at the old rate, 250,000 now useful
      {6159, 40000, 1000000, 16384, 0},  // lowered from full: cut to the burst
  };
  RunSteps("table", steps, sizeof steps / sizeof steps[0]);
}

TEST(TokenBucket, GivenBackBytesAreReadLater) {
  TokenBucket b;
  std::uint64_t wait = 0;
  BucketSetRate(&b, 400000, 0);
  ASSERT_EQ(BucketTake(&b, 1000000, 0, &wait), 100000u);
  BucketGiveBack(&b, 30000);
  EXPECT_EQ(BucketTake(&b, 1000000, 0, &wait), 30000u);
  BucketGiveBack(&b, 500000);  // never more than the burst
  EXPECT_EQ(BucketTake(&b, 1000000, 0, &wait), 100000u);
}

TEST(TokenBucket, NoCapKeepsNoAccount) {
  TokenBucket b;
  std::uint64_t wait = 7;
  for (std::uint64_t ms : {0u, 5u, 100000u, 3u}) EXPECT_EQ(BucketTake(&b, 1u << 30, ms, &wait), 1u << 30);
  BucketGiveBack(&b, 12345);
  EXPECT_EQ(wait, 0u);
  EXPECT_EQ(b.milliTokens, 0);
  EXPECT_EQ(b.lastMs, 0u);
}

// Readers that take 64 KiB at a time and sleep as told: over 20 s they get
// the rate's bytes, give or take one burst, for each cap.
TEST(TokenBucket, HoldsTheRateOverTwentySeconds) {
  for (std::uint64_t rate : {40000u, 262144u, 1048576u, 10485760u}) {
    TokenBucket b;
    BucketSetRate(&b, rate, 0);
    std::uint64_t got = 0, ms = 0, wait = 0;
    while (ms < 20000) {
      const std::uint64_t now = BucketTake(&b, 64 * kKiB, ms, &wait);
      // Nothing granted and no wait would spin this reader for ever.
      ASSERT_TRUE(now > 0 || wait > 0) << rate << " at " << ms << " ms";
      got += now;
      ms += wait;
    }
    const double expected = static_cast<double>(rate) * 20 + static_cast<double>(BucketBurst(rate));
    EXPECT_LE(static_cast<double>(got), expected + 64 * kKiB) << rate;
    EXPECT_GE(static_cast<double>(got), expected - 64 * kKiB - static_cast<double>(rate) / 16) << rate;
  }
}

}  // namespace
