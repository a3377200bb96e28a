#include "download/save_folder.h"
#include "install/zip_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

// A small zip writer for the tests: stored or deflated entries.
struct ZipBuilder {
  std::string data, central;
  int count = 0;
  // For the next entry: an extra field in its local header only (Info-ZIP's
  // zip writes one of another length there), and a zip64 extra field in the
  // central directory with the 32-bit sizes marked full.
  std::string localExtra, zip64Extra;
  unsigned flags = 0;  // more general-purpose flags for the next entry
  static void Put16(std::string& s, unsigned v) { s += char(v & 255), s += char(v >> 8 & 255); }
  static void Put32(std::string& s, unsigned long v) { Put16(s, v & 0xFFFF), Put16(s, v >> 16 & 0xFFFF); }
  void Add(const std::string& name, const std::string& body, bool deflate = true, bool utf8 = false) {
    std::string packed = body;
    unsigned method = 0;
    if (deflate) {
      uLongf len = compressBound(body.size());
      std::string z(len, '\0');
      compress2(reinterpret_cast<Bytef*>(z.data()), &len, reinterpret_cast<const Bytef*>(body.data()), body.size(), 9);
      packed = z.substr(2, len - 6);  // raw deflate: no zlib header and trailer
      method = 8;
    }
    unsigned long crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size());
    unsigned long offset = data.size();
    std::string local;
    const unsigned gp = (utf8 ? 0x800 : 0) | flags;
    Put32(local, 0x04034b50), Put16(local, 20), Put16(local, gp), Put16(local, method);
    Put32(local, 0), Put32(local, crc), Put32(local, packed.size()), Put32(local, body.size());
    Put16(local, name.size()), Put16(local, localExtra.size());
    data += local + name + localExtra + packed;
    bool z64 = !zip64Extra.empty();
    Put32(central, 0x02014b50), Put16(central, 20), Put16(central, 20), Put16(central, gp);
    Put16(central, method), Put32(central, 0), Put32(central, crc), Put32(central, z64 ? 0xFFFFFFFF : packed.size());
    Put32(central, z64 ? 0xFFFFFFFF : body.size()), Put16(central, name.size()), Put16(central, zip64Extra.size());
    Put16(central, 0), Put16(central, 0), Put16(central, 0), Put32(central, 0), Put32(central, offset);
    central += name + zip64Extra;
    localExtra.clear(), zip64Extra.clear(), flags = 0;
    ++count;
  }
  std::string Finish() {
    std::string out = data + central, end;
    Put32(end, 0x06054b50), Put16(end, 0), Put16(end, 0), Put16(end, count), Put16(end, count);
    Put32(end, central.size()), Put32(end, data.size()), Put16(end, 0);
    return out + end;
  }
};

bool ReadEntry(std::string_view zip, const ZipEntry& e, std::string* body, std::string* why) {
  body->clear();
  auto sink = [&](const char* p, size_t n) {
    body->append(p, n);
    return true;
  };
  return StreamZipEntry(MemoryZipSource(zip), e, sink, why);
}

TEST(ZipReader, ReadsStoredAndDeflatedEntries) {
  ZipBuilder z;
  z.Add("Interface/AddOns/A/a.toc", "## Title: A\n" + std::string(5000, 'x'));
  z.Add("Interface/", "", false);
  z.Add("WTF/Config.wtf", "SET x 1", false, true);
  std::string zip = z.Finish();
  std::vector<ZipEntry> entries;
  std::string why;
  ASSERT_TRUE(ListZip(MemoryZipSource(zip), &entries, &why)) << why;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[1].directory);
  EXPECT_TRUE(entries[2].utf8);
  std::string body;
  ASSERT_TRUE(ReadEntry(zip, entries[0], &body, &why)) << why;
  EXPECT_EQ(body, "## Title: A\n" + std::string(5000, 'x'));
  ASSERT_TRUE(ReadEntry(zip, entries[2], &body, &why));
  EXPECT_EQ(body, "SET x 1");
  EXPECT_EQ(DeclaredUnpackedSize(entries), 5012u + 7u);
  entries[0].size = UINT64_MAX - 3;
  EXPECT_EQ(DeclaredUnpackedSize(entries), UINT64_MAX) << "no wrap round to a small total";
}

