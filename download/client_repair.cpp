#include "download/client_repair.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/readout.h"
#include "app/messages.h"
#include "download/job.h"
#include "download/pool.h"
#include "download/take_manifest.h"
#include "install/delta.h"
#include "install/install.h"
#include "install/transaction.h"
#include "manifest/block_regions.h"
#include "manifest/blockmap.h"
#include "manifest/install_paths.h"
#include "hash/sha256.h"
#include "net/text.h"

namespace {

// A repair's own state beside the engine's job, whose files are those to
// fetch. Each file's entries are touched only by the worker that holds the
// file, as the engine's retries are.
struct RepairWork {
  DownloadJob job;
  std::atomic<bool>* cancel = nullptr;
  // Whether a file is still to be built from its blocks; it comes whole from
  // then on once a mirror has no map for it that fits.
  std::vector<char> byBlocks;
  // Where the file that stands at a file's place goes instead of away, by
  // file; empty: it goes (a file of the client's own).
  std::vector<std::wstring> keepAs;
  std::atomic<std::uint32_t> repaired{0};
  std::mutex stuckLock;  // guards stuck and placed
  std::wstring stuck;
  std::vector<ManifestFile> placed;
};

std::wstring TargetOf(const DownloadJob& job, const ManifestFile& f) {
  return JoinPath(job.installDir, ManifestPathToLocal(Utf8ToWide(f.path)));
}

// The verified new file at `temp` goes in place of the old one, under the
// file's journal.
bool PutInPlace(RepairWork& w, int mirror, int file, const std::wstring& temp, const std::wstring& target) {
  DownloadJob& job = w.job;
  const ManifestFile& f = job.files[file];
  // Counted whole while it is flushed and renamed in: the readout must not
  // step back meanwhile.
  SetInFlight(job.counters, file, f.size);
  std::wstring stuck;
  const bool committed =
      CommitArchive(job.installDir, temp, target, &stuck, RepairJournalPath(job.installDir, file), w.keepAs[file]);
  SetInFlight(job.counters, file, 0);
  if (!committed) {
    if (stuck.empty()) stuck = target;
    {
      std::lock_guard<std::mutex> lock(w.stuckLock);
      if (w.stuck.empty()) w.stuck = stuck;
    }
    SetFatalError(job, LockedFileText(stuck));
    return false;
  }
  CountComplete(job, f);
  w.repaired.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(w.stuckLock);
    w.placed.push_back(f);
  }
  job.failStreaks[mirror] = 0;
  LogWrite("Repair: %s replaced", f.path.c_str());
  return true;
}

// One file from `mirror`, into a file beside it: from its blocks where the
// mirror has the map, otherwise whole, resuming what an earlier attempt on
// another mirror left. A mirror that fails either way hands the file on,
// with the engine's penalties and waits.
bool RepairFileJob(RepairWork& w, int mirror, int file) {
  DownloadJob& job = w.job;
  if (job.flags.fatal.load()) return false;
  const ManifestFile& f = job.files[file];
  const std::wstring target = TargetOf(job, f), temp = MakingName(target);
  if (!StageArchive(job.installDir, temp, RepairJournalPath(job.installDir, file))) {
    SetFatalError(job, Gbk(u8"磁盘写入失败: ") + GbkFromUtf8(f.path));
    return false;
  }
  const std::string& base = job.mirrors[mirror];
  const std::string url = BuildFileUrl(base, job.manifest->product, f.path);
  AttemptAnswer answer;
  answer.quiet = job.retries[file].rounds > 0;
  if (w.byBlocks[file]) {
    DeltaRequest d;
    d.local = target;
    d.temp = temp;
    // The map from the mirror the ranges come from.
    d.mapUrl = BuildBlockMapUrl(base, job.manifest->product, f.path);
    d.regionUrl = BuildRegionIndexUrl(base, job.manifest->product, f.path);
    d.fileUrl = url;
    d.entry = f;
    d.cancel = w.cancel;
    d.halt = &job.flags.fatal;
    d.received = &job.counters.receivedBytes;
    d.stallMs = job.stallMs;
    d.onProgress = [&job, file](std::uint64_t done) { SetInFlight(job.counters, file, done); };
    const DeltaResult built = BuildArchiveFromDelta(d);
    if (built == DeltaResult::kBuilt) return PutInPlace(w, mirror, file, temp, target);
    SetInFlight(job.counters, file, 0);
    switch (built) {
      case DeltaResult::kBuilt:
      case DeltaResult::kCancelled: return false;
      case DeltaResult::kMirrorFailed:
        answer.failure = AttemptFailure::Other;
        answer.text = "block map or ranges failed";
        if (!answer.quiet) LogWrite("Repair: the blocks of %s did not come from %s", f.path.c_str(), base.c_str());
        RetryElsewhere(job, mirror, file, false, answer);
        return false;
      case DeltaResult::kWhole:
        // No map there, or none that fits: no fault of the mirror's.
        LogWrite("Repair: %s comes whole", f.path.c_str());
        w.byBlocks[file] = false;
        break;
    }
  }
  std::uint64_t before = 0, after = 0;
  FileSizeOf(temp, &before);
  const TransferOutcome outcome = TransferFile(job, url, temp, f.size, f.sha256, file, &answer);
  if (outcome == TransferOutcome::Done) return PutInPlace(w, mirror, file, temp, target);
  if (!AfterFailedTransfer(job, mirror, file, outcome, answer)) return false;
  FileSizeOf(temp, &after);
  RetryElsewhere(job, mirror, file, after > before, answer);
  return false;
}

