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

}  // namespace

EngineTimings Timings;
EngineOptions Options;

bool RunClientDownload(HWND window, const ClientManifest& manifest, const std::wstring& saveFolder,
                       std::atomic<bool>* cancel, std::string* error, bool* unserved) {
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
  job.stopWhenUnserved = unserved != nullptr;
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
  if (job.mirrors.empty()) {
    *error = Gbk(u8"客户端清单为空。");
    return false;
  }
  job.installDir = JoinPath(saveFolder, Utf8ToWide(manifest.install_root));
  const bool resumed = GetFileAttributesW(job.installDir.c_str()) != INVALID_FILE_ATTRIBUTES;
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

  // Mirrors that serve ranges take the files in pieces; what an earlier run
  // left of each is found by its name beside the file.
  job.pieces = manifest.range_supported;
  job.restored.assign(job.files.size(), {});
  if (job.pieces && resumed)
    for (size_t i = 0; i < job.files.size(); ++i)
      job.restored[i] =
          PiecesOnDisk(JoinPath(job.installDir, ManifestPathToLocal(Utf8ToWide(job.files[i].path))), job.files[i].size);

  job.progressPath = ProgressFilePath(saveFolder, manifest.product);
  LoadProgress(job.progressPath, manifest, saveFolder, &job.progress);

  std::uint64_t total = 0;
  for (const ManifestFile& f : job.files) total += f.size;
  if (manifest.total_bytes != 0 && manifest.total_bytes != total)
    LogWrite("total_bytes mismatch: declared=%llu sum=%llu, using sum",
             static_cast<unsigned long long>(manifest.total_bytes), static_cast<unsigned long long>(total));

  PostStatusText(window, Gbk(u8"正在下载客户端...").c_str());
  const bool whole = RunJobFiles(
      job, [&job](const Work& work) { return FileJob(job, work); }, u8"正在下载:");
  if (unserved) *unserved = job.unserved.load();

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
  if (!whole) {
    *error = !jobError.empty() ? jobError : Gbk(u8"下载未完成。");
    return false;
  }
  if (window) PostMessageA(window, WMU_PROGRESS, 100, 0);
  PostStatusText(window, Gbk(u8"下载完成！").c_str());
  return true;
}
