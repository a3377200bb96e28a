// The multi-mirror client download against three loopback mirrors, with the
// faults real mirrors show.
#include "download/job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/messages.h"
#include "download/client_repair.h"
#include "download/take_manifest.h"
#include "hash/sha256.h"
#include "hash/sha256_stream.h"
#include "install/journal.h"
#include "install/transaction.h"
#include "manifest/blockmap.h"
#include "manifest/manifest_choice.h"
#include "net/text.h"
#include "support.h"

using namespace testing_support;

namespace {

const char kProduct[] = "engine-client";

std::vector<ClientFile> MixedClient() {
  return {
      {"Wow.exe", PatternBytes(1500000, 1)},
      {"Data/common.MPQ", PatternBytes(6000000, 2)},
      {"Data/zhCN/patch-zhCN-5.MPQ", PatternBytes(3000000, 3)},
      {"Data/zhCN/realmlist.wtf", PatternBytes(40, 4)},
      {"Interface/AddOns/a/b.lua", PatternBytes(70000, 5)},
      {"empty.txt", ""},
      {"one.bin", "x"},
      {"Data/\xe4\xb8\xad\xe6\x96\x87 name.txt", PatternBytes(300000, 6)},
  };
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAllServers();
    ClearLog();
    Timings.stallMs = 120000;
    Timings.cooldownMs = kMirrorCooldownMs;
  }
  void TearDown() override {
    UnpublishClient(kProduct);
    Timings.stallMs = 120000;
    Timings.cooldownMs = kMirrorCooldownMs;
    Options.giveUpAfterRounds = 0;
  }
  bool Run(std::string* error) {
    ClientManifest m;
    if (!FetchClientManifest(kProduct, &m, error)) return false;
    if (connections_) m.max_total_connections = connections_;
    ClearRequestLogs();  // count only the file requests
    return RunClientDownload(recorder_.hwnd(), m, save_.path(), &cancel_, error);
  }
  std::wstring Local(const std::string& path) {
    std::wstring w = Utf8ToWide(path);
    std::replace(w.begin(), w.end(), L'/', L'\\');
    return save_ / (L"Client\\" + w);
  }
  void ExpectClient(const std::vector<ClientFile>& files) {
    for (const auto& f : files) EXPECT_EQ(ReadFileBytes(Local(f.path)), f.data) << f.path;
  }
  // Runs the job for `ms` while the test's thread takes its messages, then
  // cancels it; false when it ended by itself.
  bool RunThenCancel(DWORD ms) {
    ClientManifest m;
    std::string error;
    if (!FetchClientManifest(kProduct, &m, &error)) return false;
    if (connections_) m.max_total_connections = connections_;
    ClearRequestLogs();
    cancel_ = false;
    bool result = true;
    std::thread t([&] { result = RunClientDownload(recorder_.hwnd(), m, save_.path(), &cancel_, &error); });
    recorder_.Pump(ms);
    cancel_ = true;
    t.join();
    recorder_.Pump();
    return !result && error == Gbk(u8"下载已取消。");
  }
  size_t Asked(const std::string& mirror, const std::string& part) {
    size_t n = 0;
    for (const auto& line : Requests(mirror)) n += line.find(part) != std::string::npos;
    return n;
  }
  // big.bin's block map on every mirror.
  void PublishMap(const std::string& map) {
    for (const wchar_t* m : {L"m1", L"m2", L"m3"}) {
      MakeDirs(Www(m, L"wow335\\engine-client\\blocks"));
      WriteFileBytes(Www(m, L"wow335\\engine-client\\blocks\\big.bin.blocks"), map);
    }
  }
  // A mirror's requests for files, without those for block maps.
  std::vector<std::string> FileAsks(const char* mirror) {
    std::vector<std::string> out;
    for (const auto& line : Requests(mirror))
      if (line.find("/blocks/") == std::string::npos) out.push_back(line);
    return out;
  }
  size_t FileRequests() {
    size_t n = 0;
    for (const char* m : {kMirror1, kMirror2, kMirror3}) n += Requests(m).size();
    return n;
  }

  // The pieces of a file on disk beside it: first byte and length.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> PiecesBeside(const std::string& path) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const Piece& p : PiecesOnDisk(Local(path), UINT64_MAX))
      if (p.start > 0) out.push_back({p.start, p.have});
    return out;
  }

  std::atomic<bool> cancel_{false};
  std::uint32_t connections_ = 0;  // the manifest's max_total_connections when set
  ScratchDir save_{L"engine"};
  MessageRecorder recorder_;
};

TEST_F(Engine, WholeClientDownloadsVerifiesAndASecondRunTransfersNothing) {
  auto files = MixedClient();
  PublishClient(kProduct, "Client", files);
  std::string error;
  ASSERT_TRUE(Run(&error)) << WideToUtf8(WideFromGbk(error));
  ExpectClient(files);
  EXPECT_GT(FileRequests(), 0u);
  for (const char* m : {kMirror1, kMirror2, kMirror3}) EXPECT_FALSE(Requests(m).empty()) << "all mirrors serve";
  recorder_.Pump();
  auto texts = recorder_.Texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), U8(u8"正在下载客户端..."));
  EXPECT_EQ(texts.back(), U8(u8"下载完成！"));
  EXPECT_EQ(recorder_.Percents().back(), 100);
  std::string progress = ReadFileBytes(save_ / (L".ravelgap\\progress\\" + Utf8ToWide(kProduct) + L".json"));
  EXPECT_NE(progress.find("\"complete\": true"), std::string::npos);
  EXPECT_EQ(progress.find("\"complete\": false"), std::string::npos);

  ASSERT_TRUE(Run(&error));
  EXPECT_EQ(FileRequests(), 0u) << "every file is found complete on disk";
}

