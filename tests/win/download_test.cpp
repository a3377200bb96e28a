// The resumable single-file download against the loopback servers, with the
// faults a real mirror shows: dropped connections, ignored ranges, missing
// lengths, stalls.
#include "net/download.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <algorithm>

#include "app/messages.h"
#include "hash/sha256.h"
#include "net/http.h"
#include "net/reader.h"
#include "net/text.h"
#include "support.h"

using namespace testing_support;

namespace {

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAllServers();
    data_ = PatternBytes(1000000, 7);
    WriteFileBytes(Www(L"site", L"file.bin"), data_);
  }
  DownloadRequest Request(const std::string& path = "/file.bin") {
    DownloadRequest r;
    r.window = recorder_.hwnd();
    r.target = dir_ / L"out.bin";
    r.backup = dir_ / L"out.bin.bak";
    r.url = std::string(kSite) + path;
    r.percentFormat = Gbk(u8"正在下载补丁... %d%%");
    r.cancel = &cancel_;
    return r;
  }
  std::vector<std::string> FileRequests() {
    std::vector<std::string> out;
    for (const auto& line : Requests(kSite))
      if (line.find("/file.bin") != std::string::npos) out.push_back(line);
    return out;
  }

  std::string data_;
  std::atomic<bool> cancel_{false};
  ScratchDir dir_{L"download"};
  MessageRecorder recorder_;
};

TEST_F(Download, ResumesWithRangeAfterADroppedConnection) {
  Control(kSite, "/__fault?path=/file.bin&kind=drop&arg=300000&times=1");
  DownloadRequest r = Request();
  ASSERT_TRUE(Sha256HexOfString(data_, &r.expectedHash));  // verified across the two attempts
  ASSERT_TRUE(DownloadFile(r));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
  auto reqs = FileRequests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0], "GET /file.bin -");
  EXPECT_EQ(reqs[1], "GET /file.bin bytes=300000-");
  recorder_.Pump();
  auto texts = recorder_.Texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), U8(u8"网络中断，正在重试 (2/3)...")), texts.end());
  auto pct = recorder_.Percents();
  ASSERT_FALSE(pct.empty());
  EXPECT_EQ(pct.back(), 100);
}

TEST_F(Download, ARetryNeverResumesFromAStaleFileAtTheTarget) {
  WriteFileBytes(dir_ / L"out.bin", PatternBytes(400000, 99));
  Control(kSite, "/__fault?path=/file.bin&kind=notfound&times=1");
  ASSERT_TRUE(DownloadFile(Request()));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
  EXPECT_EQ(FileRequests(), (std::vector<std::string>{"GET /file.bin -", "GET /file.bin -"}));
}

TEST_F(Download, ServerThatIgnoresRangeRestartsFromZero) {
  Control(kSite, "/__fault?path=/file.bin&kind=norange");
  Control(kSite, "/__fault?path=/file.bin&kind=drop&arg=300000&times=1");
  ASSERT_TRUE(DownloadFile(Request()));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
  EXPECT_EQ(FileRequests().size(), 2u);
}

// A part from another offset than the one asked for is not appended; the
// next attempt asks again.
TEST_F(Download, APartFromAnotherOffsetIsNotAppended) {
  Control(kSite, "/__fault?path=/file.bin&kind=shift&times=1");
  Control(kSite, "/__fault?path=/file.bin&kind=drop&arg=300000&times=1");
  ASSERT_TRUE(DownloadFile(Request()));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
  EXPECT_EQ(FileRequests(), (std::vector<std::string>{"GET /file.bin -", "GET /file.bin bytes=300000-",
                                                      "GET /file.bin bytes=300000-"}));
}

// A body that goes past the size the caller knows is cut off, and the next
// attempt starts the file afresh.
TEST_F(Download, ABodyLongerThanTheFileIsNotKept) {
  Control(kSite, "/__fault?path=/file.bin&kind=long&arg=3000000&times=1");
  DownloadRequest r = Request();
  r.expectedSize = data_.size();
  ASSERT_TRUE(DownloadFile(r));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
  EXPECT_EQ(FileRequests(), (std::vector<std::string>{"GET /file.bin -", "GET /file.bin -"}));
}

TEST_F(Download, ContentRangeWithoutTotalUsesLengthPlusOffset) {
  Control(kSite, "/__fault?path=/file.bin&kind=star");
  Control(kSite, "/__fault?path=/file.bin&kind=drop&arg=100000&times=1");
  ASSERT_TRUE(DownloadFile(Request()));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
}

TEST_F(Download, NoContentLengthReportsMegabytesEvery256KiB) {
  Control(kSite, "/__fault?path=/file.bin&kind=nolength");
  DownloadRequest r = Request();
  r.sizeFormat = Gbk(u8"已下载 %.1f MB");
  ASSERT_TRUE(DownloadFile(r));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
  recorder_.Pump();
  EXPECT_TRUE(recorder_.Percents().empty());
  auto texts = recorder_.Texts();
  ASSERT_GE(texts.size(), 3u);  // 256, 512 and 768 KiB of 976 KiB
  EXPECT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0].rfind(U8(u8"已下载 0."), 0), 0u) << texts[0];
}

TEST_F(Download, CombinedProgressStartsAtTheBase) {
  DownloadRequest r = Request();
  r.base = 428571;  // 30 % of the overall total
  r.overallTotal = 1428571;
  ASSERT_TRUE(DownloadFile(r));
  recorder_.Pump();
  auto pct = recorder_.Percents();
  ASSERT_FALSE(pct.empty());
  // The first report comes after the first block of at most 64 KiB.
  EXPECT_GE(pct.front(), 30);
  EXPECT_LE(pct.front(), 35);
  EXPECT_EQ(pct.back(), 100);
  auto texts = recorder_.Texts();
  EXPECT_EQ(texts.back(), U8(u8"正在下载补丁... 100%"));
  EXPECT_EQ(CombinedPercent(30000000, 0, 100000000), 30);
  EXPECT_EQ(CombinedPercent(30000000, 70000000, 100000000), 100);
  EXPECT_EQ(CombinedPercent(30000000, 90000000, 100000000), 100);
}

