#pragma once
// A small reader for zip archives (stored and deflated entries, zlib), the
// only way addon packs are unpacked. Pure: the archive's bytes come through a
// ZipSource (a file in the program, memory in the tests and the fuzzer), and
// an entry's bytes go out piece by piece, so memory use does not grow with
// the size of a pack or of its entries. Every entry name is checked before
// anything is written.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct ZipEntry {
  std::string name;   // as stored, '/' separated: a '\' that is a character of its own reads as '/'
  bool utf8 = false;  // general-purpose flag bit 11: the name is UTF-8
  bool directory = false;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0, size = 0;
  std::uint64_t localHeaderOffset = 0;
};

// The archive's bytes: `read` fills `out` with exactly `n` bytes from
// `offset` and is false when it cannot (past the end, a failed read).
struct ZipSource {
  std::uint64_t size = 0;
  std::function<bool(std::uint64_t offset, char* out, size_t n)> read;
};
// Reads from memory, which must outlive the source.
ZipSource MemoryZipSource(std::string_view bytes);

// Receives an entry's bytes in order, a piece at a time; false stops the
// entry (a write that failed, a cancel).
using ZipSink = std::function<bool(const char* data, size_t n)>;

// A central directory larger than this is refused: it is read whole.
inline constexpr std::uint64_t kMaxZipCentralDirectory = 64ull << 20;

// Reads the central directory. False with a reason for anything malformed.
bool ListZip(const ZipSource& source, std::vector<ZipEntry>* entries, std::string* why);
// The bytes the entries say they hold, summed (at most 2^64 - 1): all that
// unpacking may write, since no entry may give more than it declares.
std::uint64_t DeclaredUnpackedSize(const std::vector<ZipEntry>& entries);
// Copies or inflates the entry into `sink` in pieces of at most 256 KiB,
// computing the CRC as it goes. True only when the whole entry arrived with
// its declared size and CRC; a sink may therefore have received bytes of an
// entry that then fails, and must be told to throw them away.
bool StreamZipEntry(const ZipSource& source, const ZipEntry& entry, const ZipSink& sink, std::string* why);
// False for names that could land outside the destination: empty, absolute
// ('/' or '\' first), a drive letter or any ':', a ".." component.
bool IsSafeZipEntryName(std::string_view name);
