#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include "app/jobs.h"
#include "app/messages.h"
#include "config/settings.h"
#include "endpoints.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "install/install.h"
#include "net/download.h"
#include "net/http.h"
#include "net/text.h"
#include "net/url.h"
#include "ui/commands.h"
#include "ui/ids.h"
#include "ui/main_window.h"

namespace {

struct Pack {
  int button, other;
  const char* urlPath;
  const wchar_t* cacheName;
  std::u8string_view idle, starting, percent, size, success;
};

Pack PackOf(AddonPack pack) {
  if (pack == AddonPack::A)
    return {kIdAddonA, kIdAddonB, "%E5%A4%A7%E8%84%9A%E6%8F%92%E4%BB%B6.zip", L"dajiao.zip", u8"安装大脚插件",
            u8"正在下载大脚插件... 0%", u8"正在下载大脚插件... %d%%", u8"正在下载大脚插件... 已下载 %.1f MB",
            u8"大脚插件安装完成！"};
  return {kIdAddonB, kIdAddonA, "%E9%AD%94%E7%9B%92%E6%8F%92%E4%BB%B6.zip", L"mohe.zip", u8"安装魔盒插件",
          u8"正在下载魔盒插件... 0%", u8"正在下载魔盒插件... %d%%", u8"正在下载魔盒插件... 已下载 %.1f MB",
          u8"魔盒插件安装完成！"};
}

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
  if (!HttpQueryInfoA(opened.request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &size, &len, nullptr)) return 0;
  return size;
}

}  // namespace

bool DeleteWithShell(const std::wstring& path) {
  std::wstring list = path;
  list.push_back(L'\0');
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = list.c_str();
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
  return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
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
    if (attr & FILE_ATTRIBUTE_DIRECTORY) DeleteWithShell(name);
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

void OnAddonCommand(HWND hwnd, AddonPack which) {
  const Pack pack = PackOf(which);
  if (AddonBusy.load()) {
    if (AddonActiveButton.load() == pack.button &&
        ConfirmCancel(hwnd, u8"确定取消插件安装吗？\n\n已下载的部分将丢弃。", u8"取消安装")) {
      AddonCancel.store(true);
      RunCancelTail(hwnd, pack.button, Gbk(u8"正在取消安装...").c_str());
    }
    return;
  }
  auto notice = [&](std::u8string_view text, UINT flags) {
    MessageBoxA(hwnd, Gbk(text).c_str(), Gbk(u8"提示").c_str(), flags);
  };
  if (GamePath[0] == L'\0') return notice(u8"请先选择游戏路径！", MB_OK);
  if (!IsValidGamePath(GamePath)) return notice(u8"请先选择有效的 Wow.exe 路径！", MB_OK);
  if (IsGameRunning()) return notice(u8"请先关闭正在运行的游戏再安装插件！", MB_ICONWARNING);
  if (PatchNormalBusy.load() || PatchHdBusy.load()) return notice(u8"补丁正在下载，请稍后再安装插件。", MB_ICONWARNING);
  std::wstring cache = AddonCachePath(pack.cacheName);
  if (cache.empty()) {
    MessageBoxA(hwnd, Gbk(u8"无法创建插件缓存目录。").c_str(), Gbk(u8"错误").c_str(), MB_ICONERROR);
    return;
  }
  if (HWND b = GetDlgItem(hwnd, kIdStartGame)) EnableWindow(b, FALSE);
  if (HWND b = GetDlgItem(hwnd, pack.other)) EnableWindow(b, FALSE);
  AddonActiveButton.store(pack.button);
  if (HWND b = GetDlgItem(hwnd, pack.button)) SetWindowTextA(b, Gbk(u8"取消安装").c_str());
  HWND bar = ShowJobProgress(hwnd);
  HWND noticeLabel = GetDlgItem(hwnd, kIdNotice);
  SetStatusText(hwnd, noticeLabel, Gbk(pack.starting).c_str());
  const std::wstring gamePath = GamePath;
  // The packs live at the root of the second mirror's server.
  std::string url = UrlServerRoot(kMirrorBases[1]) + pack.urlPath;
  if (!TrySpawnDetached(AddonWorker, hwnd, GameFolderOf(gamePath), gamePath, cache, url, Gbk(pack.percent),
                        Gbk(pack.size), pack.button, Gbk(pack.success))) {
    for (int id : {kIdStartGame, kIdAddonA, kIdAddonB})
      if (HWND b = GetDlgItem(hwnd, id)) EnableWindow(b, TRUE);
    AddonActiveButton.store(0);
    if (HWND b = GetDlgItem(hwnd, pack.button)) SetWindowTextA(b, Gbk(pack.idle).c_str());
    if (bar) ShowWindow(bar, SW_HIDE);
    std::string busyText = Gbk(u8"系统繁忙，无法启动安装线程，请稍后重试。");
    SetStatusText(hwnd, noticeLabel, busyText.c_str());
    MessageBoxA(hwnd, busyText.c_str(), Gbk(u8"错误").c_str(), MB_ICONERROR);
  }
}

void AddonWorker(HWND window, std::wstring gameFolder, std::wstring gamePath, std::wstring cacheFile, std::string url,
                 std::string percentFormat, std::string sizeFormat, int buttonId, std::string successText) {
  AddonBusy.store(true);
  AddonCancel.store(false);
  DWORD size = QuerySize(url);
  DownloadRequest r;
  r.window = window;
  r.target = cacheFile;
  r.backup = cacheFile + L".bak";
  r.url = url;
  r.percentFormat = percentFormat;
  r.cancel = &AddonCancel;
  r.overallTotal = size;
  r.sizeFormat = sizeFormat;
  bool ok = DownloadFile(r);
  bool installed = false;
  if (ok && !AddonCancel.load()) {
    // The player's Interface is set aside, not deleted, until the new one is
    // in place: a failed or cancelled extraction puts it back.
    Post(window, u8"正在删除旧 Interface 插件目录...");
    std::wstring aside;
    if (!AddonCancel.load() && SetInterfaceAside(gameFolder, &aside)) {
      if (AddonCancel.load()) {
        Post(window, u8"正在取消安装...");
      } else {
        Post(window, u8"正在解压插件...");
        if (!AddonCancel.load()) installed = ExtractZip(cacheFile, gameFolder, &AddonCancel);
      }
      if (installed && !AddonCancel.load()) {
        if (!aside.empty()) DeleteWithShell(aside);
      } else {
        installed = false;
        RestoreInterface(gameFolder, aside);
      }
    } else if (AddonCancel.load()) {
      Post(window, u8"正在取消安装...");
    }
  }
  DeleteFileW(cacheFile.c_str());
  DeleteFileW((cacheFile + L".bak").c_str());
  if (installed) {
    RemoveClientCache(gamePath);
    if (window && IsWindow(window)) {
      PostStatusText(window, successText.c_str());
      PostMessageA(window, WMU_PROGRESS, 100, 0);
    }
  }
  AddonBusy.store(false);
  int result = installed ? kJobDone : AddonCancel.load() ? kJobCancelled : kJobFailed;
  if (window && IsWindow(window)) PostMessageA(window, WMU_ADDON_DONE, static_cast<WPARAM>(result), buttonId);
}