TEST_F(Download, CancelDuringABlockedReadReturnsQuickly) {
  Control(kSite, "/__fault?path=/file.bin&kind=stall&arg=60");
  WriteFileBytes(dir_ / L"out.bin.bak", "previous");
  DownloadRequest r = Request();
  r.hasBackup = true;
  std::atomic<bool> done{false};
  bool result = true;
  std::thread t([&] {
    result = DownloadFile(r);
    done = true;
  });
  Sleep(1500);
  EXPECT_FALSE(done.load());
  DWORD start = GetTickCount();
  cancel_ = true;
  while (!done && GetTickCount() - start < 5000) Sleep(5);
  DWORD took = GetTickCount() - start;
  t.join();
  EXPECT_FALSE(result);
  EXPECT_LT(took, 700u);
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), "previous") << "the backup is restored";
  EXPECT_EQ(FileRequests().size(), 1u);
}

// The reader is the only thread that reads from or closes its request, and a
// read walked away from ends by the request's receive time-out: a server that
// stalls again and again cannot pile up helper threads (each holding a
// buffer and a socket).
TEST_F(Download, AbandonedReadsEndAndNeverPileUp) {
  Control(kSite, "/__fault?path=/file.bin&kind=stall&arg=600");
  const int before = LiveReaderThreads();
  const std::string url = std::string(kSite) + "/file.bin";
  const char* data = nullptr;
  DWORD got = 0;
  std::atomic<bool> cancel{false};
  int peak = 0;
  for (int i = 0; i < 30; ++i) {
    OpenedUrl opened;
    ASSERT_TRUE(OpenUrl(url, nullptr, {60000, 0, ReceiveTimeoutFor(300)}, &opened));
    CancellableReader reader(std::move(opened), 4096, 300);
    if (i % 3 == 2) continue;  // walked away from before the helper has entered its read
    cancel = i % 3 == 1;
    DWORD start = GetTickCount();
    ReadStatus rs = reader.Read(&data, &got, &cancel);
    EXPECT_EQ(rs, cancel ? ReadStatus::kCancelled : ReadStatus::kStalled) << i;
    EXPECT_LT(GetTickCount() - start, cancel ? 200u : 700u) << i;
    peak = std::max(peak, LiveReaderThreads() - before);
  }
  EXPECT_LE(peak, 6) << "abandoned reads end within about the stall time";
  DWORD start = GetTickCount();
  while (LiveReaderThreads() > before && GetTickCount() - start < 5000) Sleep(20);
  EXPECT_EQ(LiveReaderThreads(), before);
}

TEST_F(Download, AStallEndsTheAttemptAndTheNextOneResumes) {
  Control(kSite, "/__fault?path=/file.bin&kind=stall&arg=600&times=1");
  DownloadRequest r = Request();
  r.stallMs = 500;
  ASSERT_TRUE(DownloadFile(r));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
  EXPECT_EQ(FileRequests().size(), 2u);
}

TEST_F(Download, CancelDuringTheRetryWaitMakesNoFurtherRequest) {
  Control(kSite, "/__fault?path=/file.bin&kind=drop&arg=0");
  std::atomic<bool> done{false};
  bool result = true;
  std::thread t([&] {
    result = DownloadFile(Request());
    done = true;
  });
  Sleep(700);  // the first attempt has failed; the 2 s wait runs
  DWORD start = GetTickCount();
  cancel_ = true;
  while (!done && GetTickCount() - start < 5000) Sleep(5);
  DWORD took = GetTickCount() - start;
  t.join();
  EXPECT_FALSE(result);
  EXPECT_LT(took, 300u);
  EXPECT_EQ(FileRequests().size(), 1u);
}

TEST_F(Download, TargetInAMissingFolderFailsAtOnce) {
  DownloadRequest r = Request();
  r.target = dir_ / L"no\\such\\folder\\out.bin";
  DWORD start = GetTickCount();
  EXPECT_FALSE(DownloadFile(r));
  EXPECT_LT(GetTickCount() - start, 1500u);
  EXPECT_EQ(FileRequests().size(), 1u);
}

TEST_F(Download, ErrorPageIsNotTakenForTheFile) {
  DownloadRequest r = Request("/missing.bin");
  EXPECT_FALSE(DownloadFile(r));
}

TEST_F(Download, WrongHashRestoresThePreviousFile) {
  WriteFileBytes(dir_ / L"out.bin.bak", "previous");
  DownloadRequest r = Request();
  r.hasBackup = true;
  r.expectedHash = std::string(64, 'a');
  EXPECT_FALSE(DownloadFile(r));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), "previous");
  EXPECT_FALSE(Exists(dir_ / L"out.bin.bak"));
}

TEST_F(Download, RightHashInAnyCaseKeepsTheNewFileAndDropsTheBackup) {
  WriteFileBytes(dir_ / L"out.bin.bak", "previous");
  std::string hash;
  ASSERT_TRUE(Sha256HexOfString(data_, &hash));
  for (char& c : hash) c = static_cast<char>(toupper(c));
  DownloadRequest r = Request();
  r.hasBackup = true;
  r.expectedHash = hash;
  EXPECT_TRUE(DownloadFile(r));
  EXPECT_EQ(ReadFileBytes(dir_ / L"out.bin"), data_);
  EXPECT_FALSE(Exists(dir_ / L"out.bin.bak"));
}

}  // namespace
