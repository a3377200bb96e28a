// The engine every job that fetches a client's files runs: one worker per
// mirror taking files from its queue, failed files handed round the mirrors
// with their waits, and the readout the window shows meanwhile.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "app/log.h"
#include "app/messages.h"
#include "app/readout.h"
#include "download/job.h"
#include "download/save_folder.h"
#include "manifest/blockmap.h"
#include "manifest/manifest_choice.h"
#include "net/text.h"

namespace {

void PostPercent(HWND window, int percent) {
  if (window) PostMessageA(window, WMU_PROGRESS, static_cast<WPARAM>(percent), 0);
}

// What the player reads about a file that failed on every mirror: missing,
// damaged, or failing for another reason.
std::string FileFailureText(AttemptFailure reason, const std::string& path) {
  const char8_t* prefix = reason == AttemptFailure::Missing   ? u8"镜像服务器上缺少文件："
                          : reason == AttemptFailure::Damaged ? u8"镜像服务器上的文件校验失败："
                                                              : u8"无法从镜像服务器下载文件：";
  return Gbk(prefix) + GbkFromUtf8(path);
}

// "...：<path>，<n> 秒后重试..."; a path too long for the status line is named
// by its last part.
std::string WaitingText(const DownloadJob& job, const ParkedFile& parked, std::uint64_t now) {
  const std::uint64_t seconds = parked.due > now ? (parked.due - now + 999) / 1000 : 0;
  char tail[64];
  std::snprintf(tail, sizeof tail, Gbk(u8"，%llu 秒后重试...").c_str(), static_cast<unsigned long long>(seconds));
  const std::string& path = job.files[parked.file].path;
  std::string text = FileFailureText(parked.reason, path) + tail;
  if (text.size() > 159) text = FileFailureText(parked.reason, path.substr(path.find_last_of('/') + 1)) + tail;
  return text;
}

}  // namespace

void RetryElsewhere(DownloadJob& job, int mirror, int file, bool progressed, const AttemptAnswer& answer) {
  const ManifestFile& f = job.files[file];
  if (auto report = Options.onFailedAttempt.load()) report(job.mirrors[mirror], f.path, answer.text);
  // The pool's lock is never taken under this one: the pool asks about
  // rounds under its own.
  RoundEnd end;
  std::string answers;
  {
    std::lock_guard<std::mutex> lock(job.retryLock);
    FileRetry& retry = job.retries[file];
    end = AfterFailedAttempt(
        retry, mirror, static_cast<int>(job.mirrors.size()),
        [&job](int m) { return job.pool->Connections(m) > 0 && job.pool->IsAvailable(m); }, progressed, answer.failure,
        answer.text);
    if (end.ended) answers = DescribeAnswers(job.mirrors, retry);
  }
  const unsigned streak = progressed ? (job.failStreaks[mirror] = 0) : ++job.failStreaks[mirror];
  if (const std::uint64_t rest = MirrorRestMs(streak)) {
    // Its queue goes to the mirrors that answer, as after a slow transfer.
    job.pool->CoolMirror(mirror, rest);
    for (int queued : job.pool->TakeAll(mirror)) job.pool->ReassignFile(queued, mirror);
  }
  if (!end.ended) {
    job.pool->ReassignFile(file, mirror);
    return;
  }
  if (job.stopWhenUnserved && end.unserved) {
    // The mirrors answer, but not with the manifest's file: they have moved
    // on (or back) to another manifest, which the caller reads.
    LogWrite("File not as the manifest says on any mirror: %s (%s)", f.path.c_str(), answers.c_str());
    job.unserved.store(true);
    SetFatalError(job, Gbk(kServerUpdatingText));
    return;
  }
  LogWrite("File failed on every mirror, round %u, next try in %llu s: %s (%s)", end.round,
           static_cast<unsigned long long>(end.waitMs / 1000), f.path.c_str(), answers.c_str());
  const unsigned giveUp = Options.giveUpAfterRounds.load();
  if (giveUp != 0 && end.round >= giveUp) {
    SetFatalError(job, FileFailureText(end.reason, f.path) + " (" + GbkFromUtf8(answers) + ")");
    return;
  }
  job.pool->Park({file, mirror, job.pool->Now() + end.waitMs, end.reason});
}

