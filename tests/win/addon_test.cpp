// Addon packs unpacked by the program's own reader from the pack's file:
// memory that does not grow with the pack, and an install that either
// completes or leaves the player's files as they were.
#include "install/install.h"
#include "install/transaction.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <sddl.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/jobs.h"
#include "app/messages.h"
#include "game/game.h"
#include "net/text.h"
#include "support.h"

using namespace testing_support;

namespace {

// Writes a zip archive entry by entry, each generated a block at a time, so
// that the test itself never holds a large entry in memory.
class PackWriter {
 public:
  explicit PackWriter(const std::wstring& path) : f_(_wfopen(path.c_str(), L"wb")) {}
  ~PackWriter() {
    if (f_) std::fclose(f_);
  }
  // `size` bytes: random-looking ones when stored, text when compressed.
  // `badCrc` writes a CRC that does not match the data.
  void Add(const std::string& name, bool compressed, std::uint64_t size, unsigned seed, bool badCrc = false) {
    const std::uint64_t at = static_cast<std::uint64_t>(_ftelli64(f_));
    std::string header = Header(0x04034b50, name, compressed, 0, 0, size, at);
    std::fwrite(header.data(), 1, header.size(), f_);
    z_stream zs = {};
    deflateInit2(&zs, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::vector<char> block(1 << 20);
    std::uint32_t crc = 0;
    std::uint64_t written = 0;
    for (std::uint64_t done = 0; done < size;) {
      const size_t n = static_cast<size_t>(std::min<std::uint64_t>(block.size(), size - done));
      Fill(block.data(), n, seed++, compressed);
      crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(n));
      done += n;
      written += Out(compressed ? &zs : nullptr, block.data(), n, Z_NO_FLUSH);
    }
    if (compressed) written += Out(&zs, nullptr, 0, Z_FINISH);
    deflateEnd(&zs);
    if (badCrc) crc ^= 1;
    _fseeki64(f_, static_cast<long long>(at), SEEK_SET);
    header = Header(0x04034b50, name, compressed, crc, written, size, at);
    std::fwrite(header.data(), 1, header.size(), f_);
    _fseeki64(f_, 0, SEEK_END);
    central_ += Header(0x02014b50, name, compressed, crc, written, size, at);
    ++count_;
  }
  // `count` more names for the data of the entry last added, each declaring
  // `size` bytes: the way zip bombs claim far more than they hold.
  void Repeat(const std::string& name, unsigned count, std::uint32_t size) {
    const std::string last = central_.substr(central_.rfind(std::string("PK\1\2", 4)));
    for (unsigned i = 0; i < count; ++i) {
      std::string h = last.substr(0, 46) + name + std::to_string(i);
      h.replace(24, 4, std::string{char(size), char(size >> 8), char(size >> 16), char(size >> 24)});
      h.replace(28, 2, std::string{char((name.size() + std::to_string(i).size()) & 255), 0});
      central_ += h;
      ++count_;
    }
  }
  void Finish() {
    const std::uint64_t at = static_cast<std::uint64_t>(_ftelli64(f_));
    std::string end = central_;
    Put32(end, 0x06054b50), Put16(end, 0), Put16(end, 0), Put16(end, count_), Put16(end, count_);
    Put32(end, central_.size()), Put32(end, at), Put16(end, 0);
    std::fwrite(end.data(), 1, end.size(), f_);
    std::fclose(f_);
    f_ = nullptr;
  }