TEST_F(Engine, NotFoundDropsAndCorruptContentMoveTheFileElsewhere) {
  auto files = MixedClient();
  PublishClient(kProduct, "Client", files);
  // Sorted by size: common.MPQ goes to mirror 1, patch-5 to mirror 2, Wow.exe to mirror 3, each the
  // first of its queue; b.lua, queued behind, goes to whichever mirror is idle first.
  Control(kMirror1, "/__fault?path=/wow335/engine-client/files/Data/common.MPQ&kind=notfound");
  Control(kMirror2,
          "/__fault?path=/wow335/engine-client/files/Data/zhCN/patch-zhCN-5.MPQ&kind=drop&arg=1000000&times=1");
  Control(kMirror3, "/__fault?path=/wow335/engine-client/files/Wow.exe&kind=corrupt&times=1");
  for (const char* mirror : {kMirror1, kMirror2, kMirror3})
    Control(mirror, "/__fault?path=/wow335/engine-client/files/Interface/AddOns/a/b.lua&kind=long&arg=3000000&times=1");
  std::string error;
  ClientManifest m;
  ASSERT_TRUE(FetchClientManifest(kProduct, &m, &error));
  ASSERT_TRUE(RunClientDownload(recorder_.hwnd(), m, save_.path(), &cancel_, &error));
  ExpectClient(files);
  std::string log = ReadLog();
  EXPECT_NE(log.find("Download 404: https://127.0.0.1:18082/wow335/engine-client/files/Data/common.MPQ"),
            std::string::npos);
  EXPECT_NE(log.find("Mirror 404 (https://127.0.0.1:18082/wow335/): Data/common.MPQ"), std::string::npos);
  EXPECT_NE(log.find("Mirror failed (https://127.0.0.2:18082/wow335/): Data/zhCN/patch-zhCN-5.MPQ"), std::string::npos);
  EXPECT_NE(log.find("Download hash mismatch https://127.0.0.3:18008/wow335/engine-client/files/Wow.exe expected"),
            std::string::npos);
  EXPECT_NE(log.find("Download longer than expected (70000 bytes): "), std::string::npos);
  EXPECT_NE(log.find("/wow335/engine-client/files/Interface/AddOns/a/b.lua"), std::string::npos);
  // The dropped file resumed with a Range request on another mirror.
  bool resumed = false;
  for (const char* mirror : {kMirror1, kMirror3})
    for (const auto& line : Requests(mirror))
      if (line.find("patch-zhCN-5.MPQ bytes=1000000-") != std::string::npos) resumed = true;
  EXPECT_TRUE(resumed);
}

TEST_F(Engine, SlowMirrorCoolsDownAndAllCoolingShowsTheCooldownText) {
  Timings.cooldownMs = 4000;
  std::vector<ClientFile> files = {
      {"a.bin", PatternBytes(2400000, 11)}, {"b.bin", PatternBytes(2300000, 12)}, {"c.bin", PatternBytes(2200000, 13)}};
  PublishClient(kProduct, "Client", files);
  for (const char* m : {kMirror1, kMirror2, kMirror3})
    Control(m, "/__fault?path=/wow335/engine-client/files/*&kind=slow&arg=200000&times=1");
  std::string error;
  ASSERT_TRUE(Run(&error));
  ExpectClient(files);
  std::string log = ReadLog();
  EXPECT_NE(log.find("Mirror slow "), std::string::npos);
  EXPECT_NE(log.find("Mirror penalized, reassign file: "), std::string::npos);
  recorder_.Pump();
  auto texts = recorder_.Texts();
  bool cooling = std::any_of(texts.begin(), texts.end(),
                             [](const std::string& t) { return t.rfind(U8(u8"镜像冷却中，等待恢复: "), 0) == 0; });
  EXPECT_TRUE(cooling);
}

TEST_F(Engine, SilentMirrorEndsAsFailedNotAHang) {
  Timings.stallMs = 2000;
  std::vector<ClientFile> files = {{"big.bin", PatternBytes(3000000, 21)}, {"small.bin", PatternBytes(1000, 22)}};
  PublishClient(kProduct, "Client", files);
  Control(kMirror1, "/__fault?path=/wow335/engine-client/files/big.bin&kind=stall&arg=30&times=1");
  std::string error;
  DWORD start = GetTickCount();
  ASSERT_TRUE(Run(&error));
  EXPECT_LT(GetTickCount() - start, 20000u);
  ExpectClient(files);
  EXPECT_NE(
      ReadLog().find("Download read stall (>=2000ms): https://127.0.0.1:18082/wow335/engine-client/files/big.bin"),
      std::string::npos);
}

