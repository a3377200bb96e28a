#pragma once
// Finding a block map's blocks in a local file, and the plan that builds the
// new file from local blocks and fetched ranges. Pure.
//
// The local file is fed in order, in chunks of any size. At every byte
// offset the weak checksum of the window there is rolled on and looked up:
// a small bit filter first, then the blocks with that weak checksum, whose
// strong checksum is compared with the window's SHA-256. After a match the
// scan jumps a whole block on, and first tries the block that follows the
// one just found (files keep their order): that one is taken on its 48-bit
// weak checksum alone. A wrong match is thus about as likely as 2^-48 per
// block, never unsafe: the new file's whole SHA-256 is checked at the end.
#include <cstdint>
#include <vector>

#include "manifest/blockmap.h"

inline constexpr std::uint64_t kNoMatch = ~0ull;

class BlockScanner {
 public:
  // The map must outlive the scanner.
  explicit BlockScanner(const BlockMap& map);
  // The next bytes of the local file.
  void Feed(const unsigned char* data, std::size_t n);
  // The end of the local file: windows that run past it are tried too (the
  // last, short block can match the file's end).
  void Finish();
  // Per block of the map: the local offset of equal bytes, or kNoMatch.
  const std::vector<std::uint64_t>& matches() const { return matches_; }
  // The lookup's memory, in bytes (the map's own is apart).
  std::size_t TableBytes() const;

 private:
  void Scan(std::uint64_t limit);
  bool TryWindow(const unsigned char* w, std::uint64_t weak);
  void Compact();

  const BlockMap& map_;
  const std::uint32_t bs_;
  RollingSum sum_;
  std::vector<std::uint32_t> order_;        // blocks sorted by weak, strong, index
  std::vector<std::uint32_t> bucketStart_;  // into order_, by the weak checksum's high bits
  std::vector<unsigned char> filter_;       // one bit per 2^-3 bucket: is any block there
  int bucketShift_ = 48, filterShift_ = 48;
  std::vector<std::uint64_t> matches_;
  std::vector<bool> groupDone_;     // by order_ position of a group's first block
  std::vector<unsigned char> buf_;  // local bytes from bufStart_ on
  std::uint64_t bufStart_ = 0, pos_ = 0, fed_ = 0;
  std::uint32_t next_ = ~0u;  // the block expected at pos_ after a match
  bool haveSum_ = false, tested_ = false;
};

// One step of building the new file: `length` bytes at `to` in the new
// file, copied from `from` in the local file or fetched (from == to).
struct DeltaStep {
  bool fetch = false;
  std::uint64_t to = 0, from = 0, length = 0;
};
// Steps in order of the new file. Blocks that follow each other in both
// files make one copy; missing blocks next to each other make one fetch,
// and two fetches with no more than `mergeGap` local bytes between them
// become one (a request costs more than a few kilobytes).
std::vector<DeltaStep> PlanDelta(const BlockMap& map, const std::vector<std::uint64_t>& matches,
                                 std::uint64_t mergeGap);
std::uint64_t BytesToFetch(const std::vector<DeltaStep>& steps);