// Entries larger than the reader's 256 KiB pieces arrive whole, in pieces.
TEST(ZipReader, LargeEntriesStreamInPieces) {
  std::string big;
  for (unsigned i = 0; big.size() < 1500000; ++i) big += std::to_string(i * 2654435761u % 1000003) + ",";
  ZipBuilder z;
  z.Add("stored.bin", big, false);
  z.Add("deflated.bin", big);
  std::string zip = z.Finish();
  std::vector<ZipEntry> entries;
  std::string why, body;
  ASSERT_TRUE(ListZip(MemoryZipSource(zip), &entries, &why));
  for (const ZipEntry& e : entries) {
    size_t pieces = 0;
    body.clear();
    auto sink = [&](const char* p, size_t n) {
      EXPECT_LE(n, 262144u);
      ++pieces;
      body.append(p, n);
      return true;
    };
    ASSERT_TRUE(StreamZipEntry(MemoryZipSource(zip), e, sink, &why)) << e.name << ": " << why;
    EXPECT_EQ(body, big) << e.name;
    EXPECT_GE(pieces, 6u) << e.name;
  }
}

TEST(ZipReader, DamageIsReportedNotTrusted) {
  ZipBuilder z;
  z.Add("a.txt", "hello world hello world");
  std::string zip = z.Finish();
  std::vector<ZipEntry> entries;
  std::string why, body;
  ASSERT_TRUE(ListZip(MemoryZipSource(zip), &entries, &why));
  const ZipEntry entry = entries[0];
  std::string bad = zip;
  bad[30 + 5 + 2] ^= 0x55;  // inside the deflated data
  EXPECT_FALSE(ReadEntry(bad, entry, &body, &why));
  ZipEntry shorter = entry;
  shorter.size = 5;  // inflates to more than it declares
  EXPECT_FALSE(ReadEntry(zip, shorter, &body, &why));
  EXPECT_LE(body.size(), 5u) << "nothing beyond the declared size reaches the writer";
  EXPECT_FALSE(StreamZipEntry(
      MemoryZipSource(zip), entry, [](const char*, size_t) { return false; }, &why))
      << "a writer that gives up stops the entry";
  EXPECT_FALSE(ListZip(MemoryZipSource(std::string_view(zip).substr(0, zip.size() - 3)), &entries, &why));
  EXPECT_FALSE(ListZip(MemoryZipSource("PK"), &entries, &why));
}

// An entry that declares less than it inflates to: each 256 KiB piece is
// within the declared size, their sum is not. What reaches the writer stays
// within the declared size.
TEST(ZipReader, TheDeclaredSizeBoundsTheWholeEntry) {
  ZipBuilder z;
  z.Add("big.bin", std::string(900000, 'z'));
  std::string zip = z.Finish();
  std::vector<ZipEntry> entries;
  std::string why, body;
  ASSERT_TRUE(ListZip(MemoryZipSource(zip), &entries, &why));
  ZipEntry declared = entries[0];
  for (std::uint64_t size : {300000u, 524288u, 899999u}) {
    declared.size = size;
    EXPECT_FALSE(ReadEntry(zip, declared, &body, &why)) << size;
    EXPECT_LE(body.size(), size) << "bytes past the declared size reached the writer";
  }
}

TEST(ZipReader, EncryptedEntriesAreRefused) {
  std::vector<ZipEntry> entries;
  std::string why;
  for (unsigned flags : {0x1u, 0x41u, 0x801u}) {
    ZipBuilder z;
    z.Add("plain.txt", "x", false);
    z.flags = flags;
    z.Add("secret.txt", "x", false);
    EXPECT_FALSE(ListZip(MemoryZipSource(z.Finish()), &entries, &why)) << flags;
    EXPECT_EQ(why, "encrypted entries are not supported") << flags;
  }
  ZipBuilder z;
  z.flags = 0x2 | 0x4;  // deflate's speed hints: not encryption
  z.Add("fast.txt", "x");
  EXPECT_TRUE(ListZip(MemoryZipSource(z.Finish()), &entries, &why)) << why;
}