 private:
  // The bytes as they are, or through the deflate stream; returns what was written.
  std::uint64_t Out(z_stream* zs, const char* data, size_t n, int flush) {
    if (!zs) return std::fwrite(data, 1, n, f_);
    zs->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zs->avail_in = static_cast<uInt>(n);
    std::uint64_t out = 0;
    do {
      zs->next_out = reinterpret_cast<Bytef*>(packed_.data());
      zs->avail_out = static_cast<uInt>(packed_.size());
      deflate(zs, flush);
      out += std::fwrite(packed_.data(), 1, packed_.size() - zs->avail_out, f_);
    } while (zs->avail_out == 0);
    return out;
  }
  static void Put16(std::string& s, unsigned v) { s += char(v & 255), s += char(v >> 8 & 255); }
  static void Put32(std::string& s, std::uint64_t v) { Put16(s, v & 0xFFFF), Put16(s, v >> 16 & 0xFFFF); }
  static std::string Header(std::uint32_t signature, const std::string& name, bool compressed, std::uint32_t crc,
                            std::uint64_t packed, std::uint64_t size, std::uint64_t offset) {
    const bool central = signature == 0x02014b50;
    std::string h;
    Put32(h, signature);
    if (central) Put16(h, 20);
    Put16(h, 20), Put16(h, 0), Put16(h, compressed ? 8 : 0), Put32(h, 0), Put32(h, crc);
    Put32(h, packed), Put32(h, size), Put16(h, name.size()), Put16(h, 0);
    if (central) Put16(h, 0), Put16(h, 0), Put16(h, 0), Put32(h, 0), Put32(h, offset);
    return h + name;
  }
  static void Fill(char* p, size_t n, unsigned seed, bool text) {
    std::uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
      if (text) {
        p[i] = "addon line of text\n"[(i + seed) % 19];
        continue;
      }
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      p[i] = static_cast<char>(x);
    }
  }

  FILE* f_;
  std::vector<char> packed_ = std::vector<char>(1 << 16);
  std::string central_;
  unsigned count_ = 0;
};

// Private bytes, sampled while `work` runs, as the growth over the value
// before. Wine reports the present value as PeakPagefileUsage, so the
// sampler, not only the peak the system keeps, catches a passing maximum.
std::uint64_t PeakGrowthOfPrivateBytes(const std::function<void()>& work) {
  auto sample = [](bool peak) {
    PROCESS_MEMORY_COUNTERS c = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c);
    return static_cast<std::uint64_t>(peak ? c.PeakPagefileUsage : c.PagefileUsage);
  };
  const std::uint64_t before = sample(false), systemPeakBefore = sample(true);
  std::atomic<bool> stop{false};
  std::uint64_t peak = before;
  std::thread sampler([&] {
    while (!stop) {
      peak = std::max(peak, sample(false));
      Sleep(2);
    }
  });
  work();
  stop = true;
  sampler.join();
  const std::uint64_t systemPeak = sample(true);
  return std::max(peak - before, systemPeak > systemPeakBefore ? systemPeak - before : 0);
}

TEST(Addon, APackOfHundredsOfMegabytesIsUnpackedWithBoundedMemory) {
  ScratchDir dir(L"addon-big");
  const std::wstring pack = dir / L"pack.zip", game = dir / L"game";
  MakeDirs(game);
  PackWriter w(pack);
  for (unsigned i = 0; i < 3; ++i) w.Add("Interface/AddOns/Big/s" + std::to_string(i) + ".bin", false, 100 << 20, i);
  w.Add("Interface/AddOns/Big/text.txt", true, 150 << 20, 7);
  w.Finish();
  std::string why;
  bool ok = false;
  DWORD start = GetTickCount();
  std::uint64_t growth = PeakGrowthOfPrivateBytes([&] { ok = ExtractZip(pack, game, nullptr, &why); });
  ASSERT_TRUE(ok) << why;
  std::printf("unpacked 450 MB from a 300 MB pack in %lu ms; private bytes grew by at most %llu KB\n",
              GetTickCount() - start, static_cast<unsigned long long>(growth >> 10));
  EXPECT_LT(growth, 16u << 20) << "the old reader held the whole pack: 300 MB";
  WIN32_FILE_ATTRIBUTE_DATA d;
  ASSERT_TRUE(GetFileAttributesExW((game + L"\\Interface\\AddOns\\Big\\text.txt").c_str(), GetFileExInfoStandard, &d));
  EXPECT_EQ(d.nFileSizeLow, 150u << 20);
}

TEST(Addon, APackClaimingMoreThanTheDiskHoldsWritesNothing) {
  ScratchDir dir(L"addon-bomb");
  const std::wstring pack = dir / L"pack.zip", game = dir / L"game";
  MakeDirs(game);
  PackWriter w(pack);
  w.Add("Interface/AddOns/Bomb/a.txt", true, 1000, 1);
  w.Repeat("Interface/AddOns/Bomb/b", 2000, 0xFFFFFFF0u);  // 8 TB
  w.Finish();
  std::string why;
  EXPECT_FALSE(ExtractZip(pack, game, nullptr, &why));
  EXPECT_EQ(why.rfind("not enough room", 0), 0u) << why;
  EXPECT_FALSE(Exists(game + L"\\Interface"));
}