// A file that fails on every mirror waits 1 s, 2 s, 4 s... between rounds:
// by 6 s three rounds have asked each mirror once (the fourth is due at
// about 7.4 s), where asking without pause sent hundreds. The status names
// the file, and only the first round logs its requests.
TEST_F(Engine, AFileFailingOnEveryMirrorWaitsLongerEachRound) {
  struct {
    const char* fault;
    const char8_t* status;
    const char* firstRoundLine;
  } cases[] = {{"notfound", u8"镜像服务器上缺少文件：gone.bin，", "Mirror 404 ("},
               {"corrupt", u8"镜像服务器上的文件校验失败：gone.bin，", "Download hash mismatch "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    ClearAllServers();
    ClearLog();
    recorder_.messages.clear();
    RemoveTree(save_ / L"Client");
    std::vector<ClientFile> files = {{"ok.bin", PatternBytes(5000, 51)}, {"gone.bin", PatternBytes(3000, 52)}};
    PublishClient(kProduct, "Client", files);
    for (const char* m : {kMirror1, kMirror2, kMirror3})
      Control(m, std::string("/__fault?path=/wow335/engine-client/files/gone.bin&kind=") + c.fault);
    EXPECT_TRUE(RunThenCancel(6000));
    EXPECT_EQ(ReadFileBytes(Local("ok.bin")), files[0].data);
    for (const char* mirror : {kMirror1, kMirror2, kMirror3}) EXPECT_EQ(Asked(mirror, "/gone.bin "), 3u) << mirror;
    auto texts = recorder_.Texts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
      return text.rfind(U8(c.status), 0) == 0 && text.find(U8(u8" 秒后重试...")) != std::string::npos;
    }));
    std::string log = ReadLog();
    auto count = [&](const std::string& what) {
      size_t n = 0;
      for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
      return n;
    };
    EXPECT_EQ(count(c.firstRoundLine), 3u);
    EXPECT_EQ(count("File failed on every mirror, round "), 3u);
    EXPECT_EQ(count("File failed on every mirror, round 3, next try in 4 s: gone.bin (https://127.0.0.1:18082/"), 1u);
  }
}

// Many files missing everywhere (a manifest published before its files):
// each file's first rounds come at once, so the mirrors rest as well, and a
// mirror is asked at 0, 0, 0, 1 and 3 s.
TEST_F(Engine, ManyMissingFilesDoNotFloodTheMirrors) {
  std::vector<ClientFile> files;
  for (unsigned i = 0; i < 12; ++i)
    files.push_back({"gone" + std::to_string(i) + ".bin", PatternBytes(1000 + i, 60 + i)});
  PublishClient(kProduct, "Client", files);
  for (const char* m : {kMirror1, kMirror2, kMirror3})
    Control(m, "/__fault?path=/wow335/engine-client/files/gone*&kind=notfound");
  EXPECT_TRUE(RunThenCancel(6000));
  for (const char* mirror : {kMirror1, kMirror2, kMirror3}) EXPECT_LE(Asked(mirror, "/gone"), 5u) << mirror;
}

// The operator publishes while a player downloads: a file changes under the
// manifest the job holds. Without a newer manifest the job stops at once and
// says the server is being updated; once the newer one is out, the job
// reads it and finishes on it, keeping the file it already has.
TEST_F(Engine, FilesReplacedUnderAHeldManifestMakeTheJobReadItAgain) {
  const std::vector<ClientFile> v1 = {{"same.bin", PatternBytes(50000, 81)}, {"changed.bin", PatternBytes(3000, 82)}};
  std::vector<ClientFile> v2 = v1;
  v2[1].data = PatternBytes(3000, 83);
  PublishRelease(kProduct, "Client", v1, "2026-01-01T00:00:00Z");
  ClientManifest held;
  std::string error;
  ASSERT_TRUE(FetchClientManifest(kProduct, &held, &error));
  const std::string v1Id = held.manifest_id;
  ClearRequestLogs();
  // The mirrors' files are hard links of one another: two mirrors serve the
  // new file, the third none yet.
  WriteFileBytes(Www(L"m1", L"wow335\\engine-client\\files\\changed.bin"), v2[1].data);
  DeleteFileW(Www(L"m3", L"wow335\\engine-client\\files\\changed.bin").c_str());
  EXPECT_FALSE(DownloadFollowingManifest(recorder_.hwnd(), kProduct, &held, save_.path(), &cancel_, &error));
  EXPECT_EQ(error, Gbk(kServerUpdatingText));
  EXPECT_EQ(held.manifest_id, v1Id);
  std::string log = ReadLog();
  EXPECT_NE(log.find("File not as the manifest says on any mirror: changed.bin"), std::string::npos) << log;
  EXPECT_NE(log.find("Manifest read again: no newer one than " + v1Id), std::string::npos);
  EXPECT_EQ(ReadFileBytes(Local("same.bin")), v1[0].data);

  PublishRelease(kProduct, "Client", v2, "2026-02-01T00:00:00Z");
  ASSERT_TRUE(DownloadFollowingManifest(recorder_.hwnd(), kProduct, &held, save_.path(), &cancel_, &error))
      << WideToUtf8(WideFromGbk(error));
  ExpectClient(v2);
  EXPECT_NE(held.manifest_id, v1Id);
  EXPECT_NE(ReadLog().find("Manifest read again: " + held.manifest_id + " (created 2026-02-01T00:00:00Z) continues"),
            std::string::npos);
  size_t same = 0;
  for (const char* m : {kMirror1, kMirror2, kMirror3}) same += Asked(m, "/same.bin ");
  EXPECT_EQ(same, 1u) << "the file already right is kept";
}

