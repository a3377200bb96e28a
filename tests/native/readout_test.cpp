#include "app/readout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string S(std::u8string_view s) { return std::string(s.begin(), s.end()); }

struct Step {
  std::uint64_t ms, received;
  double speed;  // bytes per second expected after this sample
  bool steady;
};

TEST(SpeedMeter, MovingAverageOverBurstsStallsAndResumes) {
  struct Case {
    const char* what;
    std::vector<Step> steps;
  } cases[] = {
      {"steady 1 MB/s sampled every 200 ms",
       {{0, 0, 0, false}, {200, 200000, 1e6, false}, {1000, 1000000, 1e6, false}, {3000, 3000000, 1e6, true}}},
      {"1 MiB bursts every second, sampled every 200 ms: never 0 between them",
       {{0, 0, 0, false},
        {200, 0, 0, false},
        {1000, 1048576, 1048576, false},
        {1200, 1048576, 1048576 / 1.2, false},
        {1800, 1048576, 1048576 / 1.8, false},
        {2000, 2097152, 1048576, false},
        {2600, 2097152, 2097152 / 2.6, false},
        {3000, 3145728, 1048576, true},
        {4000, 4194304, 1048576, true},
        {4800, 4194304, 4194304 / 4.6, true},  // the window starts at the 200 ms point
        {5000, 5242880, 4194304 / 4.0, true}}},
      {"a stall longer than the window reads 0, then the speed comes back",
       {{0, 0, 0, false},
        {1000, 1000000, 1e6, false},
        {3000, 1000000, 1e6 / 3, true},
        {6000, 1000000, 0, false},
        {7000, 1500000, 125000, true}}},  // 0.5 MB over the last 4 s
      {"a total that goes down (a resume's bytes taken back) is no growth",
       {{0, 5000000, 0, false}, {1000, 6000000, 1e6, false}, {2000, 100, 5e5, false}}},
  };
  for (const Case& c : cases) {
    SpeedMeter m;
    for (const Step& s : c.steps) {
      m.Sample(s.ms, s.received);
      EXPECT_NEAR(m.BytesPerSecond(), s.speed, s.speed * 1e-9 + 1e-9) << c.what << " at " << s.ms;
      EXPECT_EQ(m.Steady(), s.steady) << c.what << " at " << s.ms;
    }
  }
}

TEST(SpeedMeter, AnEvenRateReadsExactlyOverALongJob) {
  SpeedMeter m;
  for (std::uint64_t ms = 0; ms <= 10000; ms += 250) m.Sample(ms, ms * 1000);
  EXPECT_NEAR(m.BytesPerSecond(), 1e6, 1);
  EXPECT_TRUE(m.Steady());
}

TEST(Readout, TimeLeft) {
  struct {
    std::uint64_t done, total;
    double speed;
    std::int64_t left;
    const char8_t* text;
  } cases[] = {
      {0, 1000000, 1e6, 1, u8"剩余 1 秒"},
      {0, 1000001, 1e6, 2, u8"剩余 2 秒"},  // rounded up: never "0 seconds" with bytes to come
      {0, 59000000, 1e6, 59, u8"剩余 59 秒"},
      {0, 60000000, 1e6, 60, u8"剩余 1 分 00 秒"},
      {0, 125000000, 1e6, 125, u8"剩余 2 分 05 秒"},
      {0, 3599000000ull, 1e6, 3599, u8"剩余 59 分 59 秒"},
      {0, 3600000000ull, 1e6, 3600, u8"剩余 1 小时 00 分"},
      {0, 7500000000ull, 1e6, 7500, u8"剩余 2 小时 05 分"},
      {10, 10, 1e6, -1, u8""},
      {0, 10, 0, -1, u8""},
      {0, UINT64_MAX, 1, 359999, u8"剩余 99 小时 59 分"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SecondsLeft(c.done, c.total, c.speed), c.left) << c.total;
    EXPECT_EQ(TimeLeftText(SecondsLeft(c.done, c.total, c.speed)), S(c.text)) << c.total;
  }
}

