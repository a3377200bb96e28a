#include "manifest/block_regions.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "manifest/block_match.h"
#include "manifest/blockmap.h"
#include "tests/native/random_bytes.h"

namespace {

// The local copy's entries and region digests, as a launcher makes them.
std::string EntriesOf(const std::string& file, std::uint32_t blockSize) {
  std::string entries;
  for (std::size_t at = 0; at < file.size(); at += blockSize)
    entries += BlockEntryOf(U(file) + at, std::min<std::size_t>(blockSize, file.size() - at), blockSize);
  return entries;
}
std::vector<std::string> DigestsOf(const RegionIndex& index, const std::string& entries) {
  std::vector<std::string> out;
  for (std::uint32_t r = 0; r < index.regionCount; ++r)
    out.push_back(RegionDigestOf(
        std::string_view(entries).substr(index.FirstBlock(r) * kBlockMapEntry, index.BlocksIn(r) * kBlockMapEntry)));
  return out;
}

TEST(RegionIndex, NumbersOfTheFormatForFilesOfManySizes) {
  struct Case {
    std::size_t fileSize;
    std::uint32_t perRegion, regions, lastRegionBlocks;
  } cases[] = {
      {1024, 16, 1, 1},   {1025, 16, 1, 2},   {16 * 1024, 16, 1, 16}, {16 * 1024 + 1, 16, 2, 1},
      {100000, 16, 7, 2}, {100000, 32, 4, 2}, {300000, 256, 2, 37},
  };
  for (const Case& c : cases) {
    const std::string file = Random(c.fileSize, 3);
    const std::string map = BlockMapOfBytes(file, 1024);
    std::string bytes;
    ASSERT_TRUE(RegionIndexOfMap(map, c.perRegion, &bytes)) << c.fileSize;
    EXPECT_EQ(bytes.size(), kRegionIndexHeader + (c.regions + 1) * kRegionDigest) << c.fileSize;
    RegionIndex index;
    ASSERT_TRUE(ParseRegionIndex(bytes, &index)) << c.fileSize;
    EXPECT_EQ(index.regionCount, c.regions) << c.fileSize;
    EXPECT_EQ(index.BlocksIn(c.regions - 1), c.lastRegionBlocks) << c.fileSize;
    EXPECT_EQ(index.fileSize, c.fileSize);
    BlockMap parsed;
    ASSERT_TRUE(ParseBlockMap(map, &parsed));
    EXPECT_EQ(index.sha256, parsed.sha256);
    // The entries a launcher computes from the same bytes are the map's own,
    // and so are their region digests.
    const std::string entries = EntriesOf(file, 1024);
    EXPECT_EQ(entries, map.substr(kBlockMapHeader, entries.size())) << c.fileSize;
    EXPECT_EQ(DigestsOf(index, entries), index.digests) << c.fileSize;
    std::string rebuilt;
    ASSERT_TRUE(BlockMapOfEntries(c.fileSize, 1024, index.sha256, entries, &rebuilt));
    EXPECT_EQ(rebuilt, map) << c.fileSize;
  }
}

TEST(RegionIndex, RefusesWhatIsNotAWholeIndex) {
  const std::string map = BlockMapOfBytes(Random(100000, 4), 1024);
  std::string good;
  ASSERT_TRUE(RegionIndexOfMap(map, 16, &good));
  RegionIndex index;
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"cut short", good.substr(0, good.size() - 1)},
      {"a byte more", good + '\0'},
      {"another magic", "RPBLOCKS" + good.substr(8)},
      {"a flipped digest bit", good.substr(0, 70) + static_cast<char>(good[70] ^ 1) + good.substr(71)},
      {"a flipped size bit", good.substr(0, 24) + static_cast<char>(good[24] ^ 1) + good.substr(25)},
      {"a map", map},
  };
  for (const auto& c : cases) EXPECT_FALSE(ParseRegionIndex(c.bytes, &index)) << c.what;
  // Region counts one more and one less than the blocks make (7), each with
  // as many digests and a right trailing digest: only the count refuses.
  for (std::uint32_t regions : {6u, 8u}) {
    std::string body = good.substr(0, 20) + static_cast<char>(regions) + good.substr(21, 3) +
                       good.substr(24, kRegionIndexHeader - 24 + std::min(regions, 7u) * kRegionDigest);
    if (regions == 8) body += std::string(kRegionDigest, '\x11');
    EXPECT_FALSE(ParseRegionIndex(body + RegionDigestOf(body), &index)) << regions << " regions";
  }
  EXPECT_TRUE(ParseRegionIndex(
      good.substr(0, good.size() - kRegionDigest) + RegionDigestOf(good.substr(0, good.size() - kRegionDigest)),
      &index));
  std::string none;
  EXPECT_FALSE(RegionIndexOfMap(map, 24, &none)) << "regions of a size not a power of two";
  EXPECT_FALSE(RegionIndexOfMap(map, 8, &none)) << "regions too small";
  EXPECT_FALSE(RegionIndexOfMap(map.substr(1), 16, &none)) << "a damaged map";
}

