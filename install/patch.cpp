#include <windows.h>

#include "app/jobs.h"
#include "app/messages.h"
#include "game/game.h"
#include "install/delta.h"
#include "install/install.h"
#include "manifest/blockmap.h"
#include "manifest/fetch_manifest.h"
#include "manifest/install_paths.h"
#include "manifest/sha256.h"
#include "net/download.h"

namespace {

// An archive that has a previous version is first built from it and the
// changed blocks (when the mirror has a block map for it); the built file
// then takes the archive's place as a finished download does. Without a
// map, or when that fails, the archive is downloaded whole.
bool UpdateArchive(const ClientManifest& manifest, const ManifestFile& entry, const DownloadRequest& r) {
  if (r.hasBackup && !manifest.mirrors.empty()) {
    DeltaRequest d;
    d.window = r.window;
    d.local = r.backup;
    d.temp = r.target + L".new";
    d.mapUrl = BuildBlockMapUrl(manifest.mirrors.front(), manifest.product, entry.path);
    d.fileUrl = r.url;
    d.entry = entry;
    d.cancel = r.cancel;
    d.base = r.base;
    d.overallTotal = r.overallTotal;
    d.percentFormat = r.percentFormat;
    switch (BuildArchiveFromDelta(d)) {
      case DeltaResult::kBuilt:
        if (MoveFileExW(d.temp.c_str(), r.target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
          DeleteFileW(r.backup.c_str());
          return true;
        }
        DeleteFileW(d.temp.c_str());
        break;
      case DeltaResult::kCancelled: RestoreBackupFile(r.target, r.backup); return false;
      case DeltaResult::kWhole: break;
    }
  }
  return DownloadFile(r);
}

// The archives are fetched again by the worker: the manifest may have
// changed since the window compared them.
void RunPatch(const PatchJob& job, bool* downloaded5) {
  auto fail = [&](int result) {
    if (!*downloaded5 && job.hasBackup5) RestoreBackupFile(job.archive5, job.backup5);
    FinishPatchJob(job, result);
  };
  ClientManifest manifest;
  std::string error, url5, url6;
  if (!FetchClientManifest(job.manifestName, &manifest, &error)) return fail(kJobFailed);
  const ManifestFile* e5 = FindManifestFile(manifest, kPatch5Path);
  const ManifestFile* e6 = FindManifestFile(manifest, kPatch6Path);
  if (!e5 || !e6) return fail(kJobFailed);
  if (!FileUrlFromManifest(manifest, *e5, &url5) || !FileUrlFromManifest(manifest, *e6, &url6)) return fail(kJobFailed);

  bool need5 = !IsFileCurrent(job.archive5, *e5), need6 = !IsFileCurrent(job.archive6, *e6);
  std::uint64_t size5 = need5 ? e5->size : 0, size6 = need6 ? e6->size : 0;
  std::uint64_t total = 0;
  if (need5 && need6)
    total = (size5 > 0 && size6 > 0) ? size5 + size6 : 0;
  else if (need5)
    total = size5;
  else if (need6)
    total = size6;

  auto request = [&](const std::wstring& target, const std::wstring& backup, bool hasBackup, const std::string& url,
                     std::uint64_t base, const ManifestFile& entry) {
    DownloadRequest r;
    r.window = job.window;
    r.target = target;
    r.backup = backup;
    r.hasBackup = hasBackup;
    r.url = url;
    r.percentFormat = job.percentFormat;
    r.cancel = job.cancel;
    r.base = base;
    r.overallTotal = total;
    r.sizeFormat = job.sizeFormat;
    r.expectedHash = entry.sha256;
    r.expectedSize = entry.size;
    return r;
  };
  std::atomic<bool>* cancel = job.cancel;
  bool ok = true;
  std::uint64_t base6 = 0;
  if (need5 && !cancel->load()) {
    *downloaded5 = true;  // DownloadFile owns archive 5's backup from here on
    ok = UpdateArchive(manifest, *e5, request(job.archive5, job.backup5, job.hasBackup5, url5, 0, *e5));
    if (ok && total > 0) base6 = size5;
  }
  if (ok && need6 && !cancel->load()) {
    bool hasBackup6 = false;
    if (GetFileAttributesW(job.archive6.c_str()) != INVALID_FILE_ATTRIBUTES) {
      DeleteFileW(job.backup6.c_str());
      hasBackup6 = MoveFileW(job.archive6.c_str(), job.backup6.c_str()) != 0;
    }
    ok = UpdateArchive(manifest, *e6, request(job.archive6, job.backup6, hasBackup6, url6, base6, *e6));
  }
  if (ok && !cancel->load()) {
    RemoveClientCache(job.gamePath);
    RemoveStalePatches(job.gamePath);
    if (job.window && IsWindow(job.window)) {
      PostStatusText(job.window, job.successText.c_str());
      PostMessageA(job.window, WMU_PROGRESS, 100, 0);
    }
    FinishPatchJob(job, kJobDone);
    return;
  }
  fail(cancel->load() ? kJobCancelled : kJobFailed);
}

}  // namespace

void FinishPatchJob(const PatchJob& job, int result) {
  job.busy->store(false);
  if (job.window && IsWindow(job.window)) PostMessageA(job.window, job.finishMessage, static_cast<WPARAM>(result), 0);
}

const ManifestFile* FindManifestFile(const ClientManifest& m, const std::string& path) {
  for (const ManifestFile& f : m.files)
    if (f.path == path) return &f;
  return nullptr;
}

bool IsFileCurrent(const std::wstring& path, const ManifestFile& entry) {
  std::uint64_t size = 0;
  if (!FileSizeOf(path, &size) || size != entry.size) return false;
  std::string hash;
  return Sha256HexOfFile(path, &hash) && DigestEquals(hash, entry.sha256);
}

bool FileUrlFromManifest(const ClientManifest& m, const ManifestFile& entry, std::string* url) {
  if (m.mirrors.empty()) return false;
  *url = BuildFileUrl(m.mirrors.front(), m.product, entry.path);
  return true;
}

void PatchWorker(PatchJob job) {
  bool downloaded5 = false;
  RunWorkerGuarded(
      "PatchWorker", [&] { RunPatch(job, &downloaded5); },
      [&] {
        if (!downloaded5 && job.hasBackup5) RestoreBackupFile(job.archive5, job.backup5);
        FinishPatchJob(job, kJobFailed);
      });
}