TEST(Readout, Formatting) {
  struct {
    std::uint64_t bytes;
    const char* text;
  } sizes[] = {
      {0, "0.0 MB"},
      {104858, "0.1 MB"},
      {157286400, "150.0 MB"},
      {157391258, "150.1 MB"},
      {1073741823, "1024.0 MB"},
      {1073741824, "1.00 GB"},
      {16106127360ull, "15.00 GB"},
  };
  for (const auto& c : sizes) EXPECT_EQ(SizeText(c.bytes), c.text) << c.bytes;
  struct {
    double speed;
    const char* text;
  } speeds[] = {
      {0, "0 KB/s"},          {1, "1 KB/s"},     {512000, "500 KB/s"},         {1048575, "1024 KB/s"},
      {1048576, "1.00 MB/s"}, {1e6, "977 KB/s"}, {7.5 * 1048576, "7.50 MB/s"},
  };
  for (const auto& c : speeds) EXPECT_EQ(SpeedText(c.speed), c.text) << c.speed;
  struct {
    std::uint64_t done, total;
    int percent;
  } percents[] = {{0, 0, 0},       {0, 100, 0},       {1, 1000000, 1},   {5, 1000, 1},
                  {999, 1000, 99}, {1000, 1000, 100}, {2000, 1000, 100}, {5, 0, 0}};
  for (const auto& c : percents) EXPECT_EQ(ReadoutPercent(c.done, c.total), c.percent) << c.done;
}

TEST(Readout, WholeLine) {
  struct {
    ReadoutFigures f;
    const char8_t* text;
  } cases[] = {
      {{0, 157286400, 0, false}, u8"正在下载: 0.0 MB / 150.0 MB  0%"},
      {{15728640, 157286400, 2097152, false}, u8"正在下载: 15.0 MB / 150.0 MB  10%  2.00 MB/s"},
      {{15728640, 157286400, 2097152, true}, u8"正在下载: 15.0 MB / 150.0 MB  10%  2.00 MB/s  剩余 1 分 08 秒"},
      {{5242880, 0, 2097152, true}, u8"正在下载: 5.0 MB  2.00 MB/s"},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadoutText(u8"正在下载:", c.f), S(c.text));
}

TEST(Readout, CancelSaysWhatWasKept) {
  EXPECT_EQ(CancelledKeptText(0), S(u8"已取消。"));
  EXPECT_EQ(CancelledKeptText(52428800), S(u8"已取消，已下载的 50.0 MB 已保留，下次继续"));
  struct {
    std::vector<std::string> updated;
    const char8_t* text;
  } patches[] = {
      {{}, u8"已取消，游戏文件未作改动。"},
      {{"patch-zhCN-5.MPQ"}, u8"已取消，patch-zhCN-5.MPQ 已更新，其余游戏文件未作改动。"},
      {{"patch-zhCN-5.MPQ", "patch-zhCN-6.MPQ"},
       u8"已取消，patch-zhCN-5.MPQ、patch-zhCN-6.MPQ 已更新，其余游戏文件未作改动。"},
  };
  for (const auto& c : patches) EXPECT_EQ(PatchCancelledText(c.updated), S(c.text)) << c.updated.size();
  EXPECT_EQ(UpdateCancelledText(0), S(u8"已取消，客户端文件未作改动，下次继续"));
  EXPECT_EQ(UpdateCancelledText(3), S(u8"已取消，已更新 3 个文件，其余文件未作改动，下次继续"));
}

TEST(Readout, PatchDoneSaysWhatItFetched) {
  struct {
    std::size_t updated;
    std::uint64_t fetched;
    const char8_t* text;
  } cases[] = {
      {0, 0, u8""},
      {1, 3565158, u8"已更新 1 个补丁文件，共下载 3.4 MB"},
      {2, 0, u8"已更新 2 个补丁文件，共下载 0.0 MB"},
  };
  for (const auto& c : cases) EXPECT_EQ(PatchDoneDetail(c.updated, c.fetched), S(c.text)) << c.updated;
}

}  // namespace
