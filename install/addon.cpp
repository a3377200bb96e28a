#include <windows.h>
#include <shlobj.h>

#include "app/jobs.h"
#include "app/log.h"
#include "app/messages.h"
#include "game/game.h"
#include "install/install.h"
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

// `aside` is where the player's Interface waits while the new one is
// unpacked; the caller puts it back when this ends by an exception.
void RunAddon(const AddonJob& job, std::wstring* aside) {
  DownloadRequest r;
  r.window = job.window;
  r.target = job.cacheFile;
  r.backup = job.cacheFile + L".bak";
  r.url = job.url;
  r.percentFormat = job.percentFormat;
  r.cancel = &AddonCancel;
  r.overallTotal = QuerySize(job.url);
  r.sizeFormat = job.sizeFormat;
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
  if (ok && !AddonCancel.load()) {
    // The player's Interface is set aside, not deleted, until the new one is
    // in place: a failed or cancelled extraction puts it back.
    Post(job.window, u8"正在删除旧 Interface 插件目录...");
    if (!AddonCancel.load() && SetInterfaceAside(job.gameFolder, aside)) {
      if (AddonCancel.load()) {
        Post(job.window, u8"正在取消安装...");
      } else {
        Post(job.window, u8"正在解压插件...");
        if (!AddonCancel.load()) installed = ExtractZip(job.cacheFile, job.gameFolder, &AddonCancel);
      }
      if (installed && !AddonCancel.load()) {
        if (!aside->empty()) DeleteWithShell(*aside);
      } else {
        installed = false;
        RestoreInterface(job.gameFolder, *aside);
      }
      aside->clear();
    } else if (AddonCancel.load()) {
      Post(job.window, u8"正在取消安装...");
    }
  }
  DeleteFileW(job.cacheFile.c_str());
  DeleteFileW((job.cacheFile + L".bak").c_str());
  if (installed) {
    RemoveClientCache(job.gamePath);
    if (job.window && IsWindow(job.window)) {
      PostStatusText(job.window, job.successText.c_str());
      PostMessageA(job.window, WMU_PROGRESS, 100, 0);
    }
  }
  FinishAddonJob(job, installed            ? kJobDone
                      : AddonCancel.load() ? kJobCancelled
                      : unsigned_          ? kJobUnsigned
                                           : kJobFailed);
}

}  // namespace

void FinishAddonJob(const AddonJob& job, int result) {
  AddonBusy.store(false);
  if (job.window && IsWindow(job.window))
    PostMessageA(job.window, WMU_ADDON_DONE, static_cast<WPARAM>(result), job.buttonId);
}

bool SetInterfaceAside(const std::wstring& gameFolder, std::wstring* aside) {
  aside->clear();
  const std::wstring name = gameFolder + L"\\Interface";
  if (GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  for (int n = 0; n < 100; ++n) {
    std::wstring candidate = name + L".realmporter-old" + (n ? std::to_wstring(n) : L"");
    if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    if (!MoveFileW(name.c_str(), candidate.c_str())) return false;
    *aside = candidate;
    return true;
  }
  return false;
}

bool RestoreInterface(const std::wstring& gameFolder, const std::wstring& aside) {
  if (aside.empty()) return true;
  const std::wstring name = gameFolder + L"\\Interface";
  DWORD attr = GetFileAttributesW(name.c_str());
  if (attr != INVALID_FILE_ATTRIBUTES) {
    if (attr & FILE_ATTRIBUTE_DIRECTORY)
      DeleteWithShell(name);
    else {
      SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(name.c_str());
    }
  }
  return MoveFileW(aside.c_str(), name.c_str()) != 0;
}

std::wstring AddonCachePath(const std::wstring& fileName) {
  wchar_t appData[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, appData, CSIDL_LOCAL_APPDATA, FALSE)) return {};
  std::wstring dir = std::wstring(appData) + L"\\RealmPorter";
  CreateDirectoryW(dir.c_str(), nullptr);
  dir += L"\\plugin_cache";
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\" + fileName;
}

void AddonWorker(AddonJob job) {
  std::wstring aside;
  RunWorkerGuarded(
      "AddonWorker", [&] { RunAddon(job, &aside); },
      [&] {
        if (!aside.empty()) RestoreInterface(job.gameFolder, aside);
        FinishAddonJob(job, kJobFailed);
      });
}