// The same under a repair: the damaged file that every mirror still serves
// is put in place, the replaced one stops the repair (every file old or
// new, nothing left beside them). An update from v1 held on v2 while v3 goes
// out puts v2's new file in place, reads v3, checks the client against it
// and finishes on it, removing what v3 no longer lists: v1's file and the
// one it put there itself a moment before.
TEST_F(Engine, FilesReplacedUnderAHeldManifestMakeARepairReadItAgain) {
  const std::vector<ClientFile> v1 = {
      {"same.bin", PatternBytes(50000, 84)}, {"changed.bin", PatternBytes(3000, 85)}, {"dropped.bin", "v1 only"}};
  const std::vector<ClientFile> v2 = {v1[0], {"changed.bin", PatternBytes(3000, 86)}, {"added.bin", "v2 only"}};
  const std::vector<ClientFile> v3 = {v1[0], {"changed.bin", PatternBytes(3000, 87)}};
  PublishRelease(kProduct, "Client", v1, "2026-01-01T00:00:00Z");
  ClientManifest held;
  std::string error;
  ASSERT_TRUE(FetchClientManifest(kProduct, &held, &error));
  ASSERT_TRUE(DownloadFollowingManifest(recorder_.hwnd(), kProduct, &held, save_.path(), &cancel_, &error));
  const std::wstring client = save_ / L"Client";
  for (const char* path : {"same.bin", "changed.bin"}) WriteFileBytes(Local(path), "damaged");
  WriteFileBytes(Www(L"m1", L"wow335\\engine-client\\files\\changed.bin"), v2[1].data);
  DeleteFileW(Www(L"m3", L"wow335\\engine-client\\files\\changed.bin").c_str());
  const ProgressDocument record = ReadProgressRecord(save_.path(), client, held);
  ClientCheckResult check;
  RepairOutcome out;
  ASSERT_TRUE(CheckClient(nullptr, held, client, record, &cancel_, &check, &error));
  EXPECT_FALSE(
      RepairFollowingManifest(nullptr, kProduct, &held, save_.path(), client, check, record, &cancel_, &out, &error));
  EXPECT_EQ(error, Gbk(kServerUpdatingText));
  EXPECT_EQ(ReadFileBytes(Local("same.bin")), v1[0].data);
  EXPECT_EQ(ReadFileBytes(Local("changed.bin")), "damaged");
  for (const char* path : {"same.bin", "changed.bin"}) EXPECT_FALSE(Exists(MakingName(Local(path)))) << path;
  for (int n : {0, 1, 2}) EXPECT_FALSE(Exists(RepairJournalPath(client, n)));

  PublishRelease(kProduct, "Client", v2, "2026-02-01T00:00:00Z");
  ASSERT_TRUE(FetchClientManifest(kProduct, &held, &error));
  PublishRelease(kProduct, "Client", v3, "2026-03-01T00:00:00Z");
  ClearRequestLogs();
  ASSERT_TRUE(UpdateOlderClient(nullptr, kProduct, &held, save_.path(), &cancel_, &out, &error))
      << WideToUtf8(WideFromGbk(error));
  ExpectClient(v3);
  for (const char* path : {"added.bin", "dropped.bin"}) EXPECT_FALSE(Exists(Local(path))) << path;
  EXPECT_EQ(out.repaired, 2u) << "added.bin for v2, changed.bin for v3";
  EXPECT_EQ(ReadProgressRecord(save_.path(), client, held).manifest_id, held.manifest_id);
  size_t same = 0;
  for (const char* m : {kMirror1, kMirror2, kMirror3}) same += Asked(m, "/same.bin ");
  EXPECT_EQ(same, 0u) << "the file already right is kept";
}

// A mirror the operator has not updated yet still offers the older
// manifest and its files. It comes first, yet the job takes the newest
// manifest and none of its files from that mirror.
TEST_F(Engine, TheNewestManifestWinsOverAStaleFirstMirror) {
  const std::vector<ClientFile> v1 = {{"a.bin", PatternBytes(20000, 91)}, {"b.bin", PatternBytes(30000, 92)}};
  std::vector<ClientFile> v2 = v1;
  v2[0].data = PatternBytes(20000, 93);
  const std::string old = PublishRelease(kProduct, "Client", v1, "2026-01-01T00:00:00Z");
  PublishRelease(kProduct, "Client", v2, "2026-02-01T00:00:00Z");
  WriteFileBytes(Www(L"m1", L"wow335\\engine-client.json"), old);
  const std::wstring staleFile = Www(L"m1", L"wow335\\engine-client\\files\\a.bin");
  DeleteFileW(staleFile.c_str());  // out of the hard links
  WriteFileBytes(staleFile, v1[0].data);
  std::string error;
  ASSERT_TRUE(Run(&error)) << WideToUtf8(WideFromGbk(error));
  ExpectClient(v2);
  EXPECT_TRUE(Requests(kMirror1).empty()) << "no file from the stale mirror";
  EXPECT_NE(ReadLog().find("FetchClientManifest another manifest (created 2026-01-01T00:00:00Z) on "
                           "https://127.0.0.1:18082/wow335/engine-client.json: no files from it"),
            std::string::npos);
}

// A file is hashed as its bytes arrive, a resumed one starting with what is
// already on disk: the verdict is that of the whole file, wherever the
// transfer resumed, and a wrong byte on disk still fails it.
TEST_F(Engine, ResumedFilesAreVerifiedAsAWhole) {
  std::vector<ClientFile> files = {{"big.bin", PatternBytes(2500000, 51)}};
  const std::string& data = files[0].data;
  PublishClient(kProduct, "Client", files);
  MakeDirs(save_ / L"Client");
  std::string error;
  for (size_t offset : {size_t(1), size_t(1048575), size_t(1048577), data.size() - 1}) {
    WriteFileBytes(Local("big.bin"), data.substr(0, offset));
    ASSERT_TRUE(Run(&error)) << offset;
    ExpectClient(files);
    ASSERT_EQ(Requests(kMirror1).size(), 1u) << offset;
    // From 1 the idle mirrors take the file's far part: this piece ends there.
    EXPECT_EQ(
        Requests(kMirror1)[0].rfind("GET /wow335/engine-client/files/big.bin bytes=" + std::to_string(offset) + "-", 0),
        0u);
  }
  WriteFileBytes(Local("big.bin"), "X" + data.substr(1, 99999));
  ClearLog();
  ASSERT_TRUE(Run(&error));
  ExpectClient(files);
  // Split over the mirrors: the last piece's mirror joins them and logs the verdict.
  const std::string log = ReadLog();
  const size_t mismatch = log.find("Download hash mismatch https://");
  ASSERT_NE(mismatch, std::string::npos);
  EXPECT_EQ(log.compare(log.find("/wow335/", mismatch), 40, "/wow335/engine-client/files/big.bin expe"), 0);

  // A part from another offset (here the file from its first byte) is not
  // appended: the file stays as it is and the next mirror continues it.
  WriteFileBytes(Local("big.bin"), data.substr(0, 700000));
  Control(kMirror1, "/__fault?path=/wow335/engine-client/files/big.bin&kind=shift&times=1");
  ASSERT_TRUE(Run(&error));
  ExpectClient(files);
  // Whichever mirror is free first takes the piece up.
  std::vector<std::string> asks = FileAsks(kMirror2), third = FileAsks(kMirror3);
  asks.insert(asks.end(), third.begin(), third.end());
  EXPECT_TRUE(std::any_of(
      asks.begin(), asks.end(),
      [](const std::string& a) { return a.rfind("GET /wow335/engine-client/files/big.bin bytes=700000-", 0) == 0; }))
      << "the next mirror continues from the bytes on disk: " << testing::PrintToString(asks);
}

