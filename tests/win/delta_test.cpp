// The HD patch over an outdated archive 5 with a block map on the mirror:
// only the changed blocks are fetched; a map that cannot be used, or a
// mirror that ignores ranges, ends with the whole download.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/messages.h"
#include "app/readout.h"
#include "download/client_repair.h"
#include "hash/sha256.h"
#include "install/install.h"
#include "install/transaction.h"
#include "manifest/block_regions.h"
#include "manifest/blockmap.h"
#include "download/take_manifest.h"
#include "net/text.h"
#include "support.h"

using namespace testing_support;

namespace {

const char kFile5[] = "/wow335/wow335-hd/files/Data/zhCN/patch-zhCN-5.MPQ";

class Delta : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAllServers();
    // Rebuilt like a real archive: an entry inserted, one changed in place,
    // the index at the end rewritten.
    const std::string entries = PatternBytes(3 << 20, 1);
    old5_ = entries + PatternBytes(20000, 2);
    new5_ = entries.substr(0, 1 << 20) + PatternBytes(30000, 3) + entries.substr(1 << 20, 1 << 20) +
            PatternBytes(500, 4) + entries.substr((2 << 20) + 500) + PatternBytes(24000, 5);
    new6_ = PatternBytes(100000, 6);
    PublishClient("wow335-hd", "HD", {{"Data/zhCN/patch-zhCN-5.MPQ", new5_}, {"Data/zhCN/patch-zhCN-6.MPQ", new6_}});
    MakeDirs(dir_ / L"Data\\zhCN");
    WriteFileBytes(dir_ / L"Wow.exe", "MZ");
    WriteFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-5.MPQ", old5_);
    WriteFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-6.MPQ", new6_);
    // The player's own files beside the archives (one switched off by a
    // rename): no name the launcher uses for its own.
    for (const wchar_t* n : {L"5", L"6"})
      for (const wchar_t* ext : {L".bak", L".part"}) WriteFileBytes(Archive(n) + ext, "the player's");
    MakeDirs(Www(L"m1", L"wow335\\wow335-hd\\blocks\\Data\\zhCN"));
  }
  void TearDown() override { UnpublishClient("wow335-hd"); }
  std::wstring Archive(const wchar_t* n) { return dir_ / (std::wstring(L"Data\\zhCN\\patch-zhCN-") + n + L".MPQ"); }
  // Nothing of the launcher's beside the archive, the player's files there
  // untouched.
  void ExpectOnlyThePlayersFilesBeside(const std::wstring& archive) {
    EXPECT_FALSE(Exists(MakingName(archive)));
    EXPECT_FALSE(Exists(SetAsideName(archive)));
    EXPECT_EQ(ReadFileBytes(archive + L".bak"), "the player's");
    EXPECT_EQ(ReadFileBytes(archive + L".part"), "the player's");
  }
  // A check of `client`, then its repair from what the check found.
  void Repair(const ClientManifest& manifest, const std::wstring& client, const ProgressDocument& record = {}) {
    ClientCheckResult check;
    RepairOutcome out;
    std::string error;
    ASSERT_TRUE(CheckClient(nullptr, manifest, client, record, &cancel_, &check, &error));
    ASSERT_TRUE(RepairClient(nullptr, manifest, dir_.path(), client, check, record, &cancel_, &out, &error)) << error;
  }
  void PublishMap(const std::string& map) {
    WriteFileBytes(Www(L"m1", L"wow335\\wow335-hd\\blocks\\Data\\zhCN\\patch-zhCN-5.MPQ.blocks"), map);
  }
  // The job as the window starts it.
  PatchJob Job() {
    PatchJob job;
    job.window = recorder_.hwnd();
    job.archive5 = dir_ / L"Data\\zhCN\\patch-zhCN-5.MPQ";
    job.archive6 = dir_ / L"Data\\zhCN\\patch-zhCN-6.MPQ";
    job.gamePath = dir_ / L"Wow.exe";
    job.manifestName = "wow335-hd";
    job.percentFormat = Gbk(u8"正在下载高清补丁... %d%%");
    job.sizeFormat = Gbk(u8"正在下载高清补丁... 已下载 %.1f MB");
    job.label = Gbk(u8"正在下载高清补丁...");
    job.successText = Gbk(u8"高清补丁已就绪，请开始游戏!");
    job.busy = &busy_;
    job.cancel = &cancel_;
    job.finishMessage = WMU_PATCH_HD_DONE;
    return job;
  }
  // The worker's run; the bytes of archive 5 the mirror sent.
  std::uint64_t RunPatch() {
    ClearRequestLogs();
    PatchJob job = Job();
    PatchWorker(job);
    recorder_.Pump(100);
    EXPECT_EQ(recorder_.Count(WMU_PATCH_HD_DONE), 1);
    EXPECT_EQ(recorder_.messages.back().wParam, static_cast<WPARAM>(kJobDone));
    EXPECT_EQ(ReadFileBytes(job.archive5), new5_);
    ExpectOnlyThePlayersFilesBeside(job.archive5);
    std::uint64_t sent = 0;
    for (const std::string& line : Requests(kMirror1)) {
      if (line.find(kFile5) == std::string::npos) continue;
      ranges_.push_back(line.substr(line.rfind(' ') + 1));
      const std::size_t eq = line.find("bytes="), dash = line.rfind('-');
      sent += eq == std::string::npos ? new5_.size()
                                      : std::strtoull(line.c_str() + dash + 1, nullptr, 10) + 1 -
                                            std::strtoull(line.c_str() + eq + 6, nullptr, 10);
    }
    return sent;
  }

  std::atomic<bool> busy_{false}, cancel_{false};
  std::string old5_, new5_, new6_;
  std::vector<std::string> ranges_;
  ScratchDir dir_{L"delta"};
  MessageRecorder recorder_;
};

