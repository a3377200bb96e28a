#include "install/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

std::uint16_t U16(std::string_view d, size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(d[at]) | static_cast<unsigned char>(d[at + 1]) << 8);
}
std::uint32_t U32(std::string_view d, size_t at) {
  return U16(d, at) | static_cast<std::uint32_t>(U16(d, at + 2)) << 16;
}
std::uint64_t U64(std::string_view d, size_t at) {
  return U32(d, at) | static_cast<std::uint64_t>(U32(d, at + 4)) << 32;
}

// A '\\' written by a Windows tool is a separator, but only where it is a
// character of its own: in a GBK name (no UTF-8 flag) 0x5C is also the second
// byte of characters such as 運 (DF 5C), so lead bytes carry their trail
// byte past the replacement. In UTF-8 no byte of a sequence is below 0x80.
void SeparatorsToSlash(std::string* name, bool utf8) {
  for (size_t i = 0; i < name->size(); ++i) {
    unsigned char c = static_cast<unsigned char>((*name)[i]);
    if (!utf8 && c >= 0x81 && c <= 0xFE && i + 1 < name->size())
      ++i;
    else if (c == '\\')
      (*name)[i] = '/';
  }
}

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
      if (sizeFull && q + 8 <= end) {
        e->size = U64(extra, q);
        q += 8;
      }
      if (compFull && q + 8 <= end) {
        e->compressedSize = U64(extra, q);
        q += 8;
      }
      if (offsetFull && q + 8 <= end) {
        e->localHeaderOffset = U64(extra, q);
      }
      return;
    }
    p += 4 + len;
  }
}

}  // namespace

ZipSource MemoryZipSource(std::string_view bytes) {
  ZipSource source;
  source.size = bytes.size();
  source.read = [bytes](std::uint64_t offset, char* out, size_t n) {
    if (offset > bytes.size() || n > bytes.size() - offset) return false;
    if (n) std::memcpy(out, bytes.data() + offset, n);
    return true;
  };
  return source;
}

bool ListZip(const ZipSource& source, std::vector<ZipEntry>* entries, std::string* why) {
  entries->clear();
  const std::uint64_t size = source.size;
  if (size < 22) return Fail(why, "too short for a zip archive");
  // The end-of-central-directory record lies within the last 64 KiB + 22 bytes.
  const std::uint64_t tailAt = size > 65557 ? size - 65557 : 0;
  std::string tail(static_cast<size_t>(size - tailAt), '\0');
  if (!source.read(tailAt, tail.data(), tail.size())) return Fail(why, "cannot read the archive");
  size_t eocd = std::string_view::npos;
  for (size_t p = tail.size() - 22 + 1; p-- > 0;) {
    if (U32(tail, p) == 0x06054b50) {
      eocd = p;
      break;
    }
  }
  if (eocd == std::string_view::npos) return Fail(why, "no end of central directory");
  std::uint64_t count = U16(tail, eocd + 10);
  std::uint64_t cdSize = U32(tail, eocd + 12), cdOffset = U32(tail, eocd + 16);
  const std::uint64_t eocdAt = tailAt + eocd;
  std::string locator(20, '\0');
  if (eocdAt >= 20 && source.read(eocdAt - 20, locator.data(), locator.size()) && U32(locator, 0) == 0x07064b50) {
    std::uint64_t z64 = U64(locator, 8);
    std::string record(56, '\0');
    // Compared without adding to the offset, which comes from the archive.
    if (z64 > size || size - z64 < 56 || !source.read(z64, record.data(), record.size()) ||
        U32(record, 0) != 0x06064b50)
      return Fail(why, "bad zip64 record");
    count = U64(record, 32);
    cdSize = U64(record, 40);
    cdOffset = U64(record, 48);
  }
  if (cdOffset > size || cdSize > size - cdOffset) return Fail(why, "central directory outside the archive");
  if (cdSize > kMaxZipCentralDirectory) return Fail(why, "central directory too large");
  if (count > cdSize / 46) return Fail(why, "too many entries for the central directory");
  std::string d(static_cast<size_t>(cdSize), '\0');
  if (!source.read(cdOffset, d.data(), d.size())) return Fail(why, "cannot read the central directory");
  size_t p = 0, end = d.size();
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
    SeparatorsToSlash(&e.name, e.utf8);
    ApplyZip64(std::string_view(d).substr(p + 46 + nameLen, extraLen), &e, e.size == 0xFFFFFFFFu,
               e.compressedSize == 0xFFFFFFFFu, e.localHeaderOffset == 0xFFFFFFFFu);
    e.directory = !e.name.empty() && e.name.back() == '/';
    if (flags & 1) return Fail(why, "encrypted entries are not supported");
    entries->push_back(std::move(e));
    p += 46 + nameLen + extraLen + commentLen;
  }
  return true;
}

