#include "download/client_repair.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/readout.h"
#include "download/pool.h"
#include "app/messages.h"
#include "install/delta.h"
#include "install/transaction.h"
#include "manifest/blockmap.h"
#include "manifest/install_paths.h"
#include "hash/sha256.h"
#include "net/download.h"
#include "net/text.h"

namespace {

// One file into `temp` beside it: from its blocks when the way says so and
// the mirror has the map, otherwise whole. False when cancelled or failed.
bool MakeNewFile(HWND window, const ClientManifest& m, const std::string& mirror, const CheckedFile& c, FetchWay way,
                 const std::wstring& target, const std::wstring& temp, std::atomic<bool>* cancel, std::uint64_t base,
                 std::uint64_t total, std::uint64_t* fetched) {
  const std::string url = BuildFileUrl(mirror, m.product, c.file.path);
  const std::string percent = Gbk(u8"正在修复客户端... %d%%");
  if (way == FetchWay::Blocks || (way == FetchWay::Resume && c.file.size >= kBlockMapMinFileSize)) {
    // A partial download of this version is a local copy like any other: its
    // blocks are taken, the rest fetched.
    DeltaRequest d;
    d.window = window;
    d.local = target;
    d.temp = temp;
    // The map from the mirror the ranges come from: a mirror without maps
    // answers 404, which only means the file comes whole.
    d.mapUrl = BuildBlockMapUrl(mirror, m.product, c.file.path);
    d.fileUrl = url;
    d.entry = c.file;
    d.cancel = cancel;
    d.base = base;
    d.overallTotal = total;
    d.percentFormat = percent;
    d.fetched = fetched;
    const DeltaResult built = BuildArchiveFromDelta(d);
    if (built == DeltaResult::kBuilt) return true;
    if (built == DeltaResult::kCancelled) return false;
  }
  if (cancel->load()) return false;
  DownloadRequest r;
  r.window = window;
  r.target = temp;
  r.url = url;
  r.percentFormat = percent;
  r.cancel = cancel;
  r.base = base;
  r.overallTotal = total;
  r.sizeFormat = Gbk(u8"正在修复客户端... 已下载 %.1f MB");
  r.expectedHash = c.file.sha256;
  r.expectedSize = c.file.size;
  if (!DownloadFile(r)) return false;
  *fetched = c.file.size;
  return true;
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

// The record of a client whose every listed file is now the manifest's.
void RecordWholeClient(const ClientManifest& m, const std::wstring& saveFolder) {
  ProgressState state;
  state.product = m.product;
  state.manifest_id = m.manifest_id;
  state.install_root = m.install_root;
  state.install_dir = saveFolder;
  for (const ManifestFile& f : m.files) state.files[f.path] = {f.size, f.sha256, f.size, true};
  if (!SaveProgress(ProgressFilePath(saveFolder, m.product), state)) LogWrite("Repair: progress record not written");
}

}  // namespace

bool RepairClient(HWND window, const ClientManifest& manifest, const std::wstring& saveFolder,
                  const std::wstring& installDir, const ClientCheckResult& check, const ProgressDocument& record,
                  std::atomic<bool>* cancel, RepairOutcome* out, std::string* error) {
  *out = RepairOutcome{};
  if (manifest.mirrors.empty()) {
    *error = Gbk(u8"客户端清单为空。");
    return false;
  }
  // What an earlier job left unfinished is finished first.
  if (!RecoverJournal(JournalPathOf(JournalKind::Patch), &out->stuck, installDir)) {
    *error = LockedFileText(out->stuck);
    return false;
  }
  std::uint64_t total = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> room;
  for (const CheckedFile& c : check.files) {
    if (c.state == FileState::Fine) continue;
    total += c.file.size;
    room.emplace_back(c.file.size, c.localSize);
  }
  const std::uint64_t needed = RepairRoomNeeded(room);
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
  std::uint64_t base = 0;
  for (const CheckedFile& c : check.files) {
    const FetchWay way = ChooseFetch(c.state, c.localSize, c.file.size);
    if (way == FetchWay::None) continue;
    if (cancel->load()) break;
    const std::wstring target = JoinPath(installDir, ManifestPathToLocal(Utf8ToWide(c.file.path)));
    const std::wstring temp = target + L".part";
    if (!IsInsideInstallDir(installDir, target) || !CreateParentDirectories(target)) {
      *error = Gbk(u8"磁盘写入失败: ") + GbkFromUtf8(c.file.path);
      return false;
    }
    if (!StageArchive(installDir, temp)) {
      *error = Gbk(u8"磁盘写入失败: ") + GbkFromUtf8(c.file.path);
      return false;
    }
    // Each mirror in turn until one delivers the file.
    bool made = false;
    for (const std::string& mirror : manifest.mirrors) {
      std::uint64_t fetched = 0;
      made = MakeNewFile(window, manifest, mirror, c, way, target, temp, cancel, base, total, &fetched);
      out->fetchedBytes += fetched;
      if (made || cancel->load()) break;
      LogWrite("Repair: %s failed from %s", c.file.path.c_str(), mirror.c_str());
    }
    if (!made || cancel->load()) {
      std::wstring ignored;
      RecoverJournal(JournalPathOf(JournalKind::Patch), &ignored);  // the new file only
      if (cancel->load()) break;
      *error = Gbk(u8"无法从镜像服务器下载文件：") + GbkFromUtf8(c.file.path);
      return false;
    }
    if (!CommitArchive(installDir, temp, target, &out->stuck)) {
      *error = LockedFileText(out->stuck.empty() ? target : out->stuck);
      return false;
    }
    LogWrite("Repair: %s replaced", c.file.path.c_str());
    ++out->repaired;
    base += c.file.size;
  }
  if (cancel->load()) {
    *error = Gbk(u8"修复已取消。");
    return false;
  }
  out->removed = RemoveObsolete(manifest, installDir, record);
  RecordWholeClient(manifest, saveFolder);
  return true;
}

bool HoldsOlderClient(const ClientManifest& manifest, const std::wstring& saveFolder) {
  if (!IsPlainFolderName(manifest.install_root) || !IsPlainFolderName(manifest.product)) return false;
  const ProgressDocument record = ReadProgressRecord(saveFolder, manifest.product);
  const std::wstring installDir = JoinPath(saveFolder, Utf8ToWide(manifest.install_root));
  return !record.manifest_id.empty() && record.manifest_id != manifest.manifest_id &&
         GetFileAttributesW(installDir.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool UpdateOlderClient(HWND window, const ClientManifest& manifest, const std::wstring& saveFolder,
                       std::atomic<bool>* cancel, RepairOutcome* out, std::string* error) {
  const std::wstring installDir = JoinPath(saveFolder, Utf8ToWide(manifest.install_root));
  const ProgressDocument record = ReadProgressRecord(saveFolder, manifest.product);
  LogWrite("Update: %ls holds %s of manifest %s, now %s", installDir.c_str(), manifest.product.c_str(),
           record.manifest_id.c_str(), manifest.manifest_id.c_str());
  ClientCheckResult check;
  *out = RepairOutcome{};
  if (!CheckClient(window, manifest, installDir, record, cancel, &check, error) ||
      !RepairClient(window, manifest, saveFolder, installDir, check, record, cancel, out, error)) {
    // The window keeps a cancelled download's last line: it says what changed.
    if (cancel->load()) PostStatusText(window, GbkFromUtf8(UpdateCancelledText(out->repaired)).c_str());
    return false;
  }
  if (window) PostMessageA(window, WMU_PROGRESS, 100, 0);
  PostStatusText(window, Gbk(u8"下载完成！").c_str());
  return true;
}
