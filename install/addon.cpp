#include <windows.h>
#include <shlobj.h>

#include "app/jobs.h"
#include "app/log.h"
#include "app/messages.h"
#include "game/game.h"
#include "install/install.h"
#include "install/transaction.h"
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

// The pack is unpacked into a staging folder inside the game folder, then
// committed in one step (install/journal_win.cpp): a failure or a cancel at
// any point before the commit is complete leaves the game folder as it was.
// `lockedText` gets the player's text when a file could not be moved.
bool InstallPack(const AddonJob& job, std::string* lockedText) {
  const std::wstring journalPath = JournalPathOf(JournalKind::Addon);
  std::wstring stuck;
  if (journalPath.empty()) return false;
  if (!RecoverJournal(journalPath, &stuck)) {
    if (!stuck.empty()) *lockedText = LockedFileText(stuck);
    return false;
  }
  Journal j;
  const std::wstring staging = job.gameFolder + L"\\RealmPorter-staging";
  const std::wstring aside = job.gameFolder + L"\\RealmPorter-aside";
  j.remove = {staging, aside};
  if (!WriteJournal(journalPath, j)) return false;
  Post(job.window, u8"正在解压插件...");
  bool ok = !AddonCancel.load() && ExtractZip(job.cacheFile, staging, &AddonCancel);
  if (ok && !AddonCancel.load()) {
    Post(job.window, u8"正在删除旧 Interface 插件目录...");
    PlanLay(staging, job.gameFolder, aside, true, &j);
    if (CommitJournal(journalPath, std::move(j), &stuck)) return true;
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
  if (ok && !AddonCancel.load()) installed = InstallPack(job, &lockedText);
  if (!installed && AddonCancel.load()) Post(job.window, u8"正在取消安装...");
  DeleteFileW(job.cacheFile.c_str());
  DeleteFileW((job.cacheFile + L".bak").c_str());
  if (installed) {
    RemoveClientCache(job.gamePath);
    if (job.window && IsWindow(job.window)) {
      PostStatusText(job.window, job.successText.c_str());
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
        RecoverJournal(JournalPathOf(JournalKind::Addon), &stuck);
        FinishAddonJob(job, kJobFailed);
      });
}
