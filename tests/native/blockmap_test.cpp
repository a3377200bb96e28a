#include "manifest/block_match.h"
#include "manifest/blockmap.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>
#include <string>

#include "hash/sha256.h"
#include "tests/native/random_bytes.h"

namespace {

TEST(RollingSum, EqualsAFreshComputationAtEveryOffset) {
  const std::string data = Random(6000, 1) + std::string(3000, '\0') + Random(3000, 2);
  for (std::uint32_t window : {1u, 2u, 3u, 4u, 5u, 7u, 1024u, 1027u}) {
    RollingSum sum(window);
    sum.Reset(U(data));
    for (std::size_t at = 0;; ++at) {
      ASSERT_EQ(sum.weak(), WeakSumOf(U(data) + at, window)) << window << " at " << at;
      if (at + window >= data.size()) break;
      sum.Roll(data[at], data[at + window]);
    }
  }
}

// The weak sum as the map format defines it, one byte after the other.
TEST(RollingSum, WeakSumIsThePolynomialOfTheFormat) {
  const std::string data = Random(5000, 9);
  for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 1023u, 4096u, 4099u}) {
    std::uint32_t a = 0, b = 0;
    for (std::size_t i = 0; i < n; ++i) {
      a = a * RollingSum::kMulA + kRollingTableA[U(data)[i]];
      b = b * RollingSum::kMulB + kRollingTableB[U(data)[i]];
    }
    EXPECT_EQ(WeakSumOf(U(data), n), (static_cast<std::uint64_t>(a) << 16) | (b >> 16)) << n;
  }
}

// The new file rebuilt from the plan: copies from the old file, fetches
// from the new one. Returns the bytes fetched.
std::uint64_t Rebuild(const std::string& oldFile, const std::string& newFile, std::size_t feedChunk = 777) {
  BlockMap map;
  EXPECT_TRUE(ParseBlockMap(BlockMapOfBytes(newFile, 1024), &map));
  BlockScanner scanner(map);
  for (std::size_t at = 0; at < oldFile.size(); at += feedChunk)
    scanner.Feed(U(oldFile) + at, std::min(feedChunk, oldFile.size() - at));
  scanner.Finish();
  std::string built;
  const auto steps = PlanDelta(map, scanner.matches(), 2048);
  for (const DeltaStep& s : steps) {
    EXPECT_EQ(s.to, built.size());
    built += s.fetch ? newFile.substr(s.to, s.length) : oldFile.substr(s.from, s.length);
  }
  EXPECT_EQ(built, newFile);
  return BytesToFetch(steps);
}

