// Block maps come from mirrors: the reader must take any bytes, and a map it
// accepts must drive the scanner and the plan to steps that make up exactly
// the file, whatever local file they meet (here the input itself). Their
// region indexes too: one the reader accepts asks only for entries inside
// its map.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "manifest/block_match.h"
#include "manifest/block_regions.h"
#include "manifest/blockmap.h"
#include "hash/sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  // Inputs of even length get a right trailing digest, so that mutations
  // reach the numbers and entries behind it.
  if (size % 2 == 0 && size >= kBlockMapHeader + kBlockMapTrailer) {
    std::string hex;
    const std::size_t body = size - kBlockMapTrailer;
    if (!Sha256HexOfString(std::string_view(bytes).substr(0, body), &hex)) std::abort();
    for (std::size_t i = 0; i < kBlockMapTrailer; ++i)
      bytes[body + i] = static_cast<char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  }
  RegionIndex index;
  if (ParseRegionIndex(bytes, &index) && index.regionCount > 0) {
    if (index.digests.size() != index.regionCount) std::abort();
    std::uint64_t offset = 0, length = 0;
    RegionEntryRange(index, 0, index.regionCount - 1, &offset, &length);
    if (offset != kBlockMapHeader ||
        offset + length + kBlockMapTrailer != BlockMapSize(index.fileSize, index.blockSize))
      std::abort();
  }
  BlockMap map;
  if (!ParseBlockMap(bytes, &map)) return 0;
  if (map.blockCount > kMaxMapBlocks || map.sha256.size() != 64 ||
      BlockMapSize(map.fileSize, map.blockSize) != map.bytes.size())
    std::abort();
  if (map.blockSize > 65536) return 0;  // a window of megabytes only makes the run slow
  BlockScanner scanner(map);
  scanner.Feed(data, size / 2);
  scanner.Feed(data + size / 2, size - size / 2);
  scanner.Finish();
  std::uint64_t at = 0;
  for (const DeltaStep& s : PlanDelta(map, scanner.matches(), 4096)) {
    if (s.to != at || s.length == 0 || (!s.fetch && s.from + s.length > size)) std::abort();
    at += s.length;
  }
  if (at != map.fileSize) std::abort();
  return 0;
}