// The status line reads the fetch's own sizes, and the closing line what the
// update cost: the map and the ranges.
TEST_F(Delta, AnOutdatedArchiveFetchesOnlyWhatChanged) {
  const std::string map = BlockMapOfBytes(new5_, BlockSizeFor(new5_.size()));
  PublishMap(map);
  const std::uint64_t sent = RunPatch();
  EXPECT_LT(sent, 30000u + 500u + 24000u + 6 * 4096u);
  EXPECT_LE(ranges_.size(), 3u);
  auto texts = recorder_.Texts();
  auto scan = std::find(texts.begin(), texts.end(), U8(u8"正在比对本地补丁..."));
  ASSERT_NE(scan, texts.end());
  const std::string size = SizeText(sent);
  EXPECT_NE(std::find(scan, texts.end(), U8(u8"正在下载高清补丁... 0.0 MB / ") + size + "  0%"), texts.end());
  const std::string full = U8(u8"正在下载高清补丁... ") + size + " / " + size + "  100%";
  EXPECT_NE(std::find_if(scan, texts.end(), [&](const std::string& t) { return t.rfind(full, 0) == 0; }), texts.end());
  EXPECT_EQ(texts.back(),
            U8(u8"高清补丁已就绪，请开始游戏! 已更新 1 个补丁文件，共下载 ") + SizeText(sent + map.size()));
  EXPECT_EQ(recorder_.Percents().back(), 100);
}

TEST_F(Delta, AMapThatCannotBeUsedEndsWithTheWholeDownload) {
  std::string damaged = BlockMapOfBytes(new5_, 4096);
  damaged[100] ^= 1;
  const struct {
    const char* name;
    std::string map;
    const char* fault;
  } cases[] = {
      {"no map", "", nullptr},
      {"a damaged map", damaged, nullptr},
      {"a map of another file", BlockMapOfBytes(old5_, 4096), nullptr},
      {"a mirror that ignores ranges", BlockMapOfBytes(new5_, 4096), "norange"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearAllServers();
    recorder_.messages.clear();
    ranges_.clear();
    WriteFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-5.MPQ", old5_);
    if (!c.map.empty()) PublishMap(c.map);
    if (c.fault) Control(kMirror1, std::string("/__fault?path=") + kFile5 + "&kind=" + c.fault);
    RunPatch();
    ASSERT_FALSE(ranges_.empty());
    EXPECT_EQ(ranges_.back(), "-") << "the last request is the whole file";
    if (c.fault) EXPECT_EQ(ranges_.size(), 2u) << "one range asked for, then the whole file";
    DeleteFileW(Www(L"m1", L"wow335\\wow335-hd\\blocks\\Data\\zhCN\\patch-zhCN-5.MPQ.blocks").c_str());
  }
}

// Ranges that break off three times on the first mirror go on from the
// byte they reached, on the next mirror: nothing that arrived is fetched
// again, and nothing whole.
TEST_F(Delta, RangesThatBreakOffGoOnWhereTheyStoppedOnTheNextMirror) {
  const std::string map = BlockMapOfBytes(new5_, BlockSizeFor(new5_.size()));
  PublishMap(map);
  MakeDirs(Www(L"m2", L"wow335\\wow335-hd\\blocks\\Data\\zhCN"));
  WriteFileBytes(Www(L"m2", L"wow335\\wow335-hd\\blocks\\Data\\zhCN\\patch-zhCN-5.MPQ.blocks"), map);
  Control(kMirror1, std::string("/__fault?path=") + kFile5 + "&kind=drop&arg=4000&times=3");
  RunPatch();
  ASSERT_EQ(ranges_.size(), 3u) << "three attempts on the first mirror";
  unsigned long long from = 0, to = 0;
  ASSERT_EQ(std::sscanf(ranges_[0].c_str(), "bytes=%llu-%llu", &from, &to), 2) << ranges_[0];
  std::vector<std::string> next;
  for (const char* mirror : {kMirror2, kMirror3})
    for (const std::string& line : Requests(mirror))
      if (line.find(kFile5) != std::string::npos) next.push_back(line.substr(line.rfind(' ') + 1));
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next[0], "bytes=" + std::to_string(from + 12000) + "-" + std::to_string(to));
  EXPECT_EQ(std::count(next.begin(), next.end(), "-"), 0) << "nothing whole";
}