// Damage at these block numbers in a file of 100 blocks of 1 KiB, 16 blocks
// a region (7 regions): which regions' entries are fetched.
TEST(RegionIndex, FetchesOnlyTheRegionsWhereTheCopyDiffers) {
  const std::string file = Random(100 * 1024, 5);
  std::string bytes;
  ASSERT_TRUE(RegionIndexOfMap(BlockMapOfBytes(file, 1024), 16, &bytes));
  RegionIndex index;
  ASSERT_TRUE(ParseRegionIndex(bytes, &index));
  const struct {
    std::vector<std::uint32_t> damaged, fetched;
    bool worth;
  } cases[] = {
      {{}, {}, true},      {{0}, {0}, true},      {{99}, {6}, true},    {{15}, {0}, true}, {{16}, {1}, true},
      {{3, 9}, {0}, true}, {{20, 30}, {1}, true}, {{3, 40}, {}, false},  // 2 of 7: more than a quarter, the whole map
  };
  for (const auto& c : cases) {
    std::string copy = file;
    for (std::uint32_t b : c.damaged) copy[b * 1024 + 7] ^= 0x5A;
    bool worth = false;
    EXPECT_EQ(RegionsToFetch(index, DigestsOf(index, EntriesOf(copy, 1024)), &worth), c.fetched);
    EXPECT_EQ(worth, c.worth);
  }
  // 128 blocks, 8 regions: two differing are exactly a quarter, still worth
  // it; three are not.
  const std::string eight = Random(128 * 1024, 6);
  RegionIndex index8;
  ASSERT_TRUE(RegionIndexOfMap(BlockMapOfBytes(eight, 1024), 16, &bytes));
  ASSERT_TRUE(ParseRegionIndex(bytes, &index8));
  for (const auto& [damaged, worthIt] :
       {std::pair{std::vector<std::uint32_t>{0, 40}, true}, std::pair{std::vector<std::uint32_t>{0, 40, 127}, false}}) {
    std::string copy = eight;
    for (std::uint32_t b : damaged) copy[b * 1024] ^= 1;
    bool worth = !worthIt;
    EXPECT_EQ(RegionsToFetch(index8, DigestsOf(index8, EntriesOf(copy, 1024)), &worth).size(),
              worthIt ? damaged.size() : 0u);
    EXPECT_EQ(worth, worthIt) << damaged.size() << " of 8 regions differ";
  }
  bool worth = true;
  // The blocks in place, from the entries alone, make the plan that
  // rebuilds the file from the damaged copy.
  std::string copy = file;
  for (std::uint32_t b : {3u, 4u, 99u}) copy[b * 1024] ^= 1;
  BlockMap map;
  ASSERT_TRUE(ParseBlockMap(BlockMapOfBytes(file, 1024), &map));
  const std::vector<std::uint64_t> inPlace = BlocksInPlace(map, EntriesOf(copy, 1024));
  for (std::uint32_t b = 0; b < 100; ++b)
    EXPECT_EQ(inPlace[b], b == 3 || b == 4 || b == 99 ? kNoMatch : b * 1024u) << b;
  std::string built;
  for (const DeltaStep& s : PlanDelta(map, inPlace, 0))
    built += s.fetch ? file.substr(s.to, s.length) : copy.substr(s.from, s.length);
  EXPECT_EQ(built, file);
  EXPECT_TRUE(RegionsToFetch(index, std::vector<std::string>(6), &worth).empty());
  EXPECT_FALSE(worth) << "a count that does not fit";
  std::uint64_t offset = 0, length = 0;
  RegionEntryRange(index, 6, 6, &offset, &length);
  EXPECT_EQ(offset, kBlockMapHeader + 96 * kBlockMapEntry);
  EXPECT_EQ(length, 4 * kBlockMapEntry);
  RegionEntryRange(index, 1, 2, &offset, &length);
  EXPECT_EQ(offset, kBlockMapHeader + 16 * kBlockMapEntry);
  EXPECT_EQ(length, 32 * kBlockMapEntry);
}

}  // namespace