// Headers as other tools write them: a local extra field of another length
// than the central one, zip64 sizes, a stored entry damaged in place.
TEST(ZipReader, OtherWritersHeaders) {
  const std::string body = "SET gxApi \"d3d9\"\n" + std::string(3000, 'y');
  std::string size64, size64Short;
  ZipBuilder::Put16(size64, 1), ZipBuilder::Put16(size64, 16);
  for (int half = 0; half < 2; ++half) ZipBuilder::Put32(size64, body.size()), ZipBuilder::Put32(size64, 0);
  size64Short = size64.substr(0, 12);
  ZipBuilder z;
  z.localExtra = std::string("UT\x09\x00", 4) + std::string(9, '\x01') + "ux" + std::string(13, '\x02');
  z.Add("deflated.txt", body);
  z.localExtra = "UT" + std::string(6, '\0');
  z.Add("stored.txt", body, false);
  z.zip64Extra = size64;
  z.Add("zip64.txt", body, false);
  z.zip64Extra = size64Short;  // says 16 bytes, holds 8: nothing is read past it
  z.Add("short64.txt", body, false);
  std::string zip = z.Finish();
  std::vector<ZipEntry> entries;
  std::string why, body2;
  ASSERT_TRUE(ListZip(MemoryZipSource(zip), &entries, &why)) << why;
  ASSERT_EQ(entries.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].size, body.size()) << entries[i].name;
    EXPECT_TRUE(ReadEntry(zip, entries[i], &body2, &why)) << entries[i].name << ": " << why;
    EXPECT_EQ(body2, body) << entries[i].name;
  }
  EXPECT_EQ(entries[3].size, 0xFFFFFFFFu) << "a cut-short zip64 field leaves the sizes unread";
  EXPECT_FALSE(ReadEntry(zip, entries[3], &body2, &why));
  std::string bad = zip;
  bad[zip.find("SET gxApi")] ^= 0x20;  // the stored entry's first byte
  EXPECT_FALSE(ReadEntry(bad, entries[1], &body2, &why));
  EXPECT_EQ(why, "CRC mismatch");
}

// Separators are read after the name's characters: in GBK, 0x5C is also the
// second byte of characters such as 運 (DF 5C).
TEST(ZipReader, BackslashesInNames) {
  ZipBuilder z;
  z.Add("Interface\\AddOns\\Foo\\\xDF\x5C.lua", "x", false);
  z.Add("Interface/AddOns/\xDF\x5C", "x", false);
  z.Add("Interface\\AddOns\\\xE9\x81\x8B\\a.lua", "x", false, true);
  std::vector<ZipEntry> entries;
  std::string why;
  ASSERT_TRUE(ListZip(MemoryZipSource(z.Finish()), &entries, &why)) << why;
  EXPECT_EQ(entries[0].name, "Interface/AddOns/Foo/\xDF\x5C.lua");
  EXPECT_EQ(entries[1].name, "Interface/AddOns/\xDF\x5C");
  EXPECT_FALSE(entries[1].directory);
  EXPECT_EQ(entries[2].name, "Interface/AddOns/\xE9\x81\x8B/a.lua");
}

// GBK lead bytes are 0x81..0xFE: only they carry a 0x5C trail byte along.
TEST(ZipReader, GbkLeadByteRange) {
  struct Case {
    const char* stored;
    const char* read;
  };
  for (const Case& c : {
           Case{"A\x80\\b", "A\x80/b"},        // below the range: the backslash separates
           Case{"A\x81\\b", "A\x81\\b"},       // the first lead byte
           Case{"A\xFE\\b", "A\xFE\\b"},       // the last lead byte
           Case{"A\xFF\\b", "A\xFF/b"},        // above the range
           Case{"A\\\xFE", "A/\xFE"},          // a lead byte last: nothing to carry
           Case{"\xFE\x81\\b", "\xFE\x81/b"},  // 0x81 as a trail byte leads nothing
       }) {
    ZipBuilder z;
    z.Add(c.stored, "x", false);
    std::vector<ZipEntry> entries;
    std::string why;
    ASSERT_TRUE(ListZip(MemoryZipSource(z.Finish()), &entries, &why)) << why;
    EXPECT_EQ(entries[0].name, c.read) << c.stored;
  }
}