TEST(BlockScanner, FindsShiftedChangedRepeatedAndShortBlocks) {
  const std::string a = Random(40000, 3), b = Random(9000, 4), z(8192, '\0');
  struct Case {
    const char* name;
    std::string oldFile, newFile;
    std::uint64_t mostFetched;
  } cases[] = {
      {"same", a, a, 0},
      {"inserted in front", a, Random(1500, 5) + a, 1500 + 1024},
      {"removed in front", Random(333, 6) + a, a, 0},
      {"changed in place", a, a.substr(0, 20000) + "XY" + a.substr(20002), 1024},
      {"entries swapped", a + b, b + a, 1024 + 872},  // the seam, and the last block not at the old end
      {"index at the end rewritten", a + Random(3000, 7), a.substr(1000) + Random(2500, 8), 2500 + 1024},
      {"repeated zero blocks found once", std::string(1024, '\0') + a, z + a + z, 1024},  // a's end and zeros
      {"last short block at the old file's end", Random(50, 9) + a, a, 0},
      {"nothing in common", b, a, a.size()},
      {"empty old file", "", a, a.size()},
      {"empty new file", a, "", 0},
      {"old file shorter than a block", a.substr(39500), a.substr(39500), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_LE(Rebuild(c.oldFile, c.newFile), c.mostFetched);
    EXPECT_LE(Rebuild(c.oldFile, c.newFile, 1 << 20), c.mostFetched);
  }
}

TEST(PlanDelta, CoalescesFetchesAcrossSmallGapsOnly) {
  BlockMap map;
  ASSERT_TRUE(ParseBlockMap(BlockMapOfBytes(Random(10 * 1024, 10), 1024), &map));
  const std::uint64_t n = kNoMatch;
  // Blocks 0,1 from 5000 on; 2 missing; 3 local; 4 missing; 5..8 local; 9 missing.
  std::vector<std::uint64_t> m = {5000, 6024, n, 0, n, 100, 1124, 2148, 3172, n};
  auto steps = PlanDelta(map, m, 1024);
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_FALSE(steps[0].fetch);
  EXPECT_EQ(steps[0].length, 2048u);
  EXPECT_TRUE(steps[1].fetch);
  EXPECT_EQ(steps[1].to, 2048u);
  EXPECT_EQ(steps[1].length, 3072u);  // 2, 3 and 4: one request
  EXPECT_EQ(steps[2].from, 100u);
  EXPECT_EQ(steps[2].length, 4096u);
  EXPECT_TRUE(steps[3].fetch);
  EXPECT_EQ(BytesToFetch(steps), 4096u);
}

TEST(BlockMap, ParsesWhatIsWrittenAndRefusesEverythingElse) {
  const std::string file = Random(5000, 11);
  const std::string good = BlockMapOfBytes(file, 1024);
  BlockMap map;
  ASSERT_TRUE(ParseBlockMap(good, &map));
  EXPECT_EQ(map.fileSize, 5000u);
  EXPECT_EQ(map.blockSize, 1024u);
  EXPECT_EQ(map.blockCount, 5u);
  EXPECT_EQ(map.Length(4), 5000u - 4096u);
  EXPECT_EQ(map.sha256.size(), 64u);
  EXPECT_EQ(map.Weak(1), WeakSumOf(U(file) + 1024, 1024));
  std::string padded = file.substr(4096) + std::string(4 * 1024 - 904, '\0');
  EXPECT_EQ(map.Strong(4), StrongSumOf(U(padded), 1024));

  auto with = [&](std::size_t at, std::string bytes) {
    std::string m = good;
    m.replace(at, bytes.size(), bytes);
    return m;
  };
  // The same with a right trailing digest, so that only the number refuses.
  auto sealedWith = [&](std::size_t at, std::string bytes) {
    std::string m = with(at, bytes);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(m.data()), m.size() - kBlockMapTrailer, digest);
    return m.replace(m.size() - kBlockMapTrailer, kBlockMapTrailer, reinterpret_cast<const char*>(digest),
                     sizeof digest);
  };
  const struct {
    const char* name;
    std::string map;
  } bad[] = {
      {"empty", ""},
      {"cut short", good.substr(0, good.size() - 1)},
      {"one byte more", good + "x"},
      {"another tag", with(0, "RPBLOCKZ")},
      {"version 2", with(8, std::string("\2", 1))},
      {"block size not a power of two", with(12, std::string("\1\4\0\0", 4))},
      {"block size below 1 KiB", with(12, std::string("\0\2\0\0", 4))},
      {"a count that does not fit the size", with(56, std::string("\6", 1))},
      {"a damaged entry", with(70, "!")},
      {"a damaged digest", with(good.size() - 1, "!")},
      {"a nonzero reserved word", sealedWith(60, std::string("\1", 1))},
      {"version 2, sealed", sealedWith(8, std::string("\2", 1))},
      {"a count that does not fit the size, sealed", sealedWith(56, std::string("\6", 1))},
      {"block size not a power of two, sealed", sealedWith(12, std::string("\1\4\0\0", 4))},
  };
  for (const auto& b : bad) EXPECT_FALSE(ParseBlockMap(b.map, &map)) << b.name;

  // A file that changed size while it was mapped makes no map.
  for (std::size_t fed : {4096u, 5001u}) {
    BlockMapWriter w(5000, 1024);
    const std::string more = file + "x";
    for (std::size_t at = 0; at < fed; at += 1024) w.AddBlock(U(more) + at, std::min<std::size_t>(1024, fed - at));
    std::string hex, none;
    Sha256HexOfString(file, &hex);
    EXPECT_FALSE(w.Finish(hex, &none)) << fed << " bytes fed for 5000";
  }

  EXPECT_EQ(BlockSizeFor(300u << 20), 4096u);
  EXPECT_EQ(BlockSizeFor(2ull << 30), 4096u);
  EXPECT_EQ(BlockSizeFor(4ull << 30), 8192u);
  EXPECT_EQ(BuildBlockMapUrl("http://m/wow335", "wow335-hd", "Data/zhCN/a b.MPQ"),
            "http://m/wow335/wow335-hd/blocks/Data/zhCN/a%20b.MPQ.blocks");
}

