#include "download/job.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>

#include "app/log.h"
#include "app/messages.h"
#include "app/readout.h"
#include "manifest/install_paths.h"
#include "net/text.h"

namespace {

void PostPercent(HWND window, int percent) {
  if (window) PostMessageA(window, WMU_PROGRESS, static_cast<WPARAM>(percent), 0);
}

// The first file, in the manifest's order, that names the same local file as
// an earlier one ("Data/a.MPQ" and "data\\A.mpq."): two transfers would write
// that file at once, each verifying only the bytes it wrote itself.
const ManifestFile* RepeatedFile(const std::vector<ManifestFile>& files) {
  std::vector<std::pair<std::wstring, size_t>> keys;
  keys.reserve(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    std::wstring key = Utf8ToWide(LocalPathKey(files[i].path));
    // The file system ignores the case of every letter, not only of ASCII.
    if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    keys.emplace_back(std::move(key), i);
  }
  std::sort(keys.begin(), keys.end());
  size_t first = files.size();
  for (size_t i = 1; i < keys.size(); ++i)
    if (keys[i].first == keys[i - 1].first) first = std::min(first, keys[i].second);
  return first < files.size() ? &files[first] : nullptr;
}

// Refuses, before anything is written, a download whose files cannot fit.
// When the free space cannot be read the job goes on: a full disk still ends
// it with its write error.
bool CheckRoom(const DownloadJob& job, const std::wstring& saveFolder, std::string* error) {
  std::vector<LocalCopy> copies;
  copies.reserve(job.files.size());
  // A new download has no install folder yet and nothing to look for in it
  // (a look per file costs 6 to 17 ms for 600 files under Wine).
  const bool started = GetFileAttributesW(job.installDir.c_str()) != INVALID_FILE_ATTRIBUTES;
  for (const ManifestFile& f : job.files) {
    std::uint64_t onDisk = 0;
    if (started) FileSizeOf(JoinPath(job.installDir, ManifestPathToLocal(Utf8ToWide(f.path))), &onDisk);
    copies.push_back({f.size, onDisk});
  }
  const std::uint64_t needed = BytesStillToFetch(copies);
  std::uint64_t freeBytes = 0;
  if (!FreeBytesAt(saveFolder, &freeBytes)) {
    LogWrite("GetDiskFreeSpaceExW failed: %ls err=%lu", saveFolder.c_str(), static_cast<unsigned long>(GetLastError()));
    return true;
  }
  if (RoomEnough(needed, freeBytes)) return true;
  LogWrite("Not enough disk space: need %llu bytes, %llu free in %ls", static_cast<unsigned long long>(needed),
           static_cast<unsigned long long>(freeBytes), saveFolder.c_str());
  const std::string format = Gbk(u8"磁盘空间不足：还需下载 %.2f GB，所选位置仅剩 %.2f GB。请选择其他位置。");
  char text[256];
  std::snprintf(text, sizeof text, format.c_str(), needed / 1073741824.0, freeBytes / 1073741824.0);
  *error = text;
  return false;
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

EngineTimings Timings;
EngineOptions Options;

void RetryElsewhere(DownloadJob& job, int mirror, int file, bool progressed, const AttemptAnswer& answer) {
  const ManifestFile& f = job.files[file];
  if (auto report = Options.onFailedAttempt.load()) report(job.mirrors[mirror], f.path, answer.text);
  FileRetry& retry = job.retries[file];
  const RoundEnd end = AfterFailedAttempt(
      retry, mirror, static_cast<int>(job.mirrors.size()), [&job](int m) { return job.pool->IsAvailable(m); },
      progressed, answer.failure, answer.text);
  unsigned& streak = job.failStreaks[mirror];
  streak = progressed ? 0 : streak + 1;
  if (const std::uint64_t rest = MirrorRestMs(streak)) {
    // Its queue goes to the mirrors that answer, as after a slow transfer.
    job.pool->CoolMirror(mirror, rest);
    for (int queued : job.pool->TakeAll(mirror)) job.pool->ReassignFile(queued, mirror);
  }
  if (!end.ended) {
    job.pool->ReassignFile(file, mirror);
    return;
  }
  const std::string answers = DescribeAnswers(job.mirrors, retry);
  LogWrite("File failed on every mirror, round %u, next try in %llu s: %s (%s)", end.round,
           static_cast<unsigned long long>(end.waitMs / 1000), f.path.c_str(), answers.c_str());
  const unsigned giveUp = Options.giveUpAfterRounds.load();
  if (giveUp != 0 && end.round >= giveUp) {
    SetFatalError(job, FileFailureText(end.reason, f.path) + " (" + GbkFromUtf8(answers) + ")");
    return;
  }
  job.pool->Park({file, mirror, job.pool->Now() + end.waitMs, end.reason});
}

bool RunClientDownload(HWND window, const ClientManifest& manifest, const std::wstring& saveFolder,
                       std::atomic<bool>* cancel, std::string* error) {
  if (manifest.files.empty()) {
    *error = Gbk(u8"客户端清单为空。");
    return false;
  }
  // The two are joined into paths under the save folder: each must be one
  // plain name, or a server could place the client (and the progress file)
  // anywhere, such as a Startup folder.
  for (const std::string* name : {&manifest.install_root, &manifest.product}) {
    if (!IsPlainFolderName(*name)) {
      *error = Gbk(u8"清单包含非法路径: ") + GbkFromUtf8(*name);
      return false;
    }
  }
  DownloadJob job;
  job.window = window;
  job.manifest = &manifest;
  job.flags.cancel = cancel;
  job.files = manifest.files;
  std::sort(job.files.begin(), job.files.end(),
            [](const ManifestFile& a, const ManifestFile& b) { return a.size > b.size; });
  for (const ManifestFile& f : job.files) {
    if (!IsSafeManifestPath(f.path)) {
      *error = Gbk(u8"清单包含非法路径: ") + GbkFromUtf8(f.path);
      return false;
    }
  }
  if (const ManifestFile* repeated = RepeatedFile(manifest.files)) {
    *error = Gbk(u8"清单包含非法路径: ") + GbkFromUtf8(repeated->path);
    return false;
  }
  job.mirrors = manifest.mirrors;
  const int n = static_cast<int>(job.mirrors.size());
  if (n == 0) {
    *error = Gbk(u8"客户端清单为空。");
    return false;
  }
  job.installDir = JoinPath(saveFolder, Utf8ToWide(manifest.install_root));
  if (!CheckRoom(job, saveFolder, error)) return false;
  // The save folder too, when the operator's tool names one that is not
  // there yet: the progress record goes into it, and without it the record
  // was never written and an update later could not tell the client's files.
  CreateParentDirectories(job.installDir);
  CreateDirectoryW(job.installDir.c_str(), nullptr);

  // Files of the old peer-to-peer distribution, beside the install folder.
  for (const wchar_t* suffix : {L".torrent", L".torrent.fastresume"}) {
    std::wstring legacy = job.installDir + suffix;
    if (DeleteFileW(legacy.c_str())) LogWrite("Removed legacy P2P file: %ls", legacy.c_str());
  }

  MirrorPool pool(
      n, [] { return static_cast<std::uint64_t>(GetTickCount64()); }, Timings.cooldownMs.load());
  job.stallMs = Timings.stallMs.load();
  job.pool = &pool;
  for (size_t i = 0; i < job.files.size(); ++i) pool.Enqueue(static_cast<int>(i % n), static_cast<int>(i));

  job.progressPath = ProgressFilePath(saveFolder, manifest.product);
  LoadProgress(job.progressPath, manifest, saveFolder, &job.progress);
  job.counters.slots.assign(job.files.size(), 0);
  job.retries.assign(job.files.size(), FileRetry{});
  job.failStreaks.assign(job.mirrors.size(), 0);

  std::uint64_t total = 0;
  for (const ManifestFile& f : job.files) total += f.size;
  if (manifest.total_bytes != 0 && manifest.total_bytes != total)
    LogWrite("total_bytes mismatch: declared=%llu sum=%llu, using sum",
             static_cast<unsigned long long>(manifest.total_bytes), static_cast<unsigned long long>(total));
  const std::uint32_t fileCount = static_cast<std::uint32_t>(job.files.size());

  PostStatusText(window, Gbk(u8"正在下载客户端...").c_str());
  std::vector<std::thread> workers;
  for (int m = 0; m < n; ++m) {
    try {
      workers.emplace_back([&job, &pool, m] {
        try {
          pool.RunWorker(
              m, job.flags, [&job](int mirror, int file) { return FileJob(job, mirror, file); },
              [](unsigned ms) { Sleep(ms); });
        } catch (...) {
          SetFatalError(job, Gbk(u8"下载未完成。"));
        }
      });
    } catch (...) {
      LogWrite("Mirror failed (%s): worker thread could not start", job.mirrors[m].c_str());
    }
  }
  // Files queued on a mirror without a worker would never be taken, and
  // failed files are handed round to every mirror: the job ends instead,
  // and the workers that did start stop below.
  if (static_cast<int>(workers.size()) < n) SetFatalError(job, Gbk(u8"系统繁忙，无法启动下载线程，请稍后重试。"));

  const std::string cooling = Gbk(u8"镜像冷却中，等待恢复: ");
  const std::string retrying = Gbk(u8"连接重试中: ");
  const ULONGLONG loopStart = GetTickCount64();
  ULONGLONG lastPost = 0, lastChange = loopStart;
  std::uint64_t lastSeen = 0;
  SpeedMeter meter;
  bool firstPass = true;
  for (;;) {
    if ((cancel && cancel->load()) || job.flags.fatal.load()) break;
    pool.ReleaseDue();
    std::uint32_t c = job.counters.completedFiles.load();
    std::uint64_t d = job.counters.completedBytes.load() + job.counters.inFlightBytes.load();
    // Files are recorded before they are counted: whatever c and d include
    // is in the progress file before a post shows it.
    SaveChangedProgress(job);
    ULONGLONG now = GetTickCount64();
    // The speed is what came off the network, counted by the readers as it
    // arrives; `d` moves by whole blocks and by a resumed file's length.
    meter.Sample(now - loopStart, job.counters.receivedBytes.load());
    if (d != lastSeen) {
      lastSeen = d;
      lastChange = now;
    }
    if (firstPass || now - lastPost >= 300) {
      firstPass = false;
      lastPost = now;
      PostPercent(window, ReadoutPercent(d, total));
      const double speed = meter.BytesPerSecond();
      const std::string sizes = SizeText(d) + " / " + SizeText(total);
      std::string text;
      ParkedFile parked;
      const bool waiting = pool.NextParked(&parked);
      switch (
          ChooseJobStatus(pool.AvailableMirrorCount(), c, fileCount, now - lastChange, speed / 1048576.0, waiting)) {
        case JobStatusKind::FileWaiting: text = WaitingText(job, parked, now); break;
        case JobStatusKind::CoolingDown: text = cooling + sizes; break;
        case JobStatusKind::Retrying: text = retrying + sizes; break;
        case JobStatusKind::Downloading:
          text = GbkFromUtf8(ReadoutText(u8"正在下载:", {d, total, speed, meter.Steady()}));
          break;
      }
      PostStatusText(window, text.c_str());
    }
    if (c >= fileCount) break;
    Sleep(200);
  }

  job.flags.stop.store(true);
  pool.WakeAll();
  for (auto& w : workers) w.join();
  SaveChangedProgress(job);

  std::string jobError;
  {
    std::lock_guard<std::mutex> lock(job.errorLock);
    jobError = job.jobError;
  }
  if (cancel && cancel->load()) {
    const std::uint64_t kept = job.counters.completedBytes.load() + job.counters.inFlightBytes.load();
    PostStatusText(window, GbkFromUtf8(CancelledKeptText(kept)).c_str());
    *error = !jobError.empty() ? jobError : Gbk(u8"下载已取消。");
    return false;
  }
  if (job.flags.fatal.load() || job.counters.completedFiles.load() < fileCount) {
    *error = !jobError.empty() ? jobError : Gbk(u8"下载未完成。");
    return false;
  }
  PostPercent(window, 100);
  PostStatusText(window, Gbk(u8"下载完成！").c_str());
  return true;
}