TEST(ZipReader, UnsafeNames) {
  using namespace std::string_view_literals;
  for (std::string_view ok : {"Interface/a.toc"sv, "a..b/c"sv, "./x"sv, "WTF"sv})
    EXPECT_TRUE(IsSafeZipEntryName(ok)) << ok;
  for (std::string_view bad : {""sv, "/etc/x"sv, "\\x"sv, "C:/x"sv, "c:x"sv, "../x"sv, "a/../../x"sv, "a\\..\\x"sv,
                               "a/.../x"sv, "a/.. /x"sv, "a\0b"sv})
    EXPECT_FALSE(IsSafeZipEntryName(bad)) << bad;
}

TEST(SaveFolder, Normalising) {
  EXPECT_EQ(NormalizeSaveFolder(L"D:"), L"D:\\");
  EXPECT_EQ(NormalizeSaveFolder(L"D:\\Games\\client.rar"), L"D:\\Games");
  EXPECT_EQ(NormalizeSaveFolder(L"client.rar"), L".");
  EXPECT_EQ(NormalizeSaveFolder(L"D:\\Games\\client.RAR"), L"D:\\Games\\client.RAR");
  EXPECT_EQ(TrimSaveFolder(L"D:\\"), L"D:");
  EXPECT_EQ(TrimSaveFolder(L"D:\\Games\\/"), L"D:\\Games");
  EXPECT_EQ(TrimSaveFolder(L"\\"), L"\\");
}

TEST(SaveFolder, TheTypedFolderWins) {
  struct {
    const wchar_t *typed, *selected, *chosen;
  } rows[] = {
      {L"D:\\Games\\WoW", L"Z:\\", L"D:\\Games\\WoW"},  // the browser's tree stays at the root
      {L"  D:/Games ", L"C:\\Users", L"D:/Games"},
      {L"\\\\nas\\games", L"C:\\", L"\\\\nas\\games"},
      {L"e:", L"C:\\", L"e:\\"},
      {L"", L"D:\\Games", L"D:\\Games"},
      {L"Games", L"D:\\Games", L"D:\\Games"},  // the field shows the selection's own name
      {L"New", L"D:\\Games\\", L"D:\\Games\\New"},
      {L"D:Games", L"Z:\\", L""},
      {L"\\Games", L"Z:\\", L""},
      {L"Games", L"", L""},
  };
  for (const auto& r : rows) EXPECT_EQ(ChooseTypedFolder(r.typed, r.selected), r.chosen) << r.typed;
}

TEST(SaveFolder, OnlyTheSystemsFullDiskErrorSaysTheDiskIsFull) {
  const std::u8string full =
      u8"磁盘 D: 空间已满，Data/common.MPQ 未能写完。\n\n已下载的部分都已保留。"
      u8"请清理出磁盘空间后再次点击下载按钮，下载会从中断处继续。";
  EXPECT_EQ(DiskWriteFailureText("Data/common.MPQ", "D:", 112), full);  // ERROR_DISK_FULL
  EXPECT_EQ(DiskWriteFailureText("Data/common.MPQ", "D:", 39), full);   // ERROR_HANDLE_DISK_FULL
  for (unsigned long other : {0ul, 5ul, 32ul, 1117ul})
    EXPECT_EQ(DiskWriteFailureText("Data/common.MPQ", "D:", other), u8"磁盘写入失败: Data/common.MPQ") << other;
  EXPECT_EQ(DriveOf(L"D:\\Games\\Wow"), L"D:");
  EXPECT_EQ(DriveOf(L"\\\\nas\\games\\Wow"), L"\\\\nas\\games");
  EXPECT_EQ(DriveOf(L"relative"), L"");
}

}  // namespace