// A mirror that drops a connection whose client takes nothing for a while
// (nginx's send_timeout) never meets a transfer still hashing the part of the
// file already on disk: that part is hashed before the request goes out.
TEST_F(Engine, AResumedFileIsNotLeftUnreadWhileItsPrefixIsHashed) {
  // Longer to hash than the mirror waits: CNG under Wine does about 200 MiB/s.
  constexpr size_t kBlock = 1048576, kPrefixBlocks = 256, kBlocks = kPrefixBlocks + 4;
  const std::string block = PatternBytes(kBlock, 61);
  const std::wstring served = Www(L"m1", L"wow335\\engine-client\\files\\big.bin");
  MakeDirs(Www(L"m1", L"wow335\\engine-client\\files"));
  MakeDirs(save_ / L"Client");
  FILE* whole = _wfopen(served.c_str(), L"wb");
  FILE* prefix = _wfopen(Local("big.bin").c_str(), L"wb");
  ASSERT_TRUE(whole && prefix);
  Sha256Stream digest;
  for (size_t i = 0; i < kBlocks; ++i) {
    std::fwrite(block.data(), 1, kBlock, whole);
    if (i < kPrefixBlocks) std::fwrite(block.data(), 1, kBlock, prefix);
    digest.Update(block.data(), kBlock);
  }
  std::fclose(whole);
  std::fclose(prefix);
  ClientManifest m;
  m.product = kProduct;
  m.install_root = "Client";
  m.mirrors = {kLoopbackMirrors[0]};
  m.files = {{"big.bin", kBlocks * kBlock, ""}};
  ASSERT_TRUE(digest.Finish(&m.files[0].sha256));
  Control(kMirror1, "/__fault?path=/wow335/engine-client/files/big.bin&kind=sendtimeout&arg=1000&times=1");
  std::string error;
  ASSERT_TRUE(RunClientDownload(nullptr, m, save_.path(), &cancel_, &error));
  EXPECT_EQ(Requests(kMirror1), std::vector<std::string>{"GET /wow335/engine-client/files/big.bin bytes=" +
                                                         std::to_string(kPrefixBlocks * kBlock) + "-"});
}

TEST_F(Engine, WithoutRangeSupportNoRangeIsSent) {
  std::vector<ClientFile> files = {{"big.bin", PatternBytes(2000000, 31)}};
  PublishClient(kProduct, "Client", files, false);
  MakeDirs(save_ / L"Client");
  WriteFileBytes(Local("big.bin"), files[0].data.substr(0, 500000));
  std::string error;
  ASSERT_TRUE(Run(&error));
  ExpectClient(files);
  for (const char* m : {kMirror1, kMirror2, kMirror3})
    for (const auto& line : Requests(m)) EXPECT_EQ(line.substr(line.size() - 2), " -") << line;
}

TEST_F(Engine, CancelEndsQuicklyAndTheNextRunResumes) {
  std::vector<ClientFile> files = {{"big.bin", PatternBytes(8000000, 41)}, {"small.bin", PatternBytes(1000, 42)}};
  PublishClient(kProduct, "Client", files);
  for (const char* m : {kMirror1, kMirror2, kMirror3})
    Control(m, "/__fault?path=/wow335/engine-client/files/big.bin&kind=slow&arg=1000000&times=1");
  ClientManifest m;
  std::string error;
  ASSERT_TRUE(FetchClientManifest(kProduct, &m, &error));
  std::atomic<bool> done{false};
  bool result = true;
  std::thread t([&] {
    result = RunClientDownload(nullptr, m, save_.path(), &cancel_, &error);
    done = true;
  });
  Sleep(2500);
  ASSERT_FALSE(done.load());
  DWORD start = GetTickCount();
  cancel_ = true;
  while (!done && GetTickCount() - start < 10000) Sleep(5);
  DWORD took = GetTickCount() - start;
  t.join();
  EXPECT_FALSE(result);
  EXPECT_LT(took, 800u);
  EXPECT_EQ(error, Gbk(u8"下载已取消。"));
  std::string partial = ReadFileBytes(Local("big.bin"));
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), files[0].data.size());
  EXPECT_TRUE(Exists(save_ / L".ravelgap\\progress\\engine-client.json"));
  // The idle mirrors took the far parts of big.bin; each piece kept what came.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> kept = PiecesBeside("big.bin");
  ASSERT_FALSE(kept.empty());
  kept.push_back({0, partial.size()});
  std::uint64_t keptBytes = 0;
  for (const auto& [at, length] : kept) {
    EXPECT_GT(length, 0u) << at;
    if (at > 0)
      EXPECT_EQ(ReadFileBytes(Local("big.bin") + L"." + std::to_wstring(at) + L".piece"),
                files[0].data.substr(at, length));
    keptBytes += length;
  }

  // The next run asks only for bytes no piece holds.
  cancel_ = false;
  ClearRequestLogs();
  ASSERT_TRUE(RunClientDownload(nullptr, m, save_.path(), &cancel_, &error));
  ExpectClient(files);
  EXPECT_TRUE(PiecesBeside("big.bin").empty()) << "the pieces went into the file";
  const std::string head = "GET /wow335/engine-client/files/big.bin bytes=";
  size_t requests = 0;
  for (const char* mirror : {kMirror1, kMirror2, kMirror3})
    for (const auto& line : FileAsks(mirror)) {
      ASSERT_EQ(line.rfind(head, 0), 0u) << line;
      const std::uint64_t from = std::strtoull(line.c_str() + head.size(), nullptr, 10);
      for (const auto& [at, length] : kept) EXPECT_FALSE(from >= at && from < at + length) << line;
      ++requests;
    }
  EXPECT_GE(requests, 1u);
  EXPECT_LT(keptBytes, files[0].data.size());
}