// Removes the files the launcher put there for an earlier manifest that this
// one no longer lists, each only while it is still as the launcher left it.
std::uint32_t RemoveObsolete(const ClientManifest& m, const std::wstring& installDir, const ProgressDocument& record) {
  std::uint32_t removed = 0;
  if (record.manifest_id.empty() || record.manifest_id == m.manifest_id) return 0;
  for (const std::string& path : ObsoleteFiles(record, m.files)) {
    const FileProgress& entry = record.files.at(path);
    const std::wstring local = JoinPath(installDir, ManifestPathToLocal(Utf8ToWide(path)));
    std::uint64_t size = 0;
    std::string digest;
    if (!IsInsideInstallDir(installDir, local) || !FileSizeOf(local, &size) || size != entry.size) continue;
    if (!Sha256HexOfFile(local, &digest) || !DigestEquals(digest, entry.sha256)) {
      LogWrite("Repair: %s changed since the launcher put it there, kept", path.c_str());
      continue;
    }
    if (DeleteFileW(local.c_str())) {
      LogWrite("Repair: removed %s, which the new client no longer lists", path.c_str());
      ++removed;
    }
  }
  return removed;
}

// The archives in Data and its folders (where the game loads them) that the
// manifest does not list. Without a record the launcher cannot tell which of
// them it put there for an earlier version: they stay, named to the player.
std::vector<std::string> UnlistedArchives(const ClientManifest& m, const std::wstring& installDir) {
  std::vector<std::wstring> listed;
  for (const ManifestFile& f : m.files) {
    std::wstring key = Utf8ToWide(LocalPathKey(f.path));
    if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    listed.push_back(std::move(key));
  }
  std::vector<std::string> out;
  std::vector<std::wstring> folders = {L"Data"};
  for (size_t i = 0; i < folders.size(); ++i) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(JoinPath(installDir, folders[i] + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = fd.cFileName, rel = folders[i] + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (i == 0) folders.push_back(rel);  // Data\<locale>, one deep
        continue;
      }
      if (name.size() < 4 || CompareStringOrdinal(name.c_str() + name.size() - 4, 4, L".MPQ", 4, TRUE) != CSTR_EQUAL)
        continue;
      std::wstring path = rel;
      std::replace(path.begin(), path.end(), L'\\', L'/');
      std::wstring key = Utf8ToWide(LocalPathKey(WideToUtf8(path)));
      CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
      if (std::find(listed.begin(), listed.end(), key) == listed.end()) out.push_back(WideToUtf8(path));
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  std::sort(out.begin(), out.end());
  for (const std::string& path : out)
    LogWrite("Repair: %s is not listed and not known as the launcher's, kept", path.c_str());
  return out;
}

// The record of a client whose every listed file is now the manifest's.
void RecordWholeClient(const ClientManifest& m, const std::wstring& saveFolder, const std::wstring& installDir) {
  ProgressState state;
  state.product = m.product;
  state.manifest_id = m.manifest_id;
  state.install_root = m.install_root;
  state.install_dir = saveFolder;
  for (const ManifestFile& f : m.files) state.files[f.path] = {f.size, f.sha256, f.size, true};
  ProgressFilePath(saveFolder, m.product);  // makes its folders
  if (!SaveProgress(ProgressRecordPath(saveFolder, installDir, m), state))
    LogWrite("Repair: progress record not written");
}

}  // namespace