TEST_F(Delta, ACancelWhileRangesArriveLeavesTheOldArchive) {
  PublishMap(BlockMapOfBytes(new5_, BlockSizeFor(new5_.size())));
  Control(kMirror1, std::string("/__fault?path=") + kFile5 + "&kind=slow&arg=5000");
  ClearRequestLogs();
  PatchJob job = Job();
  busy_ = true;  // set by the window before it starts the worker
  std::thread worker([&] { PatchWorker(job); });
  // The readout of the ranges as they trickle in: once it shows the time
  // left, its speed is the mirror's.
  std::string readout;
  DWORD start = GetTickCount();
  while (readout.empty() && GetTickCount() - start < 20000) {
    recorder_.Pump(50);
    for (const std::string& t : recorder_.Texts())
      if (t.find(U8(u8"剩余")) != std::string::npos) readout = t;
  }
  ASSERT_FALSE(readout.empty()) << "no time left shown";
  double kib = 0;
  const std::size_t at = readout.find("%  ");
  ASSERT_NE(at, std::string::npos) << readout;
  ASSERT_EQ(std::sscanf(readout.c_str() + at + 3, "%lf KB/s", &kib), 1) << readout;
  EXPECT_GT(kib * 1024, 5000 * 0.8) << readout;
  EXPECT_LT(kib * 1024, 5000 * 1.2) << readout;
  start = GetTickCount();
  cancel_ = true;
  while (busy_ && GetTickCount() - start < 5000) Sleep(5);
  EXPECT_LT(GetTickCount() - start, 700u);
  worker.join();
  recorder_.Pump(100);
  EXPECT_EQ(recorder_.messages.back().wParam, static_cast<WPARAM>(kJobCancelled));
  EXPECT_EQ(recorder_.Texts().back(), U8(u8"已取消，游戏文件未作改动。"));
  EXPECT_EQ(ReadFileBytes(job.archive5), old5_);
  ExpectOnlyThePlayersFilesBeside(job.archive5);
}

