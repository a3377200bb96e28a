#pragma once
// Block maps: the operator publishes one beside every large file of a
// product, so that a player who holds an older version of the file fetches
// only the bytes the new version does not share with it (rolling-checksum
// transfer over plain HTTP ranges). Pure: the operator's tool writes maps
// with this code and the launcher reads them with it.
//
// A map, all numbers little-endian:
//   0   8  "RPBLOCKS"
//   8   4  format version, 1
//   12  4  block size in bytes (a power of two, 1 KiB .. 64 MiB)
//   16  8  file size in bytes
//   24 32  the file's SHA-256
//   56  4  block count, ceil(file size / block size), at most kMaxMapBlocks
//   60  4  0
//   64     12 bytes per block: its weak checksum (RollingSum::weak(), 6 bytes)
//          and the first 6 bytes of the SHA-256 of the block; the last block
//          is zero-padded to the block size for both
//   end 32 SHA-256 of everything before it (a damaged map is refused whole)
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr std::uint32_t kBlockMapVersion = 1;
inline constexpr std::size_t kBlockMapHeader = 64;
inline constexpr std::size_t kBlockMapEntry = 12;
inline constexpr std::size_t kBlockMapTrailer = 32;
// The launcher's lookup table takes about 29 bytes a block: at most 2^20
// blocks keeps it under 32 MiB. The tool stays at 2^19.
inline constexpr std::uint32_t kMaxMapBlocks = 1u << 20;
// Files below this size get no map: fetching them whole costs little.
inline constexpr std::uint64_t kBlockMapMinFileSize = 1u << 20;

// 4 KiB, doubled while the file would have more than 2^19 blocks: a map of
// about 0.3 % of the file up to 2 GiB, less beyond.
std::uint32_t BlockSizeFor(std::uint64_t fileSize);

// The per-byte values of the weak checksum are part of the format:
// splitmix64 from a fixed seed, the high half of each output.
constexpr std::array<std::uint32_t, 256> RollingTable(std::uint64_t seed) {
  std::array<std::uint32_t, 256> t{};
  for (auto& v : t) {
    seed += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    v = static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
  }
  return t;
}
inline constexpr std::array<std::uint32_t, 256> kRollingTableA = RollingTable(0x5250424C4F434B41ull);  // "RPBLOCKA"
inline constexpr std::array<std::uint32_t, 256> kRollingTableB = RollingTable(0x5250424C4F434B42ull);  // "RPBLOCKB"

// The weak checksum of a window of `window` bytes: two polynomial hashes
// modulo 2^32 over a fixed random value per byte, rolled one byte at a time
// (a byte leaves, a byte enters) in constant time. weak() gives 48 bits: the
// first hash whole and the high half of the second.
class RollingSum {
 public:
  explicit RollingSum(std::uint32_t window);
  // Starts afresh over the `window` bytes at `data`.
  void Reset(const unsigned char* data);
  // The window moves on by one byte: `out` leaves it, `in` enters.
  void Roll(unsigned char out, unsigned char in) {
    a_ = (a_ - outA_[out]) * kMulA + kRollingTableA[in];
    b_ = (b_ - outB_[out]) * kMulB + kRollingTableB[in];
  }
  std::uint64_t weak() const { return (static_cast<std::uint64_t>(a_) << 16) | (b_ >> 16); }
  // Rolls on over up to `steps` bytes (p[k] leaves, p[k + window] enters)
  // and stops after the first window whose weak sum `hit` takes; returns
  // the bytes rolled. The sums live in registers meanwhile: stored in the
  // object they would be written back before every byte read, since a byte
  // read may alias anything.
  template <class Hit>
  std::uint64_t RollUntil(const unsigned char* p, std::uint64_t steps, Hit hit) {
    std::uint32_t a = a_, b = b_;
    const unsigned char* in = p + window_;
    std::uint64_t k = 0;
    while (k < steps) {
      a = (a - outA_[p[k]]) * kMulA + kRollingTableA[in[k]];
      b = (b - outB_[p[k]]) * kMulB + kRollingTableB[in[k]];
      ++k;
      if (hit((static_cast<std::uint64_t>(a) << 16) | (b >> 16))) break;
    }
    a_ = a;
    b_ = b;
    return k;
  }

  static constexpr std::uint32_t kMulA = 0x9E3779B1u, kMulB = 0x85EBCA77u;

 private:
  std::uint32_t window_;
  std::uint32_t a_ = 0, b_ = 0;
  std::uint32_t outA_[256], outB_[256];  // a byte's share in the sum when it leaves
};

// The weak checksum of `n` bytes computed from scratch.
std::uint64_t WeakSumOf(const unsigned char* data, std::size_t n);
// The first 48 bits of the SHA-256 of `n` bytes (big-endian), 0 when the
// digest cannot be made.
std::uint64_t StrongSumOf(const unsigned char* data, std::size_t n);