// One large file and three mirrors: the idle two take its far parts, one of
// them falls silent in the middle of its piece and gives it back, and the
// file comes whole, its pieces joined and verified.
TEST_F(Engine, IdleMirrorsSplitTheLastFileAndAStalledPieceGoesBack) {
  Timings.stallMs = 1500;
  std::vector<ClientFile> files = {{"big.bin", PatternBytes(12000000, 71)}};
  PublishClient(kProduct, "Client", files);
  for (const char* m : {kMirror1, kMirror2, kMirror3})
    Control(m, "/__fault?path=/wow335/engine-client/files/big.bin&kind=slow&arg=2000000");
  Control(kMirror2, "/__fault?path=/wow335/engine-client/files/big.bin&kind=hang&arg=1000000&times=1");
  std::string error;
  ASSERT_TRUE(Run(&error)) << WideToUtf8(WideFromGbk(error));
  ExpectClient(files);
  EXPECT_TRUE(PiecesBeside("big.bin").empty());
  const std::string log = ReadLog();
  EXPECT_NE(log.find("Download read stall (>=1500ms): https://127.0.0.2:18082/wow335/engine-client/files/big.bin"),
            std::string::npos);
  // Every mirror was asked for a part; the stalled piece was continued by
  // another mirror from the last whole block that came (a read returns
  // when its block is full).
  std::vector<std::uint64_t> starts;
  const std::string head = "GET /wow335/engine-client/files/big.bin bytes=";
  for (const char* mirror : {kMirror1, kMirror2, kMirror3}) {
    EXPECT_FALSE(FileAsks(mirror).empty()) << mirror;
    for (const auto& line : FileAsks(mirror))
      if (line.rfind(head, 0) == 0) starts.push_back(std::strtoull(line.c_str() + head.size(), nullptr, 10));
  }
  const std::string stalled = FileAsks(kMirror2).at(0);
  const std::uint64_t at = std::strtoull(stalled.c_str() + head.size(), nullptr, 10);
  EXPECT_GT(at, 0u) << stalled;
  EXPECT_TRUE(std::any_of(starts.begin(), starts.end(), [at](std::uint64_t s) { return s > at && s <= at + 1000000; }))
      << stalled;
}

// Where the mirrors publish block maps, a mirror that sends wrong bytes for
// its part of a split file is found within a block: only its piece comes
// again, from another mirror, and the joined file is right the first time.
TEST_F(Engine, AWrongPieceIsFoundByTheBlockMapAndOnlyItComesAgain) {
  std::vector<ClientFile> files = {{"big.bin", PatternBytes(12000000, 72)}};
  PublishClient(kProduct, "Client", files);
  PublishMap(BlockMapOfBytes(files[0].data, BlockSizeFor(files[0].data.size())));
  for (const char* m : {kMirror1, kMirror3})
    Control(m, "/__fault?path=/wow335/engine-client/files/big.bin&kind=slow&arg=2000000");
  Control(kMirror2, "/__fault?path=/wow335/engine-client/files/big.bin&kind=corrupt&arg=2000000");
  std::string error;
  ASSERT_TRUE(Run(&error)) << WideToUtf8(WideFromGbk(error));
  ExpectClient(files);
  const std::string log = ReadLog();
  EXPECT_NE(log.find("differs from its map: https://127.0.0.2:18082/wow335/engine-client/files/big.bin"),
            std::string::npos);
  EXPECT_EQ(log.find("Download hash mismatch"), std::string::npos) << log;
  EXPECT_EQ(Asked(kMirror1, "big.bin -"), 1u) << "the holder's piece was never fetched again";
}

