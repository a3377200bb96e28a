#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "app/jobs.h"
#include "app/kept_copies.h"
#include "app/log.h"
#include "app/messages.h"
#include "game/game.h"
#include "install/install.h"
#include "install/transaction.h"
#include "manifest/install_paths.h"
#include "manifest/signature_win.h"
#include "net/download.h"
#include "net/http.h"
#include "net/text.h"

namespace {

void Post(HWND window, std::u8string_view text) {
  if (window && IsWindow(window)) PostStatusText(window, Gbk(text).c_str());
}

// Content-Length of the pack, for the percentage; 0 when unknown.
DWORD QuerySize(const std::string& url) {
  OpenedUrl opened;
  if (!OpenUrl(url, nullptr, {30000, 0, 30000}, &opened)) {
    if (IsNetTimeoutError(opened.error)) PostNetTimeout(nullptr);
    return 0;
  }
  DWORD size = 0, len = sizeof size;
  if (!HttpQueryInfoA(opened.request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &size, &len, nullptr))
    return 0;
  return size;
}

// Adds to `j` the steps that lay `stagingDir` over `gameDir` (both at the
// same depth below the pack's top level).
void PlanLay(const std::wstring& stagingDir, const std::wstring& gameDir, const std::wstring& asideDir, bool topLevel,
             Journal* j) {
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((stagingDir + L"\\*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring from = stagingDir + L"\\" + name, to = gameDir + L"\\" + name;
    const DWORD player = GetFileAttributesW(to.c_str());
    const bool playerHas = player != INVALID_FILE_ATTRIBUTES;
    switch (DecideLay(topLevel, name, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, playerHas,
                      playerHas && (player & FILE_ATTRIBUTE_DIRECTORY))) {
      case LayAction::Descend: PlanLay(from, to, asideDir + L"\\" + name, false, j); break;
      case LayAction::Add: j->steps.push_back({false, from, to, L""}); break;
      case LayAction::Replace: j->steps.push_back({true, from, to, asideDir + L"\\" + name}); break;
    }
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

bool IsNamed(const std::wstring& path, const std::wstring& want) {
  return CompareStringOrdinal(path.c_str(), -1, want.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A name below the backup folder that sorts by time and is not taken yet:
// <prefix>-YYYYMMDD-HHMMSS-mmm.
std::wstring DatedName(const std::wstring& folder, const wchar_t* prefix) {
  for (;;) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t name[64];
    swprintf(name, 64, L"%ls-%04u%02u%02u-%02u%02u%02u-%03u", prefix, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond, t.wMilliseconds);
    const std::wstring path = folder + L"\\" + name;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return path;
    Sleep(2);
  }
}

// The names in `folder` that match `pattern`.
std::vector<std::wstring> NamesIn(const std::wstring& folder, const wchar_t* pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.emplace_back(fd.cFileName);
  while (FindNextFileW(find, &fd));
  FindClose(find);
  return names;
}

// The next copy of `Interface` in the backup folder: numbered after every
// copy there, dated for the player's eye only.
std::wstring NextInterfaceCopy(const std::wstring& backup) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  wchar_t stamp[32];
  swprintf(stamp, 32, L"%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  return backup + L"\\" + NextKeptName(NamesIn(backup, L"Interface-*"), L"Interface", stamp);
}

// Only the newest kKeptInterfaces copies of `Interface` stay, by their
// numbers; `justMade` (a name in the folder) is never removed.
constexpr size_t kKeptInterfaces = 3;
void PruneKeptInterfaces(const std::wstring& backup, const std::wstring& justMade) {
  for (const std::wstring& name :
       KeptBeyond(NamesIn(backup, L"Interface-*"), L"Interface", kKeptInterfaces, justMade)) {
    LogWrite("AddonWorker: removing the older kept copy %ls", name.c_str());
    DeleteWithShell(backup + L"\\" + name);
  }
}

// The pack is unpacked into a staging folder inside the game folder, then
// committed in one step (install/journal_win.cpp): a failure or a cancel at
// any point before the commit is complete leaves the game folder as it was.
// The player's `Interface` it replaces is kept, dated, in the backup folder
// (`keptAs` gets its name below the game folder). `lockedText` gets the
// player's text when a file could not be moved.
bool InstallPack(const AddonJob& job, std::wstring* keptAs, std::string* lockedText) {
  const std::wstring journalPath = JournalPathOf(JournalKind::Addon);
  std::wstring stuck;
  if (journalPath.empty()) return false;
  if (!RecoverJournal(journalPath, &stuck, job.gameFolder)) {
    if (!stuck.empty()) *lockedText = LockedFileText(stuck);
    return false;
  }
  Journal j;
  const std::wstring staging = job.gameFolder + L"\\RealmPorter-staging";
  const std::wstring aside = job.gameFolder + L"\\RealmPorter-aside";
  const std::wstring backup = job.gameFolder + L"\\" + kAddonBackupFolder;
  // No journal of this user accounts for an aside folder now: it may hold
  // a player's files (another Windows user's job, a folder moved back), so
  // it is kept, never removed. A staging folder holds only what a pack
  // brought, and its stale files must not be laid in with this pack's.
  if (GetFileAttributesW(aside.c_str()) != INVALID_FILE_ATTRIBUTES) {
    const std::wstring kept = DatedName(backup, L"aside");
    if (!CreateParentDirectories(kept) || !MoveFileExW(aside.c_str(), kept.c_str(), MOVEFILE_WRITE_THROUGH)) {
      *lockedText = LockedFileText(aside);
      return false;
    }
    LogWrite("AddonWorker: an aside folder no journal accounts for kept as %ls", kept.c_str());
  }
  if (GetFileAttributesW(staging.c_str()) != INVALID_FILE_ATTRIBUTES && !DeleteWithShell(staging)) {
    *lockedText = LockedFileText(staging);
    return false;
  }
  j.folder = job.gameFolder;
  j.folderId = FolderIdentity(job.gameFolder);
  j.remove = {staging, aside};
  if (!WriteJournal(journalPath, j)) return false;
  Post(job.window, u8"正在解压插件...");
  bool ok = !AddonCancel.load() && ExtractZip(job.cacheFile, staging, &AddonCancel);
  if (ok && !AddonCancel.load()) {
    Post(job.window, u8"正在删除旧 Interface 插件目录...");
    PlanLay(staging, job.gameFolder, aside, true, &j);
    for (const JournalStep& s : j.steps)
      if (s.hadOld && IsNamed(s.to, job.gameFolder + L"\\Interface")) {
        j.keep.push_back({s.aside, NextInterfaceCopy(backup)});
        *keptAs = j.keep.back().to.substr(job.gameFolder.size() + 1);
      }
    if (CommitJournal(journalPath, std::move(j), &stuck)) {
      PruneKeptInterfaces(backup, keptAs->empty() ? std::wstring() : keptAs->substr(keptAs->rfind(L'\\') + 1));
      return true;
    }
    keptAs->clear();
    if (!stuck.empty()) *lockedText = LockedFileText(stuck);
    return false;
  }
  RecoverJournal(journalPath, &stuck);  // only the staging folder to remove
  return false;
}

void RunAddon(const AddonJob& job) {
  DownloadRequest r;
  r.window = job.window;
  r.target = job.cacheFile;
  r.backup = job.cacheFile + L".bak";
  r.url = job.url;
  r.percentFormat = job.percentFormat;
  r.cancel = &AddonCancel;
  r.overallTotal = QuerySize(job.url);
  r.sizeFormat = job.sizeFormat;
  r.label = job.label;
  std::string sha256;
  r.sha256Out = OperatorKeysBuiltIn() ? &sha256 : nullptr;
  bool ok = DownloadFile(r);
  bool installed = false;
  // A keyed launcher unpacks only a pack the operator signed: a DLL beside
  // Wow.exe runs with the game.
  bool unsigned_ = ok && !AddonCancel.load() && !SignedByOperator(job.url, sha256);
  if (unsigned_) {
    LogWrite("AddonWorker signature invalid: %s", job.url.c_str());
    ok = false;
  }
  std::string lockedText;
  std::wstring keptAs;
  if (ok && !AddonCancel.load()) installed = InstallPack(job, &keptAs, &lockedText);
  if (!installed && AddonCancel.load()) Post(job.window, u8"正在取消安装...");
  DeleteFileW(job.cacheFile.c_str());
  DeleteFileW((job.cacheFile + L".bak").c_str());
  if (installed) {
    RemoveClientCache(job.gamePath);
    if (job.window && IsWindow(job.window)) {
      std::string text = job.successText;
      if (!keptAs.empty()) text += Gbk(u8"原 Interface 已保存为 ") + GbkFromWide(keptAs);
      PostStatusText(job.window, text.c_str());
      PostMessageA(job.window, WMU_PROGRESS, 100, 0);
    }
  } else if (!lockedText.empty() && job.window && IsWindow(job.window)) {
    PostStatusText(job.window, lockedText.c_str());
  }
  // A commit that has begun runs to its end: a cancel during it does not
  // undo a complete install.
  FinishAddonJob(job, installed             ? kJobDone
                      : !lockedText.empty() ? kJobFilesLocked
                      : AddonCancel.load()  ? kJobCancelled
                      : unsigned_           ? kJobUnsigned
                                            : kJobFailed);
}

}  // namespace

void FinishAddonJob(const AddonJob& job, int result) {
  AddonBusy.store(false);
  if (job.window && IsWindow(job.window))
    PostMessageA(job.window, WMU_ADDON_DONE, static_cast<WPARAM>(result), job.buttonId);
}

std::wstring AddonCachePath(const std::wstring& fileName) {
  std::wstring dir = LauncherDataFolder();
  if (dir.empty()) return {};
  dir += L"\\plugin_cache";
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\" + fileName;
}

void AddonWorker(AddonJob job) {
  RunWorkerGuarded(
      "AddonWorker", [&] { RunAddon(job); },
      [&] {
        std::wstring stuck;  // whatever the journal still lists is put right now, or by the next start
        RecoverJournal(JournalPathOf(JournalKind::Addon), &stuck, job.gameFolder);
        FinishAddonJob(job, kJobFailed);
      });
}
