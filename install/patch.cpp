#include <windows.h>

#include "app/jobs.h"
#include "app/messages.h"
#include "app/readout.h"
#include "download/take_manifest.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "install/delta.h"
#include "install/install.h"
#include "install/transaction.h"
#include "manifest/blockmap.h"
#include "manifest/install_paths.h"
#include "hash/sha256.h"
#include "net/download.h"
#include "net/text.h"

namespace {

// One archive, into a temporary file beside it: built from the archive on
// disk and the blocks that changed when the mirror has a block map for it,
// otherwise downloaded whole; verified, then put in place of the old one in
// one step (CommitArchive). The old archive stays in place, working, until
// the new one is complete: it is also the copy the blocks are taken from.
// `fetched` gets the bytes the new archive cost on the wire.
bool UpdateArchive(const PatchJob& job, const ClientManifest& manifest, const ManifestFile& entry, DownloadRequest r,
                   std::wstring* stuck, std::uint64_t* fetched) {
  const std::wstring archive = r.target;
  r.target = MakingName(archive);
  const std::wstring folder = GameFolderOf(job.gamePath);
  if (!StageArchive(folder, r.target)) return false;
  bool built = false;
  std::atomic<std::uint64_t> received{0};  // the map and the ranges
  if (!manifest.mirrors.empty() && GetFileAttributesW(archive.c_str()) != INVALID_FILE_ATTRIBUTES) {
    DeltaRequest d;
    d.window = r.window;
    d.local = archive;
    d.temp = r.target;
    d.entry = entry;
    d.cancel = r.cancel;
    d.base = r.base;
    d.overallTotal = r.overallTotal;
    d.percentFormat = r.percentFormat;
    d.label = r.label;
    d.received = &received;
    // A mirror that breaks off the ranges hands the build to the next one,
    // which takes it up where it stopped; only a map that cannot serve
    // means the whole archive.
    for (const std::string& mirror : manifest.mirrors) {
      d.mapUrl = BuildBlockMapUrl(mirror, manifest.product, entry.path);
      d.fileUrl = BuildFileUrl(mirror, manifest.product, entry.path);
      const DeltaResult result = BuildArchiveFromDelta(d);
      built = result == DeltaResult::kBuilt;
      if (result != DeltaResult::kMirrorFailed || job.cancel->load()) break;
    }
    *fetched = received.load();
  }
  // A cancelled delta leaves the flag set, so no whole download follows.
  // The whole download goes on from what the builds made of the new file.
  if (!built && !job.cancel->load()) {
    std::uint64_t made = 0;
    if (FileSizeOf(r.target, &made) && made < entry.size) r.resumeFrom = made;
    built = DownloadFile(r);
    *fetched = received.load() + entry.size - r.resumeFrom;
  }
  if (built && !job.cancel->load()) return CommitArchive(folder, r.target, archive, stuck);
  RecoverJournal(JournalPathOf(JournalKind::Patch), stuck);  // the partial file only
  stuck->clear();
  return false;
}

// The archives are fetched again by the worker: the manifest may have
// changed since the window compared them.
void RunPatch(const PatchJob& job) {
  std::wstring stuck;
  auto fail = [&](int result) {
    if (!stuck.empty() && job.window && IsWindow(job.window)) {
      PostStatusText(job.window, LockedFileText(stuck).c_str());
      result = kJobFilesLocked;
    }
    FinishPatchJob(job, result);
  };
  // What an earlier job left unfinished is finished first.
  if (!RecoverJournal(JournalPathOf(JournalKind::Patch), &stuck, GameFolderOf(job.gamePath))) return fail(kJobFailed);
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

  auto request = [&](const std::wstring& target, const std::string& url, std::uint64_t base,
                     const ManifestFile& entry) {
    DownloadRequest r;
    r.window = job.window;
    r.target = target;
    r.url = url;
    r.percentFormat = job.percentFormat;
    r.cancel = job.cancel;
    r.base = base;
    r.overallTotal = total;
    r.sizeFormat = job.sizeFormat;
    r.label = job.label;
    r.expectedHash = entry.sha256;
    r.expectedSize = entry.size;
    return r;
  };
  std::atomic<bool>* cancel = job.cancel;
  bool ok = true;
  std::uint64_t base6 = 0, fetched = 0;
  // The archives put in place, for the closing line.
  std::vector<std::string> updated;
  auto update = [&](const std::wstring& archive, const std::string& url, std::uint64_t base, const ManifestFile& e) {
    std::uint64_t cost = 0;
    if (!UpdateArchive(job, manifest, e, request(archive, url, base, e), &stuck, &cost)) return false;
    fetched += cost;
    updated.push_back(e.path.substr(e.path.rfind('/') + 1));
    return true;
  };
  if (need5 && !cancel->load()) {
    ok = update(job.archive5, url5, 0, *e5);
    if (ok && total > 0) base6 = size5;
  }
  if (ok && need6 && !cancel->load()) ok = update(job.archive6, url6, base6, *e6);
  if (ok && !cancel->load()) {
    RemoveClientCache(job.gamePath);
    RemoveStalePatches(job.gamePath);
    if (job.window && IsWindow(job.window)) {
      const std::string detail = PatchDoneDetail(updated.size(), fetched);
      PostStatusText(job.window, (job.successText + (detail.empty() ? "" : " " + GbkFromUtf8(detail))).c_str());
      PostMessageA(job.window, WMU_PROGRESS, 100, 0);
    }
    FinishPatchJob(job, kJobDone);
    return;
  }
  // A cancel leaves a line that says what changed: the window keeps it.
  if (cancel->load() && stuck.empty() && job.window && IsWindow(job.window))
    PostStatusText(job.window, GbkFromUtf8(PatchCancelledText(updated)).c_str());
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
  RunWorkerGuarded(
      "PatchWorker", [&] { RunPatch(job); },
      [&] {
        std::wstring stuck;  // a partial download is removed now, or by the next start
        RecoverJournal(JournalPathOf(JournalKind::Patch), &stuck);
        FinishPatchJob(job, kJobFailed);
      });
}