// A map that lies (the real file's size and digest over another file's
// blocks) is set aside once two mirrors' pieces differ from it: it fails
// at most one attempt, and the joined file's SHA-256 decides.
TEST_F(Engine, AMapThatLiesIsSetAsideAndFailsNoMirror) {
  std::vector<ClientFile> files = {{"big.bin", PatternBytes(12000000, 74)}};
  PublishClient(kProduct, "Client", files);
  const std::uint32_t blockSize = BlockSizeFor(files[0].data.size());
  const std::string other = BlockMapOfBytes(PatternBytes(12000000, 75), blockSize);
  std::string digest, map;
  ASSERT_TRUE(Sha256HexOfString(files[0].data, &digest));
  ASSERT_TRUE(BlockMapOfEntries(
      files[0].data.size(), blockSize, digest,
      std::string_view(other).substr(kBlockMapHeader, other.size() - kBlockMapHeader - kBlockMapTrailer), &map));
  PublishMap(map);
  for (const char* m : {kMirror1, kMirror2, kMirror3})
    Control(m, "/__fault?path=/wow335/engine-client/files/big.bin&kind=slow&arg=2000000");
  Options.giveUpAfterRounds = 1;  // judged by that map, every mirror would fail
  std::string error;
  ASSERT_TRUE(Run(&error)) << WideToUtf8(WideFromGbk(error));
  ExpectClient(files);
  const std::string log = ReadLog();
  EXPECT_NE(log.find("Download block map set aside, pieces from two mirrors differ from it: big.bin"),
            std::string::npos)
      << log;
  size_t refused = 0;
  for (size_t at = log.find("differs from its map"); at != std::string::npos;
       at = log.find("differs from its map", at + 1))
    ++refused;
  EXPECT_LE(refused, 1u) << "one attempt failed by the map, at most" << log;
}

// Mirrors that allow a player one connection (nginx's limit_conn 1) answer
// 503 while they still hold the connection of a piece that ended at a split:
// the request is asked again, and no attempt fails.
TEST_F(Engine, MirrorsAllowingOneConnectionServeEverySplitPiece) {
  std::vector<ClientFile> files = {{"big.bin", PatternBytes(12000000, 73)}};
  PublishClient(kProduct, "Client", files);
  for (const char* m : {kMirror1, kMirror2, kMirror3})
    Control(m, "/__fault?path=/wow335/engine-client/files/big.bin&kind=oneconn&arg=2000000");
  std::string error;
  ASSERT_TRUE(Run(&error)) << WideToUtf8(WideFromGbk(error));
  ExpectClient(files);
  const std::string log = ReadLog();
  EXPECT_EQ(log.find("Mirror failed"), std::string::npos) << log;
  EXPECT_GT(FileRequests(), 3u) << "the file was split";
}

TEST_F(Engine, IllegalPathFailsBeforeAnyTransfer) {
  std::vector<ClientFile> files = {{"ok.bin", "x"}, {"a..b/evil.bin", "y"}};
  PublishClient(kProduct, "Client", files);
  std::string error;
  EXPECT_FALSE(Run(&error));
  EXPECT_EQ(error, Gbk(u8"清单包含非法路径: ") + "a..b/evil.bin");
  EXPECT_EQ(FileRequests(), 0u);

  // A second entry for a file already listed: two transfers would write it at
  // once, each verifying only its own bytes.
  ClientManifest m;
  ASSERT_TRUE(FetchClientManifest(kProduct, &m, &error));
  ClearRequestLogs();
  m.files[0].path = "Data/\xc3\x84pfel.bin";  // Äpfel
  for (const char* same : {"data\\\xc3\xa4PFEL.BIN", "Data//./\xc3\x84pfel.bin. "}) {
    ClientManifest bad = m;
    bad.files[1] = bad.files[0];
    bad.files[1].path = same;
    EXPECT_FALSE(RunClientDownload(nullptr, bad, save_.path(), &cancel_, &error)) << same;
    EXPECT_EQ(error, Gbk(u8"清单包含非法路径: ") + GbkFromUtf8(same));
  }
  EXPECT_EQ(FileRequests(), 0u);
  EXPECT_FALSE(Exists(save_ / L"Client"));
}

TEST_F(Engine, InstallRootOrProductBeyondOnePlainNameCreatesNothing) {
  PublishClient(kProduct, "Client", {{"a.bin", "x"}});
  ClientManifest m;
  std::string error;
  ASSERT_TRUE(FetchClientManifest(kProduct, &m, &error));
  const std::string startup = "..\\..\\..\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";
  ClientManifest bad = m;
  bad.install_root = startup;
  EXPECT_FALSE(RunClientDownload(nullptr, bad, save_.path(), &cancel_, &error));
  EXPECT_EQ(error, Gbk(u8"清单包含非法路径: ") + startup);
  bad = m;
  bad.product = "..";
  EXPECT_FALSE(RunClientDownload(nullptr, bad, save_.path(), &cancel_, &error));
  EXPECT_EQ(error, Gbk(u8"清单包含非法路径: .."));
  EXPECT_FALSE(Exists(save_ / L"Client"));
  EXPECT_FALSE(Exists(save_ / L".ravelgap")) << "no progress file";
  EXPECT_FALSE(Exists(save_ / Utf8ToWide(startup)));
}

// The free space is the real one of the volume; the manifest claims more.
TEST_F(Engine, NotEnoughRoomFailsBeforeWritingAnything) {
  PublishClient(kProduct, "Client", {{"a.bin", "x"}, {"b.bin", "y"}});
  ClientManifest m;
  std::string error;
  ASSERT_TRUE(FetchClientManifest(kProduct, &m, &error));
  m.files[0].size = 1ull << 50;  // 1,048,576 GB
  ClearRequestLogs();
  EXPECT_FALSE(RunClientDownload(nullptr, m, save_.path(), &cancel_, &error));
  const std::string head = Gbk(u8"磁盘空间不足：还需下载 1048576.00 GB，所选位置仅剩 ");
  const std::string tail = Gbk(u8" GB。请选择其他位置。");
  ASSERT_EQ(error.compare(0, head.size(), head), 0) << WideToUtf8(WideFromGbk(error));
  ASSERT_GT(error.size(), head.size() + tail.size());
  EXPECT_EQ(error.substr(error.size() - tail.size()), tail);
  ULARGE_INTEGER available;
  ASSERT_TRUE(GetDiskFreeSpaceExW(save_.path().c_str(), &available, nullptr, nullptr));
  EXPECT_NEAR(std::atof(error.c_str() + head.size()), available.QuadPart / 1073741824.0, 0.5);
  EXPECT_FALSE(Exists(save_ / L"Client"));
  EXPECT_FALSE(Exists(save_ / L".ravelgap"));
  EXPECT_EQ(FileRequests(), 0u);
}