// A player's client: an Interface of their own, their settings, a font.
void MakePlayersClient(const std::wstring& game, bool withInterface) {
  if (withInterface) {
    MakeDirs(game + L"\\Interface");
    WriteFileBytes(game + L"\\Interface\\keep.txt", "mine");
  }
  MakeDirs(game + L"\\WTF\\Account");
  MakeDirs(game + L"\\Fonts");
  WriteFileBytes(game + L"\\WTF\\Config.wtf", "SET realmlist mine");
  WriteFileBytes(game + L"\\WTF\\Account\\mine.lua", "mine");
  WriteFileBytes(game + L"\\Fonts\\FRIZQT__.TTF", "my font");
  WriteFileBytes(game + L"\\Wow.exe", "MZ");
}

void ExpectPlayersClient(const std::wstring& game, bool withInterface) {
  EXPECT_EQ(Exists(game + L"\\Interface\\keep.txt"), withInterface);
  EXPECT_EQ(Exists(game + L"\\Interface"), withInterface);
  EXPECT_FALSE(Exists(game + L"\\Interface\\AddOns"));
  EXPECT_EQ(ReadFileBytes(game + L"\\WTF\\Config.wtf"), "SET realmlist mine");
  EXPECT_EQ(ReadFileBytes(game + L"\\WTF\\Account\\mine.lua"), "mine");
  EXPECT_EQ(ReadFileBytes(game + L"\\Fonts\\FRIZQT__.TTF"), "my font");
  EXPECT_FALSE(Exists(game + L"\\RealmPorter-staging"));
  EXPECT_FALSE(Exists(game + L"\\RealmPorter-aside"));
  EXPECT_FALSE(Exists(JournalPathOf(JournalKind::Addon)));
}

void WritePack(bool lastEntryDamaged) {
  PackWriter w(Www(L"site", L"pack.zip"));
  w.Add("Interface/AddOns/New/a.lua", false, 1000, 1);
  // As a Chinese Windows tool writes it: GBK, '\' between the parts, and
  // 運 (DF 5C) ending in the byte of '\'.
  w.Add("Interface\\AddOns\\New\\\xDF\x5C.lua", false, 10, 4);
  w.Add("Fonts/FRIZQT__.TTF", true, 300000, 2);
  w.Add("WTF/Config.wtf", true, 3000, 3, lastEntryDamaged);
  w.Finish();
}

// The site's pack.zip, removed again by the destructor, and a scratch folder
// whose `game` the pack button's worker lays it over.
struct PackSite {
  explicit PackSite(const wchar_t* name, bool lastEntryDamaged = false) : dir(name) {
    ClearAllServers();
    WritePack(lastEntryDamaged);
  }
  ~PackSite() { DeleteFileW(Www(L"site", L"pack.zip").c_str()); }
  // The worker as the pack button starts it, against the loopback site.
  // Returns the result it posted.
  int Install(const std::wstring& into, std::vector<std::string>* texts = nullptr) {
    MessageRecorder recorder;
    AddonJob job = PackButtonJob(recorder.hwnd(), into, dir / L"pack.zip", std::string(kSite) + "/pack.zip");
    AddonBusy = true;
    AddonWorker(std::move(job));
    EXPECT_FALSE(AddonBusy.load());
    recorder.Pump();
    EXPECT_EQ(recorder.Count(WMU_ADDON_DONE), 1);
    if (texts) *texts = recorder.Texts();
    for (const Recorded& m : recorder.messages)
      if (m.msg == WMU_ADDON_DONE) return static_cast<int>(m.wParam);
    return -1;
  }
  ScratchDir dir;
  const std::wstring game = dir / L"game";
};

