#include "install/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

std::uint16_t U16(std::string_view d, size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(d[at]) | static_cast<unsigned char>(d[at + 1]) << 8);
}
std::uint32_t U32(std::string_view d, size_t at) { return U16(d, at) | static_cast<std::uint32_t>(U16(d, at + 2)) << 16; }
std::uint64_t U64(std::string_view d, size_t at) { return U32(d, at) | static_cast<std::uint64_t>(U32(d, at + 4)) << 32; }

bool Fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

// Zip64 sizes and offset from the extra field, where the 32-bit fields are full.
void ApplyZip64(std::string_view extra, ZipEntry* e, bool sizeFull, bool compFull, bool offsetFull) {
  size_t p = 0;
  while (p + 4 <= extra.size()) {
    std::uint16_t id = U16(extra, p), len = U16(extra, p + 2);
    if (p + 4 + len > extra.size()) return;
    if (id == 1) {
      size_t q = p + 4, end = p + 4 + len;
      if (sizeFull && q + 8 <= end) { e->size = U64(extra, q); q += 8; }
      if (compFull && q + 8 <= end) { e->compressedSize = U64(extra, q); q += 8; }
      if (offsetFull && q + 8 <= end) { e->localHeaderOffset = U64(extra, q); }
      return;
    }
    p += 4 + len;
  }
}

}  // namespace

bool ListZip(std::string_view d, std::vector<ZipEntry>* entries, std::string* why) {
  entries->clear();
  if (d.size() < 22) return Fail(why, "too short for a zip archive");
  // The end-of-central-directory record lies within the last 64 KiB + 22 bytes.
  size_t lowest = d.size() > 65557 ? d.size() - 65557 : 0;
  size_t eocd = std::string_view::npos;
  for (size_t p = d.size() - 22 + 1; p-- > lowest;) {
    if (U32(d, p) == 0x06054b50) {
      eocd = p;
      break;
    }
  }
  if (eocd == std::string_view::npos) return Fail(why, "no end of central directory");
  std::uint64_t count = U16(d, eocd + 10);
  std::uint64_t cdSize = U32(d, eocd + 12), cdOffset = U32(d, eocd + 16);
  if (eocd >= 20 && U32(d, eocd - 20) == 0x07064b50) {
    std::uint64_t z64 = U64(d, eocd - 20 + 8);
    // Compared without adding to the offset, which comes from the archive.
    if (z64 > d.size() || d.size() - z64 < 56 || U32(d, static_cast<size_t>(z64)) != 0x06064b50)
      return Fail(why, "bad zip64 record");
    count = U64(d, static_cast<size_t>(z64) + 32);
    cdSize = U64(d, static_cast<size_t>(z64) + 40);
    cdOffset = U64(d, static_cast<size_t>(z64) + 48);
  }
  if (cdOffset > d.size() || cdSize > d.size() - cdOffset) return Fail(why, "central directory outside the archive");
  if (count > cdSize / 46) return Fail(why, "too many entries for the central directory");
  size_t p = static_cast<size_t>(cdOffset), end = static_cast<size_t>(cdOffset + cdSize);
  for (std::uint64_t i = 0; i < count; ++i) {
    if (p + 46 > end || U32(d, p) != 0x02014b50) return Fail(why, "bad central directory entry");
    ZipEntry e;
    std::uint16_t flags = U16(d, p + 8);
    e.utf8 = (flags & 0x800) != 0;
    e.method = U16(d, p + 10);
    e.crc = U32(d, p + 16);
    e.compressedSize = U32(d, p + 20);
    e.size = U32(d, p + 24);
    std::uint16_t nameLen = U16(d, p + 28), extraLen = U16(d, p + 30), commentLen = U16(d, p + 32);
    e.localHeaderOffset = U32(d, p + 42);
    if (p + 46 + nameLen + extraLen + commentLen > end) return Fail(why, "entry runs past the central directory");
    e.name.assign(d.substr(p + 46, nameLen));
    std::replace(e.name.begin(), e.name.end(), '\\', '/');
    ApplyZip64(d.substr(p + 46 + nameLen, extraLen), &e, e.size == 0xFFFFFFFFu, e.compressedSize == 0xFFFFFFFFu,
               e.localHeaderOffset == 0xFFFFFFFFu);
    e.directory = !e.name.empty() && e.name.back() == '/';
    if (flags & 1) return Fail(why, "encrypted entries are not supported");
    entries->push_back(std::move(e));
    p += 46 + nameLen + extraLen + commentLen;
  }
  return true;
}

bool ReadZipEntry(std::string_view d, const ZipEntry& e, std::string* out, std::string* why, std::uint64_t maxSize) {
  out->clear();
  if (e.size > maxSize) return Fail(why, "entry too large");
  if (e.localHeaderOffset > d.size() || d.size() - e.localHeaderOffset < 30) return Fail(why, "local header outside");
  size_t p = static_cast<size_t>(e.localHeaderOffset);
  if (U32(d, p) != 0x04034b50) return Fail(why, "bad local header");
  size_t dataAt = p + 30 + U16(d, p + 26) + U16(d, p + 28);
  if (dataAt > d.size() || e.compressedSize > d.size() - dataAt) return Fail(why, "entry data outside the archive");
  std::string_view packed = d.substr(dataAt, static_cast<size_t>(e.compressedSize));
  if (e.method == 0) {
    if (e.compressedSize != e.size) return Fail(why, "stored entry with two sizes");
    out->assign(packed);
  } else if (e.method == 8) {
    out->resize(static_cast<size_t>(e.size));
    z_stream zs = {};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return Fail(why, "zlib init failed");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    zs.avail_in = static_cast<uInt>(packed.size());
    zs.next_out = reinterpret_cast<Bytef*>(out->data());
    zs.avail_out = static_cast<uInt>(out->size());
    int rc = inflate(&zs, Z_FINISH);
    bool whole = (rc == Z_STREAM_END) && zs.total_out == e.size;
    if (rc == Z_BUF_ERROR && e.size == 0 && zs.total_out == 0) whole = true;
    inflateEnd(&zs);
    if (!whole) return Fail(why, "deflated data does not match its size");
  } else {
    return Fail(why, "unsupported compression method");
  }
  if (crc32(0, reinterpret_cast<const Bytef*>(out->data()), static_cast<uInt>(out->size())) != e.crc)
    return Fail(why, "CRC mismatch");
  return true;
}

bool IsSafeZipEntryName(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.front() == '\\') return false;
  if (name.find(':') != std::string_view::npos) return false;
  if (name.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t sep = name.find_first_of("/\\", start);
    std::string_view part = name.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
    if (part == "..") return false;
    // Windows drops trailing dots and blanks: "..." or ".. " would name the parent.
    if (!part.empty() && part.find_first_not_of(". ") == std::string_view::npos && part != ".") return false;
    if (sep == std::string_view::npos) break;
    start = sep + 1;
  }
  return true;
}

std::vector<std::string> ZipTopLevelItems(const std::vector<ZipEntry>& entries) {
  std::vector<std::string> out;
  for (const ZipEntry& e : entries) {
    std::string top = e.name.substr(0, e.name.find('/'));
    if (top.empty() || top == ".") continue;
    if (std::find(out.begin(), out.end(), top) == out.end()) out.push_back(top);
  }
  return out;
}