bool RepairClient(HWND window, const ClientManifest& manifest, const std::wstring& saveFolder,
                  const std::wstring& installDir, const ClientCheckResult& check, const ProgressDocument& record,
                  std::atomic<bool>* cancel, RepairOutcome* out, std::string* error, bool* unserved) {
  *out = RepairOutcome{};
  if (unserved) *unserved = false;
  if (manifest.mirrors.empty()) {
    *error = Gbk(u8"客户端清单为空。");
    return false;
  }
  // A second repair of the folder (realmporter-fetch beside the launcher)
  // would take the first one's files in the making for leftovers.
  const RepairLock lock(installDir);
  if (!lock.held) {
    *error = Gbk(u8"另一个修复或更新正在处理这个客户端目录，请等它结束后再试。");
    return false;
  }
  // What an earlier repair left unfinished is finished first.
  if (!RecoverRepairJournals(&out->stuck, installDir)) {
    *error = LockedFileText(out->stuck);
    return false;
  }
  RepairWork w;
  w.cancel = cancel;
  DownloadJob& job = w.job;
  job.window = window;
  job.manifest = &manifest;
  job.flags.cancel = cancel;
  job.stopWhenUnserved = unserved != nullptr;
  job.installDir = installDir;
  job.mirrors = manifest.mirrors;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> room;
  std::vector<const CheckedFile*> toFetch;
  for (const CheckedFile& c : check.files) {
    if (ChooseFetch(c.state, c.localSize, c.file.size) == FetchWay::None) continue;
    room.emplace_back(c.file.size, c.localSize);
    toFetch.push_back(&c);
  }
  const std::uint64_t needed = RepairRoomNeeded(room, static_cast<unsigned>(job.mirrors.size()));
  std::uint64_t freeBytes = 0;
  if (needed > 0 && FreeBytesAt(installDir, &freeBytes) && !RoomEnough(needed, freeBytes)) {
    LogWrite("Not enough disk space to repair: need %llu bytes, %llu free in %ls",
             static_cast<unsigned long long>(needed), static_cast<unsigned long long>(freeBytes), installDir.c_str());
    char text[256];
    std::snprintf(text, sizeof text,
                  Gbk(u8"磁盘空间不足：修复还需 %.2f GB，所在磁盘仅剩 %.2f GB。请先清理磁盘。").c_str(),
                  needed / 1073741824.0, freeBytes / 1073741824.0);
    *error = text;
    return false;
  }
  // A file an update lists for the first time may stand there already as
  // the player's own (no entry of the launcher's record of the version
  // before): it is kept as a dated copy, never deleted.
  const bool update = !record.manifest_id.empty() && record.manifest_id != manifest.manifest_id;
  std::wstring replacedFolder;
  // The largest first, as in a download: they take longest.
  std::stable_sort(toFetch.begin(), toFetch.end(),
                   [](const CheckedFile* a, const CheckedFile* b) { return a->file.size > b->file.size; });
  for (const CheckedFile* c : toFetch) {
    const std::wstring target = TargetOf(job, c->file);
    if (!IsInsideInstallDir(installDir, target) || !CreateParentDirectories(target)) {
      *error = Gbk(u8"磁盘写入失败: ") + GbkFromUtf8(c->file.path);
      return false;
    }
    const FetchWay way = ChooseFetch(c->state, c->localSize, c->file.size);
    // A partial download of this version is a local copy like any other:
    // its blocks are taken, the rest fetched.
    w.byBlocks.push_back(way == FetchWay::Blocks || (way == FetchWay::Resume && c->file.size >= kBlockMapMinFileSize));
    job.files.push_back(c->file);
    std::wstring keep;
    if (update && c->state != FileState::Missing && !record.files.contains(c->file.path)) {
      if (replacedFolder.empty()) replacedFolder = NextDatedCopy(JoinPath(installDir, kAddonBackupFolder), L"replaced");
      keep = JoinPath(replacedFolder, ManifestPathToLocal(Utf8ToWide(c->file.path)));
      LogWrite("Update: %s stands there as the player's own file, kept in %ls", c->file.path.c_str(),
               replacedFolder.c_str());
    }
    w.keepAs.push_back(std::move(keep));
  }
  const bool whole = job.files.empty() ||
                     RunJobFiles(
                         job, [&w](const Work& k) { return RepairFileJob(w, k.mirror, k.file); }, u8"正在修复客户端:");
  out->fetchedBytes = job.counters.receivedBytes.load();
  out->repaired = w.repaired.load();
  out->stuck = w.stuck;
  out->placed = std::move(w.placed);
  if (unserved) *unserved = job.unserved.load();
  if (!whole) {
    // The files being made go; those already in place stay new.
    std::wstring ignored;
    RecoverRepairJournals(&ignored, installDir);
    if (cancel->load()) {
      *error = Gbk(u8"修复已取消。");
      return false;
    }
    std::lock_guard<std::mutex> lock(job.errorLock);
    *error = !job.jobError.empty() ? job.jobError : Gbk(u8"修复未完成。");
    return false;
  }
  out->removed = RemoveObsolete(manifest, installDir, record);
  if (record.manifest_id.empty()) out->unlisted = UnlistedArchives(manifest, installDir);
  RecordWholeClient(manifest, saveFolder, installDir);
  return true;
}

