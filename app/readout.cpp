#include "app/readout.h"

#include <cmath>
#include <cstdio>
#include <string_view>

namespace {

std::string Str(std::u8string_view s) { return std::string(s.begin(), s.end()); }

constexpr double kMiB = 1048576.0;
constexpr std::uint64_t kGiB = 1073741824ull;

}  // namespace

void SpeedMeter::Sample(std::uint64_t nowMs, std::uint64_t received) {
  if (count_ == 0) startMs_ = nowMs;
  if (count_ > 0) {
    const Point& last = At(count_ - 1);
    if (nowMs < last.ms) nowMs = last.ms;
    if (received < last.bytes) received = last.bytes;
  }
  // One point older than the window stays as the window's start.
  while (count_ >= 2 && nowMs - At(1).ms >= kWindowMs) {
    first_ = (first_ + 1) % kPoints;
    --count_;
  }
  if (count_ == kPoints) {
    first_ = (first_ + 1) % kPoints;
    --count_;
  }
  points_[(first_ + count_) % kPoints] = {nowMs, received};
  ++count_;
}

double SpeedMeter::BytesPerSecond() const {
  if (count_ < 2) return 0;
  const Point& a = At(0);
  const Point& b = At(count_ - 1);
  if (b.ms <= a.ms) return 0;
  // The window's start may lie a little before the window: the span is the
  // time the growth took, whichever is longer.
  return static_cast<double>(b.bytes - a.bytes) * 1000.0 / static_cast<double>(b.ms - a.ms);
}

bool SpeedMeter::Steady() const {
  return count_ >= 2 && At(count_ - 1).ms - startMs_ >= kSteadyMs && BytesPerSecond() > 0;
}

std::int64_t SecondsLeft(std::uint64_t done, std::uint64_t total, double bytesPerSecond) {
  if (bytesPerSecond <= 0 || done >= total) return -1;
  const double s = static_cast<double>(total - done) / bytesPerSecond;
  if (s > 359999) return 359999;  // 99:59:59: beyond that the figure says nothing
  return static_cast<std::int64_t>(std::ceil(s));
}

std::string SizeText(std::uint64_t bytes) {
  char text[32];
  if (bytes < kGiB)
    std::snprintf(text, sizeof text, "%.1f MB", bytes / kMiB);
  else
    std::snprintf(text, sizeof text, "%.2f GB", bytes / static_cast<double>(kGiB));
  return text;
}

std::string SpeedText(double bytesPerSecond) {
  char text[32];
  if (bytesPerSecond >= kMiB) {
    std::snprintf(text, sizeof text, "%.2f MB/s", bytesPerSecond / kMiB);
  } else {
    double kb = bytesPerSecond / 1024.0;
    if (bytesPerSecond > 0 && kb < 1) kb = 1;
    std::snprintf(text, sizeof text, "%.0f KB/s", kb);
  }
  return text;
}

std::string TimeLeftText(std::int64_t seconds) {
  if (seconds < 0) return {};
  char text[64];
  const long long s = seconds;
  if (s < 60)
    std::snprintf(text, sizeof text, Str(u8"剩余 %lld 秒").c_str(), s);
  else if (s < 3600)
    std::snprintf(text, sizeof text, Str(u8"剩余 %lld 分 %02lld 秒").c_str(), s / 60, s % 60);
  else
    std::snprintf(text, sizeof text, Str(u8"剩余 %lld 小时 %02lld 分").c_str(), s / 3600, s / 60 % 60);
  return text;
}

int ReadoutPercent(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  const int p = static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
  return p < 1 && done > 0 ? 1 : p > 99 ? 99 : p;
}

std::string ReadoutText(std::u8string_view label, const ReadoutFigures& f) {
  std::string text(label.begin(), label.end());
  if (!text.empty()) text += ' ';
  text += SizeText(f.done);
  if (f.total > 0) {
    text += " / " + SizeText(f.total);
    text += "  " + std::to_string(ReadoutPercent(f.done, f.total)) + "%";
  }
  if (f.bytesPerSecond > 0) {
    text += "  " + SpeedText(f.bytesPerSecond);
    if (f.steady) {
      const std::string left = TimeLeftText(SecondsLeft(f.done, f.total, f.bytesPerSecond));
      if (!left.empty()) text += "  " + left;
    }
  }
  return text;
}

std::string CancelledKeptText(std::uint64_t keptBytes) {
  if (keptBytes == 0) return Str(u8"已取消。");
  return Str(u8"已取消，已下载的 ") + SizeText(keptBytes) + Str(u8" 已保留，下次继续");
}

std::string UpdateCancelledText(std::uint32_t replaced) {
  if (replaced == 0) return Str(u8"已取消，客户端文件未作改动，下次继续");
  return Str(u8"已取消，已更新 ") + std::to_string(replaced) + Str(u8" 个文件，其余文件未作改动，下次继续");
}

std::string PatchCancelledText(const std::vector<std::string>& updated) {
  if (updated.empty()) return Str(u8"已取消，游戏文件未作改动。");
  std::string names;
  for (const std::string& n : updated) names += (names.empty() ? "" : Str(u8"、")) + n;
  return Str(u8"已取消，") + names + Str(u8" 已更新，其余游戏文件未作改动。");
}

std::string PatchDoneDetail(std::size_t updated, std::uint64_t fetched) {
  if (updated == 0) return {};
  return Str(u8"已更新 ") + std::to_string(updated) + Str(u8" 个补丁文件，共下载 ") + SizeText(fetched);
}