bool AfterFailedTransfer(DownloadJob& job, int mirror, int file, TransferOutcome outcome, const AttemptAnswer& answer) {
  const ManifestFile& f = job.files[file];
  const std::string& base = job.mirrors[mirror];
  switch (outcome) {
    case TransferOutcome::Done:
    case TransferOutcome::Cancelled: return false;
    case TransferOutcome::DiskError:
      SetFatalError(job, Gbk(DiskWriteFailureText(f.path, answer.drive, answer.writeError)));
      return false;
    case TransferOutcome::Slow:
      job.pool->PenalizeMirror(mirror);
      LogWrite("Mirror penalized, reassign file: %s from %s", f.path.c_str(), base.c_str());
      for (int queued : job.pool->TakeAll(mirror)) job.pool->ReassignFile(queued, mirror);
      break;
    case TransferOutcome::NotFound:
      if (!answer.quiet) LogWrite("Mirror 404 (%s): %s", base.c_str(), f.path.c_str());
      break;
    case TransferOutcome::Failed:
      if (!answer.quiet) LogWrite("Mirror failed (%s): %s", base.c_str(), f.path.c_str());
      break;
  }
  return true;
}

bool RunJobFiles(DownloadJob& job, const std::function<bool(const Work&)>& fileJob, std::u8string_view label) {
  const int n = static_cast<int>(job.mirrors.size());
  MirrorPool pool(
      n, [] { return static_cast<std::uint64_t>(GetTickCount64()); }, Timings.cooldownMs.load());
  job.stallMs = Timings.stallMs.load();
  job.pool = &pool;
  std::vector<std::uint64_t> sizes;
  for (const ManifestFile& f : job.files) sizes.push_back(f.size);
  pool.SetFiles(std::move(sizes), job.pieces);
  // The first taker of a part of a large file fetches its block map first.
  if (job.pieces && job.manifest)
    for (size_t i = 0; i < job.files.size(); ++i)
      if (job.files[i].size >= kBlockMapMinFileSize)
        pool.SetSplitCost(static_cast<int>(i), BlockMapSizeFor(job.files[i].size));
  // The operator's say on how hard a mirror may be used.
  const std::vector<int> plan = ConnectionPlan(n, job.manifest ? job.manifest->max_connections_per_mirror : 1,
                                               job.manifest ? job.manifest->max_total_connections : 0);
  pool.SetConnections(plan);
  job.counters.slots.assign(job.files.size(), 0);
  job.retries.assign(job.files.size(), FileRetry{});
  job.maps.assign(job.files.size(), nullptr);
  job.mapAsked.assign(job.files.size(), false);
  job.mapRefusedBy.assign(job.files.size(), -1);
  job.failStreaks = std::vector<std::atomic<unsigned>>(job.mirrors.size());
  pool.SetMayTake([&job](int m, int f) {
    std::lock_guard<std::mutex> lock(job.retryLock);
    const FileRetry& r = job.retries[f];
    return m != r.lastFailed && (static_cast<size_t>(m) >= r.tried.size() || !r.tried[m]);
  });
  // Files go to the mirrors with workers in turn, largest first; a file an
  // earlier run left in pieces once for each piece still to come.
  std::vector<int> served;
  for (int m = 0; m < n; ++m)
    if (plan[m] > 0) served.push_back(m);
  size_t turn = 0;
  for (size_t i = 0; i < job.files.size(); ++i) {
    int entries = 1;
    if (i < job.restored.size() && !job.restored[i].empty()) {
      entries = 0;
      for (const Piece& p : job.restored[i]) entries += p.state == PieceState::Free;
      if (entries == 0) entries = 1;  // every piece there: its taker joins them
      SetInFlight(job.counters, static_cast<int>(i), HaveOf(job.restored[i]));
      pool.RestorePieces(static_cast<int>(i), job.restored[i]);
    }
    for (int e = 0; e < entries; ++e) pool.Enqueue(served[turn++ % served.size()], static_cast<int>(i));
  }
  std::uint64_t total = 0;
  for (const ManifestFile& f : job.files) total += f.size;
  const std::uint32_t fileCount = static_cast<std::uint32_t>(job.files.size());

  std::vector<std::thread> workers;
  int wanted = 0;
  for (int m = 0; m < n; ++m) {
    for (int k = 0; k < plan[m]; ++k, ++wanted) {
      try {
        workers.emplace_back([&job, &pool, &fileJob, m] {
          try {
            pool.RunWorker(m, job.flags, fileJob, [](unsigned ms) { Sleep(ms); });
          } catch (...) {
            SetFatalError(job, Gbk(u8"下载未完成。"));
          }
        });
      } catch (...) {
        LogWrite("Mirror failed (%s): worker thread could not start", job.mirrors[m].c_str());
      }
    }
  }
  // A mirror short of its workers is asked less than the plan says, and
  // failed files are handed round as if it were served: the job ends
  // instead, and the workers that did start stop below.
  if (static_cast<int>(workers.size()) < wanted) SetFatalError(job, Gbk(u8"系统繁忙，无法启动下载线程，请稍后重试。"));

  const std::string cooling = Gbk(u8"镜像冷却中，等待恢复: ");
  const std::string retrying = Gbk(u8"连接重试中: ");
  const ULONGLONG loopStart = GetTickCount64();
  ULONGLONG lastPost = 0, lastChange = loopStart;
  std::uint64_t lastSeen = 0, lastReceived = 0;
  SpeedMeter meter;
  bool firstPass = true;
  for (;;) {
    if (job.flags.Cancelled() || job.flags.fatal.load()) break;
    pool.ReleaseDue();
    std::uint32_t c = job.counters.completedFiles.load();
    std::uint64_t d = job.counters.completedBytes.load() + job.counters.inFlightBytes.load();
    // Files are recorded before they are counted: whatever c and d include
    // is in the progress file before a post shows it.
    SaveChangedProgress(job);
    ULONGLONG now = GetTickCount64();
    // The speed is what came off the network, counted by the readers as it
    // arrives; `d` moves by whole blocks and by a resumed file's length.
    const std::uint64_t received = job.counters.receivedBytes.load();
    meter.Sample(now - loopStart, received);
    if (d != lastSeen) {
      lastSeen = d;
      lastChange = now;
    }
    if (firstPass || now - lastPost >= 300) {
      firstPass = false;
      lastPost = now;
      PostPercent(job.window, ReadoutPercent(d, total));
      const double speed = meter.BytesPerSecond();
      // The average lingers for seconds after the bytes stop; whether a
      // parked file's wait or a stall is shown depends on bytes arriving now.
      const double arriving = received != lastReceived ? speed : 0.0;
      lastReceived = received;
      const std::string sizes = SizeText(d) + " / " + SizeText(total);
      std::string text;
      ParkedFile parked;
      const bool waiting = pool.NextParked(&parked);
      switch (
          ChooseJobStatus(pool.AvailableMirrorCount(), c, fileCount, now - lastChange, arriving / 1048576.0, waiting)) {
        case JobStatusKind::FileWaiting: text = WaitingText(job, parked, now); break;
        case JobStatusKind::CoolingDown: text = cooling + sizes; break;
        case JobStatusKind::Retrying: text = retrying + sizes; break;
        case JobStatusKind::Downloading:
          text = GbkFromUtf8(ReadoutText(label, {d, total, speed, meter.Steady()}));
          break;
      }
      PostStatusText(job.window, text.c_str());
    }
    if (c >= fileCount) break;
    Sleep(200);
  }

  job.flags.stop.store(true);
  pool.WakeAll();
  for (auto& w : workers) w.join();
  SaveChangedProgress(job);

  job.pool = nullptr;
  return !job.flags.fatal.load() && !job.flags.Cancelled() && job.counters.completedFiles.load() >= fileCount;
}