TEST(Addon, APackWhoseLastEntryIsDamagedChangesNothingOfThePlayers) {
  ClearLog();
  PackSite site(L"addon-damaged", true);
  for (bool withInterface : {true, false}) {
    const std::wstring game = withInterface ? site.game : site.dir / L"bare";
    MakePlayersClient(game, withInterface);
    EXPECT_EQ(site.Install(game), kJobFailed);
    ExpectPlayersClient(game, withInterface);
  }
  EXPECT_NE(ReadLog().find("CRC mismatch: WTF/Config.wtf"), std::string::npos);
  WritePack(false);
  const std::wstring& game = site.game;
  EXPECT_EQ(site.Install(game), kJobDone);
  EXPECT_FALSE(Exists(game + L"\\Interface\\keep.txt"));
  EXPECT_TRUE(Exists(game + L"\\Interface\\AddOns\\New\\a.lua"));
  EXPECT_EQ(ReadFileBytes(game + L"\\Interface\\AddOns\\New\\\u904B.lua").size(), 10u);
  EXPECT_EQ(ReadFileBytes(game + L"\\WTF\\Config.wtf").size(), 3000u);
  EXPECT_EQ(ReadFileBytes(game + L"\\WTF\\Account\\mine.lua"), "mine");
  EXPECT_FALSE(Exists(game + L"\\RealmPorter-aside"));
}

HANDLE HoldWithoutShareDelete(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// The game (or a scanner) holds the player's Config.wtf: the install fails
// with the text that names it, and everything moved so far goes back.
TEST(Addon, AFileHeldOpenFailsTheInstallWithItsName) {
  PackSite site(L"addon-held");
  const std::wstring& game = site.game;
  MakePlayersClient(game, true);
  HANDLE held = HoldWithoutShareDelete(game + L"\\WTF\\Config.wtf");
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::vector<std::string> texts;
  EXPECT_EQ(site.Install(game, &texts), kJobFilesLocked);
  CloseHandle(held);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), U8(u8"无法替换文件，可能被其他程序占用：") + WideToUtf8(game) +
                              U8(u8"\\WTF\\Config.wtf。请关闭杀毒软件或游戏后重试。"));
  ExpectPlayersClient(game, true);
}

// A journal of a commit stopped half way, over a player's Config.wtf.
Journal HalfCommitted(const std::wstring& game) {
  const std::wstring staging = game + L"\\RealmPorter-staging", aside = game + L"\\RealmPorter-aside";
  MakeDirs(staging + L"\\WTF");
  MakeDirs(aside + L"\\WTF");
  MakeDirs(game + L"\\WTF");
  WriteFileBytes(aside + L"\\WTF\\Config.wtf", "old");
  WriteFileBytes(game + L"\\WTF\\Config.wtf", "new");
  Journal j;
  j.state = JournalState::Commit;
  j.folder = game;
  j.folderId = FolderIdentity(game);
  j.remove = {staging, aside};
  j.steps.push_back({true, staging + L"\\WTF\\Config.wtf", game + L"\\WTF\\Config.wtf", aside + L"\\WTF\\Config.wtf"});
  return j;
}

// A commit stopped after its moves, whose rollback meets a held file: the
// journal stays until a later recovery can finish.
TEST(Addon, ARecoveryThatMeetsAHeldFileKeepsTheJournalForTheNextStart) {
  ScratchDir dir(L"addon-recover");
  const std::wstring game = dir / L"game", journal = JournalPathOf(JournalKind::Addon);
  Journal j = HalfCommitted(game);
  j.folder.clear(), j.folderId.clear();  // without the folder record, as a launcher before it wrote it
  ASSERT_TRUE(WriteJournal(journal, j));
  std::wstring stuck;
  HANDLE held = HoldWithoutShareDelete(game + L"\\WTF\\Config.wtf");
  EXPECT_FALSE(RecoverJournal(journal, &stuck));
  CloseHandle(held);
  EXPECT_EQ(stuck, game + L"\\WTF\\Config.wtf");
  EXPECT_TRUE(Exists(journal));
  EXPECT_TRUE(RecoverJournal(journal, &stuck));
  EXPECT_EQ(ReadFileBytes(game + L"\\WTF\\Config.wtf"), "old");
  EXPECT_FALSE(Exists(journal) || Exists(game + L"\\RealmPorter-aside") || Exists(game + L"\\RealmPorter-staging"));
}

