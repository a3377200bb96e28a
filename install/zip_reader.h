#pragma once
// A small reader for zip archives (stored and deflated entries, zlib), used
// where the shell's zip folders are missing (Wine, or switched off). Pure:
// works on the archive's bytes in memory. Every entry name is checked before
// anything is written.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ZipEntry {
  std::string name;  // as stored; '/' separated (a '\' is read as '/')
  bool utf8 = false; // general-purpose flag bit 11: the name is UTF-8
  bool directory = false;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0, size = 0;
  std::uint64_t localHeaderOffset = 0;
};

// Reads the central directory. False with a reason for anything malformed.
bool ListZip(std::string_view archive, std::vector<ZipEntry>* entries, std::string* why);
// The entry's bytes, CRC-checked; entries above `maxSize` are refused.
bool ReadZipEntry(std::string_view archive, const ZipEntry& entry, std::string* data, std::string* why,
                  std::uint64_t maxSize = 1ull << 32);
// False for names that could land outside the destination: empty, absolute
// ('/' or '\' first), a drive letter or any ':', a ".." component.
bool IsSafeZipEntryName(std::string_view name);
// The distinct first components of the entries, in archive order.
std::vector<std::string> ZipTopLevelItems(const std::vector<ZipEntry>& entries);