// A map with zero entries and a right digest, for any block size and file
// size: only the bounds can refuse it.
std::string Sealed(std::uint64_t blockSize, std::uint64_t fileSize) {
  std::string m = "RPBLOCKS";
  auto put = [&](std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) m.push_back(static_cast<char>(v >> (8 * i)));
  };
  const std::uint64_t count = (fileSize + blockSize - 1) / blockSize;
  put(1, 4);
  put(blockSize, 4);
  put(fileSize, 8);
  m.append(32, '\0');
  put(count, 4);
  put(0, 4);
  m.append(count * kBlockMapEntry, '\0');
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(m.data()), m.size(), digest);
  m.append(reinterpret_cast<const char*>(digest), sizeof digest);
  return m;
}

TEST(BlockMap, BoundsOfBlockSizeAndBlockCount) {
  struct Case {
    const char* name;
    std::uint64_t blockSize, fileSize;
    bool taken;
  };
  const std::uint64_t most = kMaxMapBlocks;
  for (const Case& c : {
           Case{"the smallest block size", 1024, 5000, true},
           Case{"half of it", 512, 5000, false},
           Case{"the largest block size", 64u << 20, 100u << 20, true},
           Case{"twice that", 128u << 20, 100u << 20, false},
           Case{"the largest block count", 1024, most * 1024, true},
           Case{"one block more", 1024, most * 1024 + 1, false},
       }) {
    BlockMap map;
    EXPECT_EQ(ParseBlockMap(Sealed(c.blockSize, c.fileSize), &map), c.taken) << c.name;
  }
}

TEST(BlockMap, WhatAFailedRequestOfABuildSaysAboutTheMirror) {
  struct Case {
    const char* name;
    unsigned status;
    BlockRequestEnd end;
  };
  for (const Case& c : {
           Case{"no answer at all", 0, BlockRequestEnd::MirrorFault},
           Case{"no map on this mirror", 404, BlockRequestEnd::Whole},
           Case{"maps not served", 403, BlockRequestEnd::Whole},
           Case{"a range it cannot give", 416, BlockRequestEnd::Whole},
           Case{"a timeout", 408, BlockRequestEnd::MirrorFault},
           Case{"too many requests", 429, BlockRequestEnd::MirrorFault},
           Case{"a server error", 500, BlockRequestEnd::MirrorFault},
           Case{"a gateway with no upstream", 502, BlockRequestEnd::MirrorFault},
           Case{"overloaded", 503, BlockRequestEnd::MirrorFault},
           Case{"a redirect left unfollowed", 302, BlockRequestEnd::MirrorFault},
       }) {
    EXPECT_EQ(JudgeBlockRequest(c.status), c.end) << c.name;
  }
}

// A piece is checked block by block as it comes, from the first block
// boundary on, whatever the sizes of the reads.
TEST(BlockMap, CheckOfAPieceFindsTheFirstWrongBlock) {
  std::string file(10 * 1024 + 300, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 7 + i / 5);
  auto map = std::make_shared<BlockMap>();
  ASSERT_TRUE(ParseBlockMap(BlockMapOfBytes(file, 1024), map.get()));
  struct {
    std::uint64_t from, damaged, chunk, badAt;
  } cases[] = {
      {0, UINT64_MAX, 1000, UINT64_MAX},    {0, 5000, 777, 4096},    {0, 5000, 1024, 4096},
      {1500, 1600, 300, UINT64_MAX},        {1500, 2100, 300, 2048}, {0, 10 * 1024 + 299, 4096, 10 * 1024},
      {9000, UINT64_MAX, 5000, UINT64_MAX},  // the short last block and bytes past the file's end
  };
  for (const auto& c : cases) {
    std::string bytes = file.substr(c.from) + "past the end";
    if (c.damaged != UINT64_MAX) bytes[c.damaged - c.from] ^= 1;
    BlockCheck check(map, c.from);
    bool ok = true;
    for (size_t at = 0; at < bytes.size() && ok; at += c.chunk)
      ok = check.Feed(bytes.data() + at, std::min<size_t>(c.chunk, bytes.size() - at));
    EXPECT_EQ(ok, c.badAt == UINT64_MAX) << c.from << " " << c.damaged;
    EXPECT_EQ(check.badAt(), c.badAt) << c.from << " " << c.damaged;
  }
}

}  // namespace