// The names of the kept copies that match `pattern` (Interface-*), oldest first.
std::vector<std::wstring> KeptCopies(const std::wstring& game, const wchar_t* pattern = L"Interface-*") {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((game + L"\\RealmPorter-backup\\" + pattern).c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.emplace_back(fd.cFileName);
  while (FindNextFileW(find, &fd));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

// The Interface a pack replaces is the player's: kept, numbered, named in
// the finish text; the newest three copies stay by their numbers, also
// after copies of an older launcher were dated by a clock that ran ahead.
TEST(Addon, TheReplacedInterfaceIsKeptAndTheNewestThreeStay) {
  PackSite site(L"addon-kept");
  const std::wstring& game = site.game;
  MakePlayersClient(game, true);
  for (const wchar_t* old :
       {L"Interface-20991231-000000-001", L"Interface-20991231-000000-002", L"Interface-20991231-000000-003"})
    MakeDirs(game + L"\\RealmPorter-backup\\" + old);
  std::vector<std::string> texts;
  ASSERT_EQ(site.Install(game, &texts), kJobDone);
  std::vector<std::wstring> kept = KeptCopies(game);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.front(), L"Interface-20991231-000000-002");  // the oldest went
  const std::wstring first = kept.back();
  EXPECT_EQ(first.rfind(L"Interface-n1-", 0), 0u);
  EXPECT_EQ(ReadFileBytes(game + L"\\RealmPorter-backup\\" + first + L"\\keep.txt"), "mine");
  EXPECT_NE(
      std::find(texts.begin(), texts.end(), U8(u8"完成原 Interface 已保存为 RealmPorter-backup\\") + WideToUtf8(first)),
      texts.end());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(site.Install(game), kJobDone);
  kept = KeptCopies(game);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.front().rfind(L"Interface-n2-", 0), 0u);
  EXPECT_EQ(kept.back().rfind(L"Interface-n4-", 0), 0u);
  EXPECT_TRUE(Exists(game + L"\\RealmPorter-backup\\" + kept.back() + L"\\AddOns\\New\\a.lua"));
}

// What no journal accounts for: a staging folder's stale files are not laid
// in with the pack; an aside folder (another Windows user's interrupted job,
// a folder moved back) may hold the player's originals and is kept.
TEST(Addon, LeftoversNoJournalAccountsForAreNeitherLaidInNorDeleted) {
  PackSite site(L"addon-unaccounted");
  const std::wstring& game = site.game;
  MakePlayersClient(game, false);
  MakeDirs(game + L"\\RealmPorter-staging\\Fonts");
  WriteFileBytes(game + L"\\RealmPorter-staging\\Fonts\\stale.ttf", "stale");
  MakeDirs(game + L"\\RealmPorter-aside\\WTF");
  WriteFileBytes(game + L"\\RealmPorter-aside\\WTF\\Config.wtf", "SET realmlist original");
  ASSERT_EQ(site.Install(game), kJobDone);
  EXPECT_FALSE(Exists(game + L"\\Fonts\\stale.ttf"));
  EXPECT_FALSE(Exists(game + L"\\RealmPorter-staging") || Exists(game + L"\\RealmPorter-aside"));
  const std::vector<std::wstring> kept = KeptCopies(game, L"aside-*");
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(ReadFileBytes(game + L"\\RealmPorter-backup\\" + kept[0] + L"\\WTF\\Config.wtf"), "SET realmlist original");
}

// A game folder moved after a kill mid-commit: the journal finds nothing at
// its paths, and is kept (not dropped) until it is pointed at the folder's
// new place, where the commit is rolled back.
TEST(Addon, AJournalOfAMovedFolderIsKeptAndFinishedWhereTheFolderWent) {
  ScratchDir dir(L"addon-moved");
  const std::wstring game = dir / L"game", moved = dir / L"moved", journal = JournalPathOf(JournalKind::Addon);
  ASSERT_TRUE(WriteJournal(journal, HalfCommitted(game)));
  ASSERT_TRUE(MoveFileW(game.c_str(), moved.c_str()));
  std::wstring stuck;
  EXPECT_TRUE(RecoverJournal(journal, &stuck));  // does not block the next job
  EXPECT_FALSE(Exists(journal));
  EXPECT_TRUE(Exists(journal + L".lost-1"));
  EXPECT_EQ(ReadFileBytes(moved + L"\\RealmPorter-aside\\WTF\\Config.wtf"), "old");
  EXPECT_TRUE(RecoverJournal(journal, &stuck, dir / L"elsewhere"));
  EXPECT_TRUE(Exists(journal + L".lost-1"));
  EXPECT_TRUE(RecoverJournal(journal, &stuck, moved));
  EXPECT_FALSE(Exists(journal + L".lost-1"));
  EXPECT_EQ(ReadFileBytes(moved + L"\\WTF\\Config.wtf"), "old");
  EXPECT_FALSE(Exists(moved + L"\\RealmPorter-aside") || Exists(moved + L"\\RealmPorter-staging"));
}

