#pragma once
// Region indexes: a small file beside each block map that lets a launcher
// holding a file of the right size fetch only the parts of the map where its
// copy differs, instead of the whole map (about 0.3 % of the file). The map
// is cut into regions of a fixed number of blocks; the index holds the
// SHA-256 of each region's map entries. The launcher computes its own
// entries region by region, compares digests, and asks for the map's entries
// of the differing regions with ranged requests. Pure: the operator's tool
// writes indexes with this code and the launcher reads them with it.
//
// An index, all numbers little-endian:
//   0   8  "RPREGION"
//   8   4  format version, 1
//   12  4  block size in bytes, as in the map
//   16  4  blocks per region (a power of two, 16 .. 65536)
//   20  4  region count, ceil(block count / blocks per region)
//   24  8  file size in bytes
//   32 32  the file's SHA-256
//   64     32 bytes per region: the SHA-256 of its map entries (12 bytes a
//          block, as the map holds them; the last region may be shorter)
//   end 32 SHA-256 of everything before it
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/blockmap.h"

inline constexpr std::uint32_t kRegionIndexVersion = 1;
inline constexpr std::size_t kRegionIndexHeader = 64;
inline constexpr std::size_t kRegionDigest = 32;
inline constexpr std::uint32_t kBlocksPerRegion = 256;

struct RegionIndex {
  std::uint32_t blockSize = 0;
  std::uint32_t blocksPerRegion = 0;
  std::uint32_t regionCount = 0;
  std::uint32_t blockCount = 0;
  std::uint64_t fileSize = 0;
  std::string sha256;                // 64 lowercase hex digits
  std::vector<std::string> digests;  // 32 raw bytes each

  // The blocks of a region: [first, first + count).
  std::uint32_t FirstBlock(std::uint32_t region) const { return region * blocksPerRegion; }
  std::uint32_t BlocksIn(std::uint32_t region) const;
};

// The raw SHA-256 of a region's entries; empty when it cannot be made.
std::string RegionDigestOf(std::string_view entries);

// The index of a whole, parsed-good map (its bytes as published); false for
// bytes that are not one or a region size out of range.
bool RegionIndexOfMap(std::string_view map, std::uint32_t blocksPerRegion, std::string* out);

// False for anything that is not a whole, undamaged index of version 1 with
// consistent numbers; `out` is then unspecified.
bool ParseRegionIndex(std::string_view bytes, RegionIndex* out);

// The regions whose entries a local copy must fetch: those whose digest in
// `local` (one per region, as RegionDigestOf makes them) differs from the
// index's. Empty with `worth` false when fetching them would not pay: a
// count that does not fit, or more than a quarter of the regions differ
// (the whole map is then about as cheap, and in one request).
std::vector<std::uint32_t> RegionsToFetch(const RegionIndex& index, const std::vector<std::string>& local, bool* worth);

// The byte range of the map entries of regions [first, last] in the map
// file: offset and length.
void RegionEntryRange(const RegionIndex& index, std::uint32_t first, std::uint32_t last, std::uint64_t* offset,
                      std::uint64_t* length);

// Per block of `map`: its own offset where the local copy's entry there
// (as BlockEntryOf makes it) is the map's, else kNoMatch; for a copy of the
// file's size, in place of a scan.
std::vector<std::uint64_t> BlocksInPlace(const BlockMap& map, std::string_view localEntries);

// <base>/<product>/blocks/<percent-encoded path>.regions
std::string BuildRegionIndexUrl(std::string_view mirrorBase, std::string_view product, std::string_view path);
