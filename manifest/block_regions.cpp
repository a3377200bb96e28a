#include "manifest/block_regions.h"

#include <cstring>

#include "hash/sha256.h"
#include "manifest/block_match.h"
#include "manifest/blockmap.h"
#include "manifest/le_bytes.h"
#include "net/url.h"

namespace {

constexpr char kMagic[8] = {'R', 'P', 'R', 'E', 'G', 'I', 'O', 'N'};

using le_bytes::Get;
using le_bytes::Put32;
using le_bytes::Put64;

bool GoodRegionSize(std::uint64_t n) { return n >= 16 && n <= 65536 && (n & (n - 1)) == 0; }

}  // namespace

std::uint32_t RegionIndex::BlocksIn(std::uint32_t region) const {
  const std::uint32_t first = FirstBlock(region);
  return blockCount - first < blocksPerRegion ? blockCount - first : blocksPerRegion;
}

std::string RegionDigestOf(std::string_view entries) {
  std::string hex;
  if (!Sha256HexOfString(entries, &hex) || hex.size() != 64) return std::string();
  std::string raw;
  le_bytes::HexToBytes(hex, &raw);
  return raw;
}

bool RegionIndexOfMap(std::string_view mapBytes, std::uint32_t blocksPerRegion, std::string* out) {
  BlockMap map;
  if (!GoodRegionSize(blocksPerRegion) || !ParseBlockMap(std::string(mapBytes), &map)) return false;
  const std::uint32_t regions = (map.blockCount + blocksPerRegion - 1) / blocksPerRegion;
  std::string s(kMagic, 8);
  Put32(&s, kRegionIndexVersion);
  Put32(&s, map.blockSize);
  Put32(&s, blocksPerRegion);
  Put32(&s, regions);
  Put64(&s, map.fileSize);
  s += mapBytes.substr(24, 32);  // the file's digest, as the map holds it
  for (std::uint32_t r = 0; r < regions; ++r) {
    const std::uint64_t first = std::uint64_t{r} * blocksPerRegion;
    const std::uint64_t count = map.blockCount - first < blocksPerRegion ? map.blockCount - first : blocksPerRegion;
    const std::string digest =
        RegionDigestOf(mapBytes.substr(kBlockMapHeader + first * kBlockMapEntry, count * kBlockMapEntry));
    if (digest.empty()) return false;
    s += digest;
  }
  const std::string trailer = RegionDigestOf(s);
  if (trailer.empty()) return false;
  *out = s + trailer;
  return true;
}

bool ParseRegionIndex(std::string_view s, RegionIndex* out) {
  if (s.size() < kRegionIndexHeader + kRegionDigest || std::memcmp(s.data(), kMagic, 8) != 0) return false;
  if (Get(s, 8, 4) != kRegionIndexVersion) return false;
  const std::uint64_t blockSize = Get(s, 12, 4), perRegion = Get(s, 16, 4), regions = Get(s, 20, 4);
  const std::uint64_t fileSize = Get(s, 24, 8);
  if (blockSize < 1024 || blockSize > (64u << 20) || (blockSize & (blockSize - 1)) || !GoodRegionSize(perRegion))
    return false;
  const std::uint64_t blocks = (fileSize + blockSize - 1) / blockSize;
  if (blocks > kMaxMapBlocks || regions != (blocks + perRegion - 1) / perRegion) return false;
  if (s.size() != kRegionIndexHeader + (regions + 1) * kRegionDigest) return false;
  const std::size_t body = s.size() - kRegionDigest;
  if (RegionDigestOf(s.substr(0, body)) != s.substr(body)) return false;
  out->blockSize = static_cast<std::uint32_t>(blockSize);
  out->blocksPerRegion = static_cast<std::uint32_t>(perRegion);
  out->regionCount = static_cast<std::uint32_t>(regions);
  out->blockCount = static_cast<std::uint32_t>(blocks);
  out->fileSize = fileSize;
  out->sha256 = le_bytes::BytesToHex(s.substr(32, 32));
  out->digests.clear();
  for (std::uint64_t r = 0; r < regions; ++r)
    out->digests.emplace_back(s.substr(kRegionIndexHeader + r * kRegionDigest, kRegionDigest));
  return true;
}

std::vector<std::uint32_t> RegionsToFetch(const RegionIndex& index, const std::vector<std::string>& local,
                                          bool* worth) {
  std::vector<std::uint32_t> differ;
  *worth = false;
  if (local.size() != index.digests.size()) return differ;
  for (std::uint32_t r = 0; r < index.regionCount; ++r)
    if (local[r] != index.digests[r]) differ.push_back(r);
  if (std::uint64_t{differ.size()} * 4 > index.regionCount) return {};
  *worth = true;
  return differ;
}

void RegionEntryRange(const RegionIndex& index, std::uint32_t first, std::uint32_t last, std::uint64_t* offset,
                      std::uint64_t* length) {
  const std::uint64_t from = index.FirstBlock(first);
  const std::uint64_t to = std::uint64_t{index.FirstBlock(last)} + index.BlocksIn(last);
  *offset = kBlockMapHeader + from * kBlockMapEntry;
  *length = (to - from) * kBlockMapEntry;
}

std::vector<std::uint64_t> BlocksInPlace(const BlockMap& map, std::string_view localEntries) {
  std::vector<std::uint64_t> matches(map.blockCount, kNoMatch);
  const std::string_view mapEntries = std::string_view(map.bytes).substr(kBlockMapHeader);
  for (std::uint32_t b = 0; b < map.blockCount; ++b) {
    const std::size_t at = std::size_t{b} * kBlockMapEntry;
    if (at + kBlockMapEntry <= localEntries.size() &&
        localEntries.substr(at, kBlockMapEntry) == mapEntries.substr(at, kBlockMapEntry))
      matches[b] = map.Offset(b);
  }
  return matches;
}

std::string BuildRegionIndexUrl(std::string_view mirrorBase, std::string_view product, std::string_view path) {
  return EnsureTrailingSlash(mirrorBase) + std::string(product) + "/blocks/" + UrlEncodePath(path) + ".regions";
}
