#include "manifest/blockmap.h"

#include <algorithm>
#include <cstring>

#include "hash/sha256.h"
#include "manifest/le_bytes.h"
#include "net/url.h"

namespace {

constexpr char kMagic[8] = {'R', 'P', 'B', 'L', 'O', 'C', 'K', 'S'};

using le_bytes::BytesToHex;
using le_bytes::Get;
using le_bytes::HexToBytes;
using le_bytes::HexValue;
using le_bytes::Put32;
using le_bytes::Put64;

// t[d[0]]·m^(n-1) + t[d[1]]·m^(n-2) + ... + t[d[n-1]] modulo 2^32. Horner's
// rule is one chain of multiplications, each waiting for the one before;
// four chains over every fourth byte, in steps of m^4, joined at the end,
// give the same sum in about a third of the time. The scan computes one
// such sum for every block it finds, most of its work on a file that
// changed little. One sum at a time: the 32-bit build has registers for
// four chains, not eight.
std::uint32_t PolySum(const unsigned char* d, std::size_t n, const std::array<std::uint32_t, 256>& t, std::uint32_t m) {
  const std::size_t head = n % 4;
  std::uint32_t first = 0;
  for (std::size_t i = 0; i < head; ++i) first = first * m + t[d[i]];
  const std::uint32_t m4 = m * m * m * m;
  std::uint32_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
  for (std::size_t i = head; i < n; i += 4) {
    c0 = c0 * m4 + t[d[i]];
    c1 = c1 * m4 + t[d[i + 1]];
    c2 = c2 * m4 + t[d[i + 2]];
    c3 = c3 * m4 + t[d[i + 3]];
  }
  // The head's bytes carry m^(n - head) more than their place in it.
  std::uint32_t lift = 1, base = m;
  for (std::size_t e = n - head; e > 0; e >>= 1, base *= base)
    if (e & 1) lift *= base;
  return first * lift + ((c0 * m + c1) * m + c2) * m + c3;
}

}  // namespace

std::uint32_t BlockSizeFor(std::uint64_t fileSize) {
  std::uint32_t size = 4096;
  while ((fileSize + size - 1) / size > (kMaxMapBlocks >> 1)) size *= 2;
  return size;
}

RollingSum::RollingSum(std::uint32_t window) : window_(window) {
  // A byte at the window's start carries the multiplier's power window-1.
  std::uint32_t powA = 1, powB = 1;
  for (std::uint32_t i = 1; i < window; ++i) {
    powA *= kMulA;
    powB *= kMulB;
  }
  for (int v = 0; v < 256; ++v) {
    outA_[v] = kRollingTableA[v] * powA;
    outB_[v] = kRollingTableB[v] * powB;
  }
}

void RollingSum::Reset(const unsigned char* data) {
  a_ = PolySum(data, window_, kRollingTableA, kMulA);
  b_ = PolySum(data, window_, kRollingTableB, kMulB);
}

std::uint64_t WeakSumOf(const unsigned char* data, std::size_t n) {
  const std::uint32_t a = PolySum(data, n, kRollingTableA, RollingSum::kMulA);
  const std::uint32_t b = PolySum(data, n, kRollingTableB, RollingSum::kMulB);
  return (static_cast<std::uint64_t>(a) << 16) | (b >> 16);
}

std::uint64_t StrongSumOf(const unsigned char* data, std::size_t n) {
  std::string hex;
  if (!Sha256HexOfString(std::string_view(reinterpret_cast<const char*>(data), n), &hex)) return 0;
  std::uint64_t v = 0;
  for (int i = 0; i < 12; ++i) v = (v << 4) | static_cast<std::uint64_t>(HexValue(hex[i]));
  return v;
}

std::uint64_t BlockMap::Read48(std::size_t at) const { return Get(bytes, kBlockMapHeader + at, 6); }