// A parsed map. `bytes` holds the whole map; the entries are read from it
// in place, so a map costs its own size in memory and no more.
struct BlockMap {
  std::string bytes;
  std::uint32_t blockSize = 0;
  std::uint32_t blockCount = 0;
  std::uint64_t fileSize = 0;
  std::string sha256;  // 64 lowercase hex digits

  std::uint64_t Weak(std::uint32_t block) const { return Read48(block * kBlockMapEntry); }
  std::uint64_t Strong(std::uint32_t block) const;
  // The block's real length: the block size, less for the last one.
  std::uint32_t Length(std::uint32_t block) const;
  std::uint64_t Offset(std::uint32_t block) const { return static_cast<std::uint64_t>(block) * blockSize; }

 private:
  std::uint64_t Read48(std::size_t at) const;
};

// False for anything that is not a whole, undamaged map of version 1 with
// consistent numbers; `out` is then unspecified.
bool ParseBlockMap(std::string bytes, BlockMap* out);
// The map's size for a file of this size and block size.
std::uint64_t BlockMapSize(std::uint64_t fileSize, std::uint32_t blockSize);
// The size of the map the operator's tool writes for a file of this size
// (BlockSizeFor).
std::uint64_t BlockMapSizeFor(std::uint64_t fileSize);
// The most a map of a file of this size can hold, whatever block size it
// was made with: what a launcher takes from a mirror at most.
std::uint64_t LargestBlockMapSize(std::uint64_t fileSize);

// Writes a map block by block (the tool streams files of gigabytes).
class BlockMapWriter {
 public:
  BlockMapWriter(std::uint64_t fileSize, std::uint32_t blockSize);
  // The next block, `n` bytes (the block size, fewer only for the last).
  void AddBlock(const unsigned char* data, std::size_t n);
  // The next block by its 12-byte entry, already computed, `n` bytes long.
  void AddEntry(std::string_view entry, std::size_t n);
  // The finished map; false when the blocks do not make up the file or the
  // hex digest is not one.
  bool Finish(std::string_view sha256Hex, std::string* out);

 private:
  std::uint64_t fileSize_, added_ = 0;
  std::uint32_t blockSize_;
  std::string bytes_;
};
// The 12-byte map entry of a block of `n` bytes (zero-padded to the block
// size).
std::string BlockEntryOf(const unsigned char* data, std::size_t n, std::uint32_t blockSize);
// A whole map from its entries (a local copy's own, with a mirror's where
// they differ); false when the entries do not fit the numbers.
bool BlockMapOfEntries(std::uint64_t fileSize, std::uint32_t blockSize, std::string_view sha256Hex,
                       std::string_view entries, std::string* out);
// The map of a file held in memory (tests, small tools).
std::string BlockMapOfBytes(std::string_view file, std::uint32_t blockSize);

// <base>/<product>/blocks/<percent-encoded path>.blocks
std::string BuildBlockMapUrl(std::string_view mirrorBase, std::string_view product, std::string_view path);

// What a request of a block build (the map, a range) that did not get what
// it asked for tells about its file on that mirror, from the HTTP status (0:
// no answer at all). The mirror could not answer now: no connection, a
// server error, a timeout or too many requests; another mirror, or the same
// later, may. Or it answered for good: no map there (a mirror that
// publishes none), a range refused; the file then comes whole, which is no
// fault of the mirror's.
enum class BlockRequestEnd { Whole, MirrorFault };
BlockRequestEnd JudgeBlockRequest(unsigned httpStatus);

// Checks the bytes of a piece of a file against its block map as they
// arrive (a client download splits large files over the mirrors):
// each block is compared with the map once all of it is in hand, so that a
// mirror that sends wrong bytes is found within a block and only its piece
// comes again, where without a map every piece goes once the joined file's
// SHA-256 differs. Checking begins at the first block boundary at or after
// `from`, the file offset of the next byte fed: a piece may have been coming
// before its map arrived. Bytes beyond the file's end are not looked at.
class BlockCheck {
 public:
  BlockCheck(std::shared_ptr<const BlockMap> map, std::uint64_t from);
  // False once a block differs; badAt() is then its first byte.
  bool Feed(const char* data, std::size_t n);
  std::uint64_t badAt() const { return badAt_; }

 private:
  bool Check(std::uint32_t index, const char* block, std::size_t n);

  std::shared_ptr<const BlockMap> map_;
  std::uint64_t pos_, checkFrom_;
  std::uint64_t badAt_ = UINT64_MAX;
  std::string block_;  // the current block's bytes so far, padded for the last one
};