// Rolled back, then stopped while removing the leftovers (the staging
// folder gone): the next recovery must not take the player's restored file
// for the new one, and the journal clears.
TEST(Addon, ARecoveryStoppedAfterItsRollbackRunsAgainWithoutHarm) {
  ScratchDir dir(L"addon-again");
  const std::wstring game = dir / L"game", journal = JournalPathOf(JournalKind::Addon);
  ASSERT_TRUE(WriteJournal(journal, HalfCommitted(game)));
  MoveFileW((game + L"\\WTF\\Config.wtf").c_str(), (game + L"\\RealmPorter-staging\\WTF\\Config.wtf").c_str());
  MoveFileW((game + L"\\RealmPorter-aside\\WTF\\Config.wtf").c_str(), (game + L"\\WTF\\Config.wtf").c_str());
  ASSERT_TRUE(DeleteWithShell(game + L"\\RealmPorter-staging"));
  std::wstring stuck;
  EXPECT_TRUE(RecoverJournal(journal, &stuck));
  EXPECT_EQ(ReadFileBytes(game + L"\\WTF\\Config.wtf"), "old");
  EXPECT_FALSE(Exists(journal) || Exists(game + L"\\RealmPorter-aside") || Exists(game + L"\\RealmPorter-staging"));
}

// A .bak that could not be removed yet stays on the record when the next
// archive's journal is written.
TEST(Addon, AnArchivesLeftoverOutlivesTheNextArchivesJournal) {
  ScratchDir dir(L"patch-carry");
  const std::wstring game = dir / L"game", zhcn = game + L"\\Data\\zhCN", journal = JournalPathOf(JournalKind::Patch);
  MakeDirs(zhcn);
  WriteFileBytes(zhcn + L"\\patch-zhCN-5.MPQ.bak", "old five");
  Journal done;
  done.state = JournalState::Done;
  done.folder = game;
  done.remove = {zhcn + L"\\patch-zhCN-5.MPQ.part", zhcn + L"\\patch-zhCN-5.MPQ.bak"};
  ASSERT_TRUE(WriteJournal(journal, done));
  ASSERT_TRUE(StageArchive(game, zhcn + L"\\patch-zhCN-6.MPQ.part"));
  std::wstring stuck;
  EXPECT_TRUE(RecoverJournal(journal, &stuck));
  EXPECT_FALSE(Exists(zhcn + L"\\patch-zhCN-5.MPQ.bak"));
  EXPECT_FALSE(Exists(journal));
}