// A repair of one damaged spot with the map's region index on every mirror:
// the map's entries come by one range, unless the index does not fit the
// map, which costs the whole map, never a wrong archive.
TEST_F(Delta, ARepairTakesTheMapsRegionsWhereTheIndexFitsAndTheWholeMapOtherwise) {
  const std::uint32_t bs = BlockSizeFor(new5_.size());
  const std::string map = BlockMapOfBytes(new5_, bs);
  // An index of another map of the same file: one entry of the damaged
  // region differs.
  std::string entries = map.substr(kBlockMapHeader, map.size() - kBlockMapHeader - kBlockMapTrailer), other, stale;
  entries[5 * kBlockMapEntry] ^= 1;
  BlockMap parsed;
  ASSERT_TRUE(ParseBlockMap(map, &parsed));
  ASSERT_TRUE(BlockMapOfEntries(new5_.size(), bs, parsed.sha256, entries, &other));
  std::string good;
  ASSERT_TRUE(RegionIndexOfMap(map, kBlocksPerRegion, &good));
  ASSERT_TRUE(RegionIndexOfMap(other, kBlocksPerRegion, &stale));
  ClientManifest manifest;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &manifest, &error));
  const struct {
    const char* name;
    const std::string& index;
    std::vector<std::string> mapRequests;
  } cases[] = {
      {"an index that fits", good, {"bytes=64-3135"}},
      {"an index of another map", stale, {"bytes=64-3135", "-"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string damaged = new5_;
    damaged[5 * bs + 100] ^= 0x55;
    WriteFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-5.MPQ", damaged);
    for (const wchar_t* m : {L"m1", L"m2", L"m3"}) {
      MakeDirs(Www(m, L"wow335\\wow335-hd\\blocks\\Data\\zhCN"));
      WriteFileBytes(Www(m, L"wow335\\wow335-hd\\blocks\\Data\\zhCN\\patch-zhCN-5.MPQ.blocks"), map);
      WriteFileBytes(Www(m, L"wow335\\wow335-hd\\blocks\\Data\\zhCN\\patch-zhCN-5.MPQ.regions"), c.index);
    }
    ClearRequestLogs();
    ASSERT_NO_FATAL_FAILURE(Repair(manifest, dir_.path()));
    EXPECT_EQ(ReadFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-5.MPQ"), new5_);
    ExpectOnlyThePlayersFilesBeside(Archive(L"5"));
    std::vector<std::string> mapRequests, whole;
    for (const char* mirror : {kMirror1, kMirror2, kMirror3})
      for (const std::string& line : Requests(mirror)) {
        const std::string range = line.substr(line.rfind(' ') + 1);
        if (line.find("patch-zhCN-5.MPQ.blocks ") != line.npos) mapRequests.push_back(range);
        if (line.find(kFile5) != line.npos && range == "-") whole.push_back(line);
      }
    EXPECT_EQ(mapRequests, c.mapRequests);
    EXPECT_TRUE(whole.empty()) << "the archive came by its blocks";
  }
}

// The same for a repair: the archive's first mirror breaks its range off
// three times, and the next one goes on from the byte it reached.
TEST_F(Delta, ARepairsRangesThatBreakOffGoOnWhereTheyStoppedOnTheNextMirror) {
  const std::string map = BlockMapOfBytes(new5_, BlockSizeFor(new5_.size()));
  for (const wchar_t* m : {L"m1", L"m2", L"m3"}) {
    MakeDirs(Www(m, L"wow335\\wow335-hd\\blocks\\Data\\zhCN"));
    WriteFileBytes(Www(m, L"wow335\\wow335-hd\\blocks\\Data\\zhCN\\patch-zhCN-5.MPQ.blocks"), map);
  }
  std::string damaged = new5_;
  for (std::size_t i = 1 << 20; i < (1 << 20) + 40000; ++i) damaged[i] ^= 0x55;
  WriteFileBytes(Archive(L"5"), damaged);
  Control(kMirror1, std::string("/__fault?path=") + kFile5 + "&kind=drop&arg=4000&times=3");
  ClientManifest manifest;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &manifest, &error));
  ClearRequestLogs();
  ASSERT_NO_FATAL_FAILURE(Repair(manifest, dir_.path()));
  EXPECT_EQ(ReadFileBytes(Archive(L"5")), new5_);
  std::vector<std::string> first, next;
  for (const char* mirror : {kMirror1, kMirror2, kMirror3})
    for (const std::string& line : Requests(mirror))
      if (line.find(kFile5) != std::string::npos)
        (mirror == kMirror1 ? first : next).push_back(line.substr(line.rfind(' ') + 1));
  ASSERT_EQ(first.size(), 3u) << "three attempts on the first mirror";
  unsigned long long from = 0, to = 0;
  ASSERT_EQ(std::sscanf(first[0].c_str(), "bytes=%llu-%llu", &from, &to), 2) << first[0];
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next[0], "bytes=" + std::to_string(from + 12000) + "-" + std::to_string(to));
  EXPECT_EQ(std::count(next.begin(), next.end(), "-"), 0) << "nothing whole";
}