TEST_F(Engine, AFolderWhereAFileMustGoIsADiskError) {
  std::vector<ClientFile> files = {{"Data/blocked.MPQ", PatternBytes(5000, 51)}, {"small.bin", "x"}};
  PublishClient(kProduct, "Client", files);
  MakeDirs(Local("Data/blocked.MPQ"));
  std::string error;
  EXPECT_FALSE(Run(&error));
  EXPECT_EQ(error, Gbk(u8"磁盘写入失败: ") + "Data/blocked.MPQ");
}

TEST_F(Engine, EmptyManifestIsRefused) {
  ClientManifest m;
  std::string error;
  EXPECT_FALSE(RunClientDownload(nullptr, m, save_.path(), &cancel_, &error));
  EXPECT_EQ(error, Gbk(u8"客户端清单为空。"));
}

}  // namespace

// The speed a throttled mirror gives, read back from the status line every
// second: a moving average of what arrives, never 0 between the reader's
// blocks. A download resumed after a cancel reads the same from its start:
// the bytes the first run left on disk are in the sizes, not in the speed.
TEST_F(Engine, TheReadoutShowsTheRealSpeed) {
  constexpr double kRate = 1000000;  // bytes per second, as the mirror sends them
  connections_ = 1;                  // the operator's say: one connection, so one mirror's speed
  const struct {
    const char* what;
    DWORD firstRunMs;  // 0: one run; otherwise the first run is cancelled after this long
  } cases[] = {{"a fresh download", 0}, {"a download resumed after a cancel", 2500}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClearAllServers();
    RemoveTree(save_ / L"Client");
    DeleteFileW((save_ / L".ravelgap").c_str());
    std::vector<ClientFile> files = {{"big.bin", PatternBytes(9000000, 51)}};
    PublishClient(kProduct, "Client", files);
    for (const char* m : {kMirror1, kMirror2, kMirror3})
      Control(m, "/__fault?path=/wow335/engine-client/files/big.bin&kind=slow&arg=1000000");
    std::uint64_t kept = 0;
    if (c.firstRunMs > 0) {
      ASSERT_TRUE(RunThenCancel(c.firstRunMs));
      const std::string last = recorder_.Texts().back();
      const std::string head = U8(u8"已取消，已下载的 ");
      ASSERT_EQ(last.rfind(head, 0), 0u) << last;
      kept = static_cast<std::uint64_t>(std::atof(last.c_str() + head.size()) * 1048576);
      ASSERT_GT(kept, 1000000u) << last;
    }
    recorder_.messages.clear();
    cancel_ = false;
    ClientManifest m;
    std::string error;
    ASSERT_TRUE(FetchClientManifest(kProduct, &m, &error));
    ClearRequestLogs();  // every mirror was asked for the manifest; the files come from one
    m.max_total_connections = 1;
    std::atomic<bool> done{false};
    bool result = false;
    std::thread t([&] {
      result = RunClientDownload(recorder_.hwnd(), m, save_.path(), &cancel_, &error);
      done = true;
    });
    while (!done) recorder_.Pump(50);
    t.join();
    recorder_.Pump();
    ASSERT_TRUE(result) << error;
    ExpectClient(files);
    EXPECT_TRUE(Requests(kMirror2).empty() && Requests(kMirror3).empty()) << "one connection in all";
    // (time, speed, size done) of every readout line; -1 for a line without a speed.
    struct Line {
      DWORD tick;
      double speed, doneMb;
    };
    std::vector<Line> lines;
    const std::string prefix = U8(u8"正在下载:");
    for (const auto& r : recorder_.messages) {
      if (r.msg != WMU_STATUS_TEXT || r.text.rfind(prefix, 0) != 0) continue;
      double value = -1;
      char unit[3] = {};
      const size_t at = r.text.find("/s");
      if (at != std::string::npos) {
        size_t start = r.text.rfind("  ", at);
        if (std::sscanf(r.text.c_str() + start, " %lf %2[KM]B/s", &value, unit) == 2)
          value *= unit[0] == 'M' ? 1048576.0 : 1024.0;
      }
      lines.push_back({r.tick, value, std::atof(r.text.c_str() + prefix.size())});
    }
    ASSERT_FALSE(lines.empty());
    // Once bytes arrive, a resume's sizes start from what the first run
    // kept, and those bytes never show as speed.
    const auto arriving = std::find_if(lines.begin(), lines.end(), [](const Line& l) { return l.speed > 0; });
    ASSERT_NE(arriving, lines.end());
    EXPECT_GE(arriving->doneMb * 1048576, kept * 0.9);
    for (const Line& line : lines) EXPECT_LT(line.speed, kRate * 1.5) << "at " << line.tick - lines.front().tick;
    const DWORD first = lines.front().tick, last = lines.back().tick;
    ASSERT_GE(last - first, 5000u) << "the download took " << last - first << " ms";
    int checked = 0;
    for (DWORD second = 3000; first + second <= last; second += 1000) {
      double shown = -2;
      for (const Line& line : lines)
        if (line.tick <= first + second) shown = line.speed;
      EXPECT_GT(shown, kRate * 0.8) << "at " << second << " ms";
      EXPECT_LT(shown, kRate * 1.2) << "at " << second << " ms";
      ++checked;
    }
    EXPECT_GE(checked, 3);
  }
}