bool HoldsOlderClient(const ClientManifest& manifest, const std::wstring& saveFolder) {
  if (!IsPlainFolderName(manifest.install_root) || !IsPlainFolderName(manifest.product)) return false;
  const std::wstring installDir = JoinPath(saveFolder, Utf8ToWide(manifest.install_root));
  if (GetFileAttributesW(installDir.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  const ProgressDocument record = ReadProgressRecord(saveFolder, installDir, manifest);
  // A record written for another save folder (copied here with the client)
  // tells nothing of these files.
  const std::wstring recordFolder = Utf8ToWide(record.install_dir);
  const bool foreign =
      !recordFolder.empty() &&
      CompareStringOrdinal(recordFolder.c_str(), static_cast<int>(recordFolder.size()), saveFolder.c_str(),
                           static_cast<int>(saveFolder.size()), TRUE) != CSTR_EQUAL;
  if (!record.manifest_id.empty() && !foreign) return record.manifest_id != manifest.manifest_id;
  // No record of its own (the player may delete it): the disk tells. A listed file
  // that is there may be an older version's, which a download would
  // overwrite in place before its replacement is whole; the update makes
  // every file beside the old one. Wow.exe answers for most folders.
  std::uint64_t size = 0;
  for (const ManifestFile& f : manifest.files)
    if (IsSafeManifestPath(f.path) && FileSizeOf(JoinPath(installDir, ManifestPathToLocal(Utf8ToWide(f.path))), &size))
      return true;
  return false;
}

bool UpdateOlderClient(HWND window, const std::string& name, ClientManifest* manifest, const std::wstring& saveFolder,
                       std::atomic<bool>* cancel, RepairOutcome* out, std::string* error) {
  const std::wstring installDir = JoinPath(saveFolder, Utf8ToWide(manifest->install_root));
  const ProgressDocument record = ReadProgressRecord(saveFolder, installDir, *manifest);
  LogWrite("Update: %ls holds %s of manifest %s, now %s", installDir.c_str(), manifest->product.c_str(),
           record.manifest_id.c_str(), manifest->manifest_id.c_str());
  ClientCheckResult check;
  *out = RepairOutcome{};
  if (!CheckClient(window, *manifest, installDir, record, cancel, &check, error) ||
      !RepairFollowingManifest(window, name, manifest, saveFolder, installDir, check, record, cancel, out, error)) {
    // The window keeps a cancelled download's last line: it says what changed.
    if (cancel->load()) PostStatusText(window, GbkFromUtf8(UpdateCancelledText(out->repaired)).c_str());
    return false;
  }
  if (window) PostMessageA(window, WMU_PROGRESS, 100, 0);
  std::string names;
  for (const std::string& path : out->unlisted) names += (names.empty() ? "" : Gbk(u8"、")) + GbkFromUtf8(path);
  PostStatusText(
      window,
      (Gbk(u8"下载完成！") +
       (names.empty() ? std::string()
                      : Gbk(u8"以下存档不在新版本中，但无法确认是登录器放入的，已保留（游戏仍会加载）：") + names))
          .c_str());
  return true;
}