namespace {

constexpr size_t kPiece = 262144;

// zlib's inflate state, ended on every path.
struct Inflater {
  z_stream zs = {};
  bool ready = false;
  Inflater() { ready = inflateInit2(&zs, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ready) inflateEnd(&zs);
  }
};

std::uint32_t Crc(std::uint32_t crc, const char* data, size_t n) {
  return static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(n)));
}

bool StreamStored(const ZipSource& source, const ZipEntry& e, std::uint64_t dataAt, const ZipSink& sink,
                  std::uint32_t* crc, std::string* why) {
  if (e.compressedSize != e.size) return Fail(why, "stored entry with two sizes");
  std::vector<char> buf(static_cast<size_t>(std::min<std::uint64_t>(kPiece, e.size)));
  for (std::uint64_t done = 0; done < e.size;) {
    size_t n = static_cast<size_t>(std::min<std::uint64_t>(kPiece, e.size - done));
    if (!source.read(dataAt + done, buf.data(), n)) return Fail(why, "cannot read the archive");
    *crc = Crc(*crc, buf.data(), n);
    if (!sink(buf.data(), n)) return Fail(why, "the entry was not taken");
    done += n;
  }
  return true;
}

bool StreamDeflated(const ZipSource& source, const ZipEntry& e, std::uint64_t dataAt, const ZipSink& sink,
                    std::uint32_t* crc, std::string* why) {
  // Some tools store an empty file as a deflated entry without any data.
  if (e.compressedSize == 0 && e.size == 0) return true;
  Inflater inflater;
  if (!inflater.ready) return Fail(why, "zlib init failed");
  z_stream& zs = inflater.zs;
  std::vector<char> in(static_cast<size_t>(std::min<std::uint64_t>(kPiece, e.compressedSize)));
  std::vector<char> out(kPiece);
  std::uint64_t consumed = 0, produced = 0;
  for (;;) {
    if (zs.avail_in == 0 && consumed < e.compressedSize) {
      size_t n = static_cast<size_t>(std::min<std::uint64_t>(in.size(), e.compressedSize - consumed));
      if (!source.read(dataAt + consumed, in.data(), n)) return Fail(why, "cannot read the archive");
      consumed += n;
      zs.next_in = reinterpret_cast<Bytef*>(in.data());
      zs.avail_in = static_cast<uInt>(n);
    }
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&zs, Z_NO_FLUSH);
    size_t have = out.size() - zs.avail_out;
    // More than the declared size is refused as it comes, before it is
    // written: a small entry must not fill the disk.
    if (have > e.size - produced) return Fail(why, "deflated data does not match its size");
    produced += have;
    if (have) {
      *crc = Crc(*crc, out.data(), have);
      if (!sink(out.data(), have)) return Fail(why, "the entry was not taken");
    }
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK) return Fail(why, "deflated data does not match its size");
  }
  if (produced != e.size) return Fail(why, "deflated data does not match its size");
  return true;
}

}  // namespace

bool StreamZipEntry(const ZipSource& source, const ZipEntry& e, const ZipSink& sink, std::string* why) {
  if (e.localHeaderOffset > source.size || source.size - e.localHeaderOffset < 30)
    return Fail(why, "local header outside");
  std::string header(30, '\0');
  if (!source.read(e.localHeaderOffset, header.data(), header.size())) return Fail(why, "cannot read the archive");
  if (U32(header, 0) != 0x04034b50) return Fail(why, "bad local header");
  std::uint64_t dataAt = e.localHeaderOffset + 30 + U16(header, 26) + U16(header, 28);
  if (dataAt > source.size || e.compressedSize > source.size - dataAt)
    return Fail(why, "entry data outside the archive");
  std::uint32_t crc = 0;
  bool ok;
  if (e.method == 0)
    ok = StreamStored(source, e, dataAt, sink, &crc, why);
  else if (e.method == 8)
    ok = StreamDeflated(source, e, dataAt, sink, &crc, why);
  else
    return Fail(why, "unsupported compression method");
  if (!ok) return false;
  if (crc != e.crc) return Fail(why, "CRC mismatch");
  return true;
}

std::uint64_t DeclaredUnpackedSize(const std::vector<ZipEntry>& entries) {
  std::uint64_t total = 0;
  for (const ZipEntry& e : entries) total = e.size > UINT64_MAX - total ? UINT64_MAX : total + e.size;
  return total;
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