std::uint64_t BlockMap::Strong(std::uint32_t block) const {
  // Stored as the digest's first bytes, in digest order.
  std::uint64_t v = 0;
  const std::size_t at = kBlockMapHeader + block * kBlockMapEntry + 6;
  for (int i = 0; i < 6; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

std::uint32_t BlockMap::Length(std::uint32_t block) const {
  std::uint64_t rest = fileSize - Offset(block);
  return rest < blockSize ? static_cast<std::uint32_t>(rest) : blockSize;
}

std::uint64_t BlockMapSize(std::uint64_t fileSize, std::uint32_t blockSize) {
  return kBlockMapHeader + (fileSize + blockSize - 1) / blockSize * kBlockMapEntry + kBlockMapTrailer;
}

std::uint64_t BlockMapSizeFor(std::uint64_t fileSize) { return BlockMapSize(fileSize, BlockSizeFor(fileSize)); }

std::uint64_t LargestBlockMapSize(std::uint64_t fileSize) {
  return BlockMapSize(std::min<std::uint64_t>(fileSize, std::uint64_t{kMaxMapBlocks} * 1024), 1024);
}

bool ParseBlockMap(std::string bytes, BlockMap* out) {
  if (bytes.size() < kBlockMapHeader + kBlockMapTrailer || std::memcmp(bytes.data(), kMagic, 8) != 0) return false;
  const std::string_view s(bytes);
  if (Get(s, 8, 4) != kBlockMapVersion || Get(s, 60, 4) != 0) return false;
  const std::uint64_t blockSize = Get(s, 12, 4), fileSize = Get(s, 16, 8), count = Get(s, 56, 4);
  if (blockSize < 1024 || blockSize > (64u << 20) || (blockSize & (blockSize - 1))) return false;
  if (count > kMaxMapBlocks || count != (fileSize + blockSize - 1) / blockSize) return false;
  if (bytes.size() != BlockMapSize(fileSize, static_cast<std::uint32_t>(blockSize))) return false;
  std::string digest;
  const std::size_t body = bytes.size() - kBlockMapTrailer;
  if (!Sha256HexOfString(s.substr(0, body), &digest) || digest != BytesToHex(s.substr(body))) return false;
  out->blockSize = static_cast<std::uint32_t>(blockSize);
  out->blockCount = static_cast<std::uint32_t>(count);
  out->fileSize = fileSize;
  out->sha256 = BytesToHex(s.substr(24, 32));
  out->bytes = std::move(bytes);
  return true;
}

BlockMapWriter::BlockMapWriter(std::uint64_t fileSize, std::uint32_t blockSize)
    : fileSize_(fileSize), blockSize_(blockSize) {
  const std::uint64_t count = (fileSize + blockSize - 1) / blockSize;
  bytes_.reserve(static_cast<std::size_t>(BlockMapSize(fileSize, blockSize)));
  bytes_.append(kMagic, 8);
  Put32(&bytes_, kBlockMapVersion);
  Put32(&bytes_, blockSize);
  Put64(&bytes_, fileSize);
  bytes_.append(32, '\0');  // the file's digest, known at the end
  Put32(&bytes_, static_cast<std::uint32_t>(count));
  Put32(&bytes_, 0);
}

namespace {

// A block as the map sums it: the file's last, shorter block is zero-padded
// to the block size, in `padded`.
const unsigned char* PaddedBlock(const unsigned char* data, std::size_t n, std::uint32_t blockSize,
                                 std::string* padded) {
  if (n >= blockSize) return data;
  padded->assign(reinterpret_cast<const char*>(data), n);
  padded->resize(blockSize, '\0');
  return reinterpret_cast<const unsigned char*>(padded->data());
}

}  // namespace

std::string BlockEntryOf(const unsigned char* data, std::size_t n, std::uint32_t blockSize) {
  std::string padded;
  const unsigned char* block = PaddedBlock(data, n, blockSize, &padded);
  const std::uint64_t weak = WeakSumOf(block, blockSize), strong = StrongSumOf(block, blockSize);
  std::string entry;
  for (int i = 0; i < 6; ++i) entry.push_back(static_cast<char>(weak >> (8 * i)));
  for (int i = 5; i >= 0; --i) entry.push_back(static_cast<char>(strong >> (8 * i)));
  return entry;
}

void BlockMapWriter::AddBlock(const unsigned char* data, std::size_t n) {
  bytes_ += BlockEntryOf(data, n, blockSize_);
  added_ += n;
}

void BlockMapWriter::AddEntry(std::string_view entry, std::size_t n) {
  bytes_.append(entry.data(), entry.size());
  added_ += n;
}

bool BlockMapWriter::Finish(std::string_view sha256Hex, std::string* out) {
  std::string raw;
  if (added_ != fileSize_ || sha256Hex.size() != 64 || !HexToBytes(sha256Hex, &raw)) return false;
  bytes_.replace(24, 32, raw);
  std::string digest;
  if (!Sha256HexOfString(bytes_, &digest) || !HexToBytes(digest, &raw)) return false;
  *out = bytes_ + raw;
  return true;
}

bool BlockMapOfEntries(std::uint64_t fileSize, std::uint32_t blockSize, std::string_view sha256Hex,
                       std::string_view entries, std::string* out) {
  if (blockSize == 0 || entries.size() != (fileSize + blockSize - 1) / blockSize * kBlockMapEntry) return false;
  BlockMapWriter w(fileSize, blockSize);
  std::uint64_t left = fileSize;
  for (std::size_t at = 0; at < entries.size(); at += kBlockMapEntry) {
    const std::size_t n = left < blockSize ? static_cast<std::size_t>(left) : blockSize;
    w.AddEntry(entries.substr(at, kBlockMapEntry), n);
    left -= n;
  }
  return w.Finish(sha256Hex, out);
}

std::string BlockMapOfBytes(std::string_view file, std::uint32_t blockSize) {
  BlockMapWriter w(file.size(), blockSize);
  for (std::size_t at = 0; at < file.size(); at += blockSize) {
    const std::size_t n = file.size() - at < blockSize ? file.size() - at : blockSize;
    w.AddBlock(reinterpret_cast<const unsigned char*>(file.data() + at), n);
  }
  std::string hex, map;
  Sha256HexOfString(file, &hex);
  w.Finish(hex, &map);
  return map;
}

std::string BuildBlockMapUrl(std::string_view mirrorBase, std::string_view product, std::string_view path) {
  return EnsureTrailingSlash(mirrorBase) + std::string(product) + "/blocks/" + UrlEncodePath(path) + ".blocks";
}

BlockRequestEnd JudgeBlockRequest(unsigned status) {
  if (status == 0 || status == 408 || status == 429 || status >= 500) return BlockRequestEnd::MirrorFault;
  return status >= 400 ? BlockRequestEnd::Whole : BlockRequestEnd::MirrorFault;
}

BlockCheck::BlockCheck(std::shared_ptr<const BlockMap> map, std::uint64_t from) : map_(std::move(map)), pos_(from) {
  const std::uint64_t size = map_->blockSize;
  checkFrom_ = (from + size - 1) / size * size;
}

bool BlockCheck::Feed(const char* data, std::size_t n) {
  if (badAt_ != UINT64_MAX) return false;
  while (n > 0 && pos_ < map_->fileSize) {
    std::size_t take = n;
    if (pos_ < checkFrom_) {
      take = static_cast<std::size_t>(std::min<std::uint64_t>(n, checkFrom_ - pos_));
    } else {
      const std::uint32_t index = static_cast<std::uint32_t>(pos_ / map_->blockSize);
      const std::uint32_t length = map_->Length(index);
      take = std::min<std::size_t>(n, length - block_.size());
      if (block_.empty() && take == length) {
        if (!Check(index, data, length)) return false;
      } else {
        block_.append(data, take);
        if (block_.size() == length) {
          if (!Check(index, block_.data(), length)) return false;
          block_.clear();
        }
      }
    }
    pos_ += take;
    data += take;
    n -= take;
  }
  return true;
}

bool BlockCheck::Check(std::uint32_t index, const char* block, std::size_t n) {
  std::string padded;
  const unsigned char* bytes = PaddedBlock(reinterpret_cast<const unsigned char*>(block), n, map_->blockSize, &padded);
  if (StrongSumOf(bytes, map_->blockSize) == map_->Strong(index)) return true;
  badAt_ = map_->Offset(index);
  return false;
}
