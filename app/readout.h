#pragma once
// What a job shows while it runs: size done of size, percentage, speed and
// time left, for the client download, the patch update and the addon install
// alike. Pure arithmetic and text on numbers; the texts are UTF-8.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Speed as a moving average of the bytes that came off the network. The
// meter is fed the job's running total of received bytes (bytes still in a
// reader's buffer included, bytes a resume found on disk never) and reads
// the growth over the last few seconds. A total that arrives in bursts reads
// as the average of the bursts, not as 0 between them and a spike at each.
class SpeedMeter {
 public:
  static constexpr std::uint64_t kWindowMs = 4000;
  // The speed counts as steady (time left is shown) once the meter has seen
  // this much of the job.
  static constexpr std::uint64_t kSteadyMs = 3000;

  // `nowMs` never goes back; `received` never goes down (a smaller value
  // is taken as no growth).
  void Sample(std::uint64_t nowMs, std::uint64_t received);
  // Bytes per second over the window; 0 before two samples or when nothing
  // arrived in the whole window.
  double BytesPerSecond() const;
  bool Steady() const;

 private:
  struct Point {
    std::uint64_t ms = 0, bytes = 0;
  };
  static constexpr int kPoints = 64;
  Point points_[kPoints];
  int first_ = 0, count_ = 0;
  std::uint64_t startMs_ = 0;
  const Point& At(int i) const { return points_[(first_ + i) % kPoints]; }
};

// Seconds left at `bytesPerSecond`; -1 when not known (no speed, or nothing
// meaningful: the job is done).
std::int64_t SecondsLeft(std::uint64_t done, std::uint64_t total, double bytesPerSecond);

// "12.3 MB" below 1 GB (MB of 1024 KB, one decimal: a 150 MB client moves
// every 100 KB), "1.23 GB" from there.
std::string SizeText(std::uint64_t bytes);
// "1.23 MB/s" from 1 MB/s, "850 KB/s" below, never "0" for a speed above 0.
std::string SpeedText(double bytesPerSecond);
// "剩余 45 秒", "剩余 3 分 05 秒", "剩余 2 小时 07 分"; empty for -1.
std::string TimeLeftText(std::int64_t seconds);

struct ReadoutFigures {
  std::uint64_t done = 0, total = 0;  // bytes on disk of the job, resumed ones included
  double bytesPerSecond = 0;
  bool steady = false;
};
// "<label> 12.3 MB / 150.0 MB  8%  1.23 MB/s  剩余 1 分 52 秒": the speed
// only when above 0, the time left only once steady. `label` is UTF-8.
std::string ReadoutText(std::u8string_view label, const ReadoutFigures& f);
// The readout's percentage: floor of done / total, at least 1 once a byte
// is there, 100 only when everything is.
int ReadoutPercent(std::uint64_t done, std::uint64_t total);

// The line a cancelled download leaves: what was kept for the next run.
std::string CancelledKeptText(std::uint64_t keptBytes);
// The line a cancelled update of an older client leaves: the files it had
// already replaced are new, every other file is as it was.
std::string UpdateCancelledText(std::uint32_t replaced);

// The lines a patch update ends with. `updated` names the archives it put in
// place (UTF-8 file names), `fetched` the bytes they cost on the wire. A
// cancel says which archives are new; every other file is as it was.
std::string PatchCancelledText(const std::vector<std::string>& updated);
// What a successful run did, for after its success line: how many archives,
// how many bytes; empty when nothing was fetched.
std::string PatchDoneDetail(std::size_t updated, std::uint64_t fetched);