// Published as the operator's publish does, each release in a folder of its
// own that the manifest's mirrors name: the patch update and the repair take
// the archives, their maps and region indexes from there, never from the
// mirrors' bases.
TEST_F(Delta, APatchUpdateAndARepairTakeFilesFromTheManifestsReleaseFolder) {
  UnpublishClient("wow335-hd");
  PublishRelease("wow335-hd", "HD", {{"Data/zhCN/patch-zhCN-5.MPQ", new5_}, {"Data/zhCN/patch-zhCN-6.MPQ", new6_}},
                 "2026-02-01T00:00:00Z", "r2");
  const std::string map = BlockMapOfBytes(new5_, BlockSizeFor(new5_.size()));
  std::string index;
  ASSERT_TRUE(RegionIndexOfMap(map, kBlocksPerRegion, &index));
  for (const wchar_t* m : {L"m1", L"m2", L"m3"}) {
    const std::wstring blocks = L"wow335\\releases\\r2\\wow335-hd\\blocks\\Data\\zhCN\\patch-zhCN-5.MPQ";
    MakeDirs(Www(m, L"wow335\\releases\\r2\\wow335-hd\\blocks\\Data\\zhCN"));
    WriteFileBytes(Www(m, blocks + L".blocks"), map);
    WriteFileBytes(Www(m, blocks + L".regions"), index);
  }
  // Every request for a file, a map or an index, on any mirror, is inside the release.
  auto expectReleaseOnly = [](const char* what) {
    size_t fromRelease = 0;
    for (const char* mirror : {kMirror1, kMirror2, kMirror3})
      for (const std::string& line : Requests(mirror)) {
        if (line.find(".json") != line.npos) continue;
        EXPECT_NE(line.find("/wow335/releases/r2/wow335-hd/"), line.npos) << what << ": " << line;
        ++fromRelease;
      }
    EXPECT_GT(fromRelease, 0u) << what;
  };
  RunPatch();
  expectReleaseOnly("the patch update");
  bool mapAsked = false;
  for (const std::string& line : Requests(kMirror1)) mapAsked |= line.find("patch-zhCN-5.MPQ.blocks") != line.npos;
  EXPECT_TRUE(mapAsked) << "the archive came by its blocks";

  std::string damaged5 = new5_;
  damaged5[100] ^= 0x55;
  WriteFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-5.MPQ", damaged5);
  WriteFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-6.MPQ", PatternBytes(100000, 7));
  ClientManifest manifest;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &manifest, &error));
  ClearRequestLogs();
  ASSERT_NO_FATAL_FAILURE(Repair(manifest, dir_.path()));
  EXPECT_EQ(ReadFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-5.MPQ"), new5_);
  EXPECT_EQ(ReadFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-6.MPQ"), new6_);
  expectReleaseOnly("the repair");
}

// A repair stopped while one archive is built from its blocks and another
// comes whole, on two mirrors at once: every file is as it was, with nothing
// beside it and no journal left.
TEST_F(Delta, ACancelledRepairLeavesEveryFileOld) {
  PublishMap(BlockMapOfBytes(new5_, BlockSizeFor(new5_.size())));
  const std::string damaged6 = PatternBytes(100000, 7);
  WriteFileBytes(dir_ / L"Data\\zhCN\\patch-zhCN-6.MPQ", damaged6);
  Control(kMirror1, std::string("/__fault?path=") + kFile5 + "&kind=slow&arg=5000");
  for (const char* m : {kMirror1, kMirror2, kMirror3})
    Control(m, "/__fault?path=/wow335/wow335-hd/files/Data/zhCN/patch-zhCN-6.MPQ&kind=slow&arg=5000");
  ClientManifest manifest;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &manifest, &error));
  ClearRequestLogs();
  bool repaired = true;
  std::thread worker([&] {
    ClientCheckResult check;
    RepairOutcome out;
    repaired = CheckClient(nullptr, manifest, dir_.path(), {}, &cancel_, &check, &error) &&
               RepairClient(nullptr, manifest, dir_.path(), dir_.path(), check, {}, &cancel_, &out, &error);
  });
  auto asked = [](const char* mirror, const char* part) {
    auto lines = Requests(mirror);
    return std::any_of(lines.begin(), lines.end(), [part](const std::string& l) { return l.find(part) != l.npos; });
  };
  for (DWORD start = GetTickCount(); GetTickCount() - start < 20000; Sleep(50))
    if (asked(kMirror1, "bytes=") && asked(kMirror2, "patch-zhCN-6.MPQ")) break;
  Sleep(300);
  cancel_ = true;
  worker.join();
  EXPECT_FALSE(repaired);
  EXPECT_EQ(error, Gbk(u8"修复已取消。"));
  for (const auto& [name, bytes] : {std::pair<const wchar_t*, const std::string&>{L"5", old5_}, {L"6", damaged6}}) {
    const std::wstring archive = dir_ / (std::wstring(L"Data\\zhCN\\patch-zhCN-") + name + L".MPQ");
    EXPECT_EQ(ReadFileBytes(archive), bytes);
    ExpectOnlyThePlayersFilesBeside(archive);
  }
  for (int n : {0, 1}) EXPECT_FALSE(Exists(RepairJournalPath(dir_.path(), n)));
}