// A repair makes several files at once, each under a journal of its own:
// recovery finds every one by its name (an older launcher's too), also one
// kept aside for a folder that is gone, which it leaves alone; and none of
// a folder whose repair runs in another process or thread.
TEST(Addon, EveryRepairJournalIsRecovered) {
  ScratchDir dir(L"repair-journals");
  const std::wstring game = dir / L"game", data = game + L"\\Data";
  MakeDirs(data);
  WriteFileBytes(data + L"\\a.MPQ.part", "half of a");
  WriteFileBytes(data + L"\\b.MPQ.RealmPorter-new", "half of b");
  ASSERT_TRUE(StageArchive(game, data + L"\\a.MPQ.part", RepairJournalPath({}, 0)));
  ASSERT_TRUE(StageArchive(game, data + L"\\b.MPQ.RealmPorter-new", RepairJournalPath(game, 7)));
  Journal lost;
  lost.folder = dir / L"gone";
  lost.remove = {lost.folder + L"\\c.MPQ.part"};
  const std::wstring aside = RepairJournalPath({}, 3) + L".lost-1";
  ASSERT_TRUE(WriteJournal(aside, lost));
  std::wstring stuck;
  {
    std::atomic<int> step{0};
    std::thread other([&] {
      RepairLock running(game);
      step = running.held ? 1 : -1;
      while (step == 1) Sleep(5);
    });
    while (step == 0) Sleep(5);
    ASSERT_EQ(step, 1);
    EXPECT_FALSE(RepairLock(game).held) << "a second repair of the folder";
    EXPECT_TRUE(RecoverRepairJournals(&stuck, game));
    step = 2;
    other.join();
    EXPECT_TRUE(Exists(RepairJournalPath(game, 7)));
    EXPECT_EQ(ReadFileBytes(data + L"\\b.MPQ.RealmPorter-new"), "half of b");
  }
  EXPECT_TRUE(RepairLock(game).held);
  EXPECT_TRUE(RecoverRepairJournals(&stuck, game));
  EXPECT_FALSE(Exists(data + L"\\a.MPQ.part"));
  EXPECT_FALSE(Exists(data + L"\\b.MPQ.RealmPorter-new"));
  EXPECT_FALSE(Exists(RepairJournalPath({}, 0)));
  EXPECT_FALSE(Exists(RepairJournalPath(game, 7)));
  EXPECT_TRUE(Exists(aside));
  DeleteFileW(aside.c_str());
}

// Journals of folders that are gone fill every place kept for them: the
// next one still does not block a job; the oldest goes further aside.
TEST(Addon, ALostJournalBeyondTheLimitKeepsTheOldestAsideAndBlocksNothing) {
  ScratchDir dir(L"addon-lost");
  const std::wstring journal = JournalPathOf(JournalKind::Addon);
  Journal lost;
  lost.folder = dir / L"gone";
  lost.folderId = L"00000000-0000000000000001";
  for (int n = 1; n <= 20; ++n) ASSERT_TRUE(WriteJournal(journal + L".lost-" + std::to_wstring(n), lost));
  Sleep(20);
  lost.remove = {lost.folder + L"\\RealmPorter-staging"};
  ASSERT_TRUE(WriteJournal(journal, lost));
  std::wstring stuck;
  EXPECT_TRUE(RecoverJournal(journal, &stuck));
  EXPECT_FALSE(Exists(journal));
  EXPECT_TRUE(Exists(journal + L".lost-aside-1"));
  int newest = 0;
  for (int n = 1; n <= 20; ++n) {
    const std::wstring path = journal + L".lost-" + std::to_wstring(n);
    ASSERT_TRUE(Exists(path));
    const std::string text = ReadFileBytes(path);
    if (text.find("RealmPorter-staging") != std::string::npos) ++newest;
    DeleteFileW(path.c_str());
  }
  EXPECT_EQ(newest, 1);
  DeleteFileW((journal + L".lost-aside-1").c_str());
}

// A second launcher that may not open the single-instance mutex (an
// elevated first instance holds it) is a second launcher all the same: it
// ends at once, leaving the journals the first one may be writing alone.
TEST(Addon, ALauncherThatMayNotOpenTheMutexLeavesTheJournalsAlone) {
  ScratchDir dir(L"addon-mutex");
  const std::wstring game = dir / L"game", journal = JournalPathOf(JournalKind::Addon);
  ASSERT_TRUE(WriteJournal(journal, HalfCommitted(game)));
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;GA;;;WD)", SDDL_REVISION_1, &sd, nullptr));
  SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
  HANDLE held = CreateMutexW(&sa, TRUE, L"Global\\QzRealmPorter_Mutex");
  LocalFree(sd);
  ASSERT_NE(held, nullptr);
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  std::wstring command = L"\"" + HelperExe(L"RealmPorter.exe") + L"\"";
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  const DWORD waited = WaitForSingleObject(pi.hProcess, 60000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(held);
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(Exists(journal));
  EXPECT_EQ(ReadFileBytes(game + L"\\WTF\\Config.wtf"), "new");
  std::wstring stuck;
  EXPECT_TRUE(RecoverJournal(journal, &stuck));
  EXPECT_EQ(ReadFileBytes(game + L"\\WTF\\Config.wtf"), "old");
}

}  // namespace
