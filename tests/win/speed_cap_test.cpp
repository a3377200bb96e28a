// The player's speed cap on a real client download from three unthrottled
// loopback mirrors: all transfers together hold it.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>

#include "download/job.h"
#include "download/take_manifest.h"
#include "net/text.h"
#include "net/throttle.h"
#include "support.h"

using namespace testing_support;

namespace {

// The one timed case: a cap is a promise about time. 20 MiB under 1 MiB/s
// over 20 s, in four files, so that three mirrors' transfers share the cap;
// the mirrors alone deliver it in well under a second here.
TEST(SpeedCap, AllTransfersTogetherHoldTheCapWithinTenPerCent) {
  constexpr std::uint64_t kCap = 1048576;
  std::vector<ClientFile> files;
  for (int i = 0; i < 4; ++i) files.push_back({"Data/part" + std::to_string(i) + ".MPQ", PatternBytes(5 * kCap, i)});
  PublishClient("capped-client", "Client", files);
  ClientManifest m;
  std::string error;
  ASSERT_TRUE(FetchClientManifest("capped-client", &m, &error)) << error;
  ScratchDir save(L"speed-cap");
  std::atomic<bool> cancel{false};

  SetDownloadCap(kCap);
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&a);
  const bool ok = RunClientDownload(nullptr, m, save.path(), &cancel, &error);
  QueryPerformanceCounter(&b);
  SetDownloadCap(0);
  UnpublishClient("capped-client");
  ASSERT_TRUE(ok) << WideToUtf8(WideFromGbk(error));

  const double seconds = static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
  const double rate = 20.0 * kCap / seconds;
  EXPECT_GT(rate, 0.9 * kCap) << seconds << " s";
  EXPECT_LT(rate, 1.1 * kCap) << seconds << " s";
  for (const ClientFile& file : files)
    EXPECT_EQ(ReadFileBytes(save / (L"Client\\Data\\" + Utf8ToWide(file.path.substr(5)))).size(), file.data.size());
}

}  // namespace