// An update whose manifest lists a file for the first time (the record of
// the version before has no entry for it): what stands at its place is the
// player's, kept as a dated copy in the backup folder.
TEST_F(Delta, AFileAnUpdateListsForTheFirstTimeKeepsThePlayersFileOfThatName) {
  PublishMap(BlockMapOfBytes(new5_, BlockSizeFor(new5_.size())));
  ClientManifest manifest;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &manifest, &error));
  ProgressDocument record;
  record.product = manifest.product;
  record.manifest_id = "the version before";
  std::string digest6;
  ASSERT_TRUE(Sha256HexOfString(new6_, &digest6));
  record.files["Data/zhCN/patch-zhCN-6.MPQ"] = {new6_.size(), digest6, new6_.size(), true};
  ASSERT_NO_FATAL_FAILURE(Repair(manifest, dir_.path(), record));
  EXPECT_EQ(ReadFileBytes(Archive(L"5")), new5_);
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((dir_ / L"RealmPorter-backup\\replaced-n1-*").c_str(), &fd);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  EXPECT_EQ(
      ReadFileBytes(dir_ / (std::wstring(L"RealmPorter-backup\\") + fd.cFileName + L"\\Data\\zhCN\\patch-zhCN-5.MPQ")),
      old5_);
  ExpectOnlyThePlayersFilesBeside(Archive(L"5"));
}

// A copy of a client beside the one downloaded there has its own record: its
// repair leaves the other's alone.
TEST_F(Delta, ARepairOfACopyKeepsItsOwnRecord) {
  ClientManifest manifest;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &manifest, &error));
  const std::wstring copy = dir_ / L"My copy";
  MakeDirs(copy + L"\\Data\\zhCN");
  WriteFileBytes(copy + L"\\Data\\zhCN\\patch-zhCN-5.MPQ", new5_);
  WriteFileBytes(copy + L"\\Data\\zhCN\\patch-zhCN-6.MPQ", new6_);
  ASSERT_NO_FATAL_FAILURE(Repair(manifest, copy));
  EXPECT_FALSE(Exists(dir_ / L".ravelgap\\progress\\wow335-hd.json"));
  EXPECT_TRUE(Exists(dir_ / L".ravelgap\\progress\\wow335-hd@My copy.json"));
  EXPECT_EQ(ReadProgressRecord(dir_.path(), copy, manifest).manifest_id, manifest.manifest_id);
  EXPECT_TRUE(ReadProgressRecord(dir_.path(), dir_ / L"HD", manifest).manifest_id.empty());
}

// A folder's files tell a client when its record is gone or was written for
// another save folder: a download would overwrite them in place.
TEST_F(Delta, AClientWithoutARecordOfItsOwnIsUpdatedNotDownloadedOver) {
  ClientManifest manifest;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("wow335-hd", &manifest, &error));
  const std::wstring client = dir_ / L"HD";
  EXPECT_FALSE(HoldsOlderClient(manifest, dir_.path())) << "no folder";
  MakeDirs(client + L"\\Data\\zhCN");
  EXPECT_FALSE(HoldsOlderClient(manifest, dir_.path())) << "an empty folder";
  WriteFileBytes(client + L"\\Data\\zhCN\\patch-zhCN-6.MPQ", "an older six");
  EXPECT_TRUE(HoldsOlderClient(manifest, dir_.path())) << "no record";
  ProgressState state;
  state.product = manifest.product;
  state.manifest_id = manifest.manifest_id;
  state.install_root = manifest.install_root;
  state.install_dir = dir_.path();
  ASSERT_TRUE(SaveProgress(ProgressFilePath(dir_.path(), manifest.product), state));
  EXPECT_FALSE(HoldsOlderClient(manifest, dir_.path())) << "this version's download, resumed";
  state.install_dir = L"D:\\elsewhere";
  ASSERT_TRUE(SaveProgress(ProgressFilePath(dir_.path(), manifest.product), state));
  EXPECT_TRUE(HoldsOlderClient(manifest, dir_.path())) << "the record of another save folder";
}

}  // namespace
