#include "manifest/block_match.h"

#include <algorithm>
#include <numeric>

BlockScanner::BlockScanner(const BlockMap& map) : map_(map), bs_(map.blockSize ? map.blockSize : 1), sum_(bs_) {
  const std::uint32_t n = map.blockCount;
  matches_.assign(n, kNoMatch);
  order_.resize(n);
  std::iota(order_.begin(), order_.end(), 0u);
  std::sort(order_.begin(), order_.end(), [&](std::uint32_t x, std::uint32_t y) {
    const std::uint64_t wx = map.Weak(x), wy = map.Weak(y);
    if (wx != wy) return wx < wy;
    const std::uint64_t sx = map.Strong(x), sy = map.Strong(y);
    return sx != sy ? sx < sy : x < y;
  });
  // At most one bucket per block, and eight filter bits per bucket: the
  // filter, the only table touched at every byte, stays a few hundred KiB.
  int bits = 0;
  while (bits < 40 && (2ull << bits) <= n) ++bits;
  bucketShift_ = 48 - bits;
  filterShift_ = bucketShift_ - 3;
  bucketStart_.assign((std::size_t{1} << bits) + 1, 0);
  filter_.assign(std::size_t{1} << bits, 0);
  for (std::uint32_t block : order_) {
    const std::uint64_t w = map.Weak(block);
    ++bucketStart_[(w >> bucketShift_) + 1];
    const std::uint64_t f = w >> filterShift_;
    filter_[f >> 3] |= static_cast<unsigned char>(1u << (f & 7));
  }
  std::partial_sum(bucketStart_.begin(), bucketStart_.end(), bucketStart_.begin());
  groupDone_.assign(n, false);
}

std::size_t BlockScanner::TableBytes() const {
  return order_.size() * 4 + bucketStart_.size() * 4 + filter_.size() + matches_.size() * 8 + groupDone_.size() / 8 +
         buf_.capacity();
}

void BlockScanner::Feed(const unsigned char* data, std::size_t n) {
  buf_.insert(buf_.end(), data, data + n);
  fed_ += n;
  Scan(~0ull);
  Compact();
}

void BlockScanner::Finish() {
  buf_.insert(buf_.end(), bs_, 0);
  Scan(fed_);
  buf_.clear();
  buf_.shrink_to_fit();
}

void BlockScanner::Compact() {
  const std::uint64_t drop = std::min<std::uint64_t>(pos_, bufStart_ + buf_.size()) - bufStart_;
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(drop));
  bufStart_ += drop;
}

// Windows start at pos_ while pos_ < limit and the window's bytes are there.
void BlockScanner::Scan(std::uint64_t limit) {
  const std::uint64_t end = bufStart_ + buf_.size();
  while (pos_ < limit) {
    if (!haveSum_) {
      if (pos_ + bs_ > end) return;
      sum_.Reset(&buf_[pos_ - bufStart_]);
      haveSum_ = true;
      tested_ = false;
    }
    if (!tested_) {
      tested_ = true;
      if (TryWindow(&buf_[pos_ - bufStart_], sum_.weak())) {
        pos_ += bs_;
        haveSum_ = false;
        continue;
      }
    }
    // Roll on until the filter knows the weak checksum: the hot loop.
    const std::uint64_t steps = std::min(end - bs_ - pos_, limit - 1 - pos_);
    if (steps == 0) return;
    const unsigned char* filter = filter_.data();
    const int shift = filterShift_;
    bool hit = false;
    pos_ += sum_.RollUntil(&buf_[pos_ - bufStart_], steps, [&](std::uint64_t weak) {
      const std::uint64_t f = weak >> shift;
      return hit = (filter[f >> 3] >> (f & 7)) & 1;
    });
    tested_ = !hit;
  }
}

bool BlockScanner::TryWindow(const unsigned char* w, std::uint64_t weak) {
  // A run goes on: the block after the one just found, on its weak sum.
  const std::uint32_t next = next_;
  next_ = ~0u;
  if (next < map_.blockCount && map_.Weak(next) == weak && pos_ + map_.Length(next) <= fed_) {
    if (matches_[next] == kNoMatch) matches_[next] = pos_;
    next_ = next + 1;
    return true;
  }
  const std::uint64_t f = weak >> filterShift_;
  if (!(filter_[f >> 3] & (1u << (f & 7)))) return false;
  const std::uint64_t bucket = weak >> bucketShift_;
  const std::uint32_t stop = bucketStart_[bucket + 1];
  std::uint64_t strong = 0;
  bool haveStrong = false;
  for (std::uint32_t i = bucketStart_[bucket]; i < stop; ++i) {
    const std::uint64_t w2 = map_.Weak(order_[i]);
    if (w2 != weak) {
      if (w2 > weak) return false;
      continue;
    }
    if (!haveStrong) {
      strong = StrongSumOf(w, bs_);
      haveStrong = true;
    }
    const std::uint64_t s2 = map_.Strong(order_[i]);
    if (s2 != strong) {
      if (s2 > strong) return false;
      continue;
    }
    // Blocks of equal content (zeros, say) make a group: all of them are
    // found here. A group once wholly found is not walked again.
    const std::uint32_t head = i;
    if (groupDone_[head]) {
      next_ = order_[head] + 1;
      return true;
    }
    std::uint32_t first = ~0u;
    bool any = false, all = true;
    for (; i < stop && map_.Weak(order_[i]) == weak && map_.Strong(order_[i]) == strong; ++i) {
      const std::uint32_t block = order_[i];
      if (pos_ + map_.Length(block) > fed_) {  // would run past the local file's end
        all = false;
        continue;
      }
      any = true;
      if (matches_[block] == kNoMatch) {
        matches_[block] = pos_;
        if (first == ~0u) first = block;
      }
    }
    if (!any) return false;
    groupDone_[head] = all;
    next_ = (first != ~0u ? first : order_[head]) + 1;
    return true;
  }
  return false;
}

std::vector<DeltaStep> PlanDelta(const BlockMap& map, const std::vector<std::uint64_t>& matches,
                                 std::uint64_t mergeGap) {
  std::vector<DeltaStep> steps;
  std::size_t lastFetch = ~std::size_t{0};
  for (std::uint32_t i = 0; i < map.blockCount && i < matches.size(); ++i) {
    const std::uint64_t to = map.Offset(i), len = map.Length(i);
    if (matches[i] != kNoMatch) {
      DeltaStep* last = steps.empty() ? nullptr : &steps.back();
      if (last && !last->fetch && last->from + last->length == matches[i])
        last->length += len;
      else
        steps.push_back({false, to, matches[i], len});
      continue;
    }
    if (lastFetch < steps.size()) {
      DeltaStep& f = steps[lastFetch];
      if (to - (f.to + f.length) <= mergeGap) {
        steps.resize(lastFetch + 1);
        f.length = to + len - f.to;
        continue;
      }
    }
    steps.push_back({true, to, to, len});
    lastFetch = steps.size() - 1;
  }
  return steps;
}

std::uint64_t BytesToFetch(const std::vector<DeltaStep>& steps) {
  std::uint64_t n = 0;
  for (const DeltaStep& s : steps) n += s.fetch ? s.length : 0;
  return n;
}
