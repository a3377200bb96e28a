#include <windows.h>
#include <commctrl.h>

#include "app/jobs.h"
#include "app/messages.h"
#include "config/settings.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "install/install.h"
#include "manifest/fetch_manifest.h"
#include "manifest/sha256.h"
#include "net/download.h"
#include "net/text.h"
#include "ui/commands.h"
#include "ui/ids.h"
#include "ui/main_window.h"

namespace {

constexpr char kPath5[] = "Data/zhCN/patch-zhCN-5.MPQ";
constexpr char kPath6[] = "Data/zhCN/patch-zhCN-6.MPQ";

struct Edition {
  const char* manifest;
  int button, other;
  std::u8string_view idle, starting, percent, size, current, success;
  UINT finish;
  std::atomic<bool>* busy;
  std::atomic<bool>* cancel;
};

Edition EditionOf(PatchKind kind) {
  if (kind == PatchKind::Hd)
    return {"wow335-hd", kIdPatchHd, kIdPatchNormal, u8"下载高清补丁", u8"正在下载高清补丁... 0%",
            u8"正在下载高清补丁... %d%%", u8"正在下载高清补丁... 已下载 %.1f MB", u8"高清补丁已是最新，无需下载。",
            u8"高清补丁已就绪，请开始游戏!", WMU_PATCH_HD_DONE, &PatchHdBusy, &PatchHdCancel};
  return {"wow335-normal", kIdPatchNormal, kIdPatchHd, u8"下载怀旧补丁", u8"正在下载怀旧补丁... 0%",
          u8"正在下载怀旧补丁... %d%%", u8"正在下载怀旧补丁... 已下载 %.1f MB", u8"怀旧补丁已是最新，无需下载。",
          u8"游戏准备就绪，请开始游戏!", WMU_PATCH_NORMAL_DONE, &PatchNormalBusy, &PatchNormalCancel};
}

void RestoreBackup(const std::wstring& archive, const std::wstring& backup) {
  DeleteFileW(archive.c_str());
  MoveFileW(backup.c_str(), archive.c_str());
}

void Finish(HWND window, std::atomic<bool>* busy, UINT message, int result) {
  busy->store(false);
  if (window && IsWindow(window)) PostMessageA(window, message, static_cast<WPARAM>(result), 0);
}

}  // namespace

const ManifestFile* FindManifestFile(const ClientManifest& m, const std::string& path) {
  for (const ManifestFile& f : m.files)
    if (f.path == path) return &f;
  return nullptr;
}

bool IsFileCurrent(const std::wstring& path, const ManifestFile& entry) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d) || (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  std::uint64_t size = (static_cast<std::uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  if (size != entry.size) return false;
  std::string hash;
  return Sha256HexOfFile(path, &hash) && DigestEquals(hash, entry.sha256);
}

bool FileUrlFromManifest(const ClientManifest& m, const ManifestFile& entry, std::string* url) {
  if (m.mirrors.empty()) return false;
  *url = BuildFileUrl(m.mirrors.front(), m.product, entry.path);
  return true;
}

void OnPatchCommand(HWND hwnd, PatchKind kind) {
  const Edition ed = EditionOf(kind);
  if (ed.busy->load()) {
    if (ConfirmCancel(hwnd, u8"确定取消下载吗？\n\n已下载的进度会保留，下次可继续。", u8"取消下载")) {
      ed.cancel->store(true);
      RunCancelTail(hwnd, ed.button, Gbk(u8"正在取消下载...").c_str());
    }
    return;
  }
  if (GamePath[0] == L'\0') {
    MessageBoxA(hwnd, Gbk(u8"请先选择路径！").c_str(), Gbk(u8"提示").c_str(), MB_OK);
    return;
  }
  if (IsGameRunning()) {
    MessageBoxA(hwnd, Gbk(u8"请先关闭正在运行的游戏再进行下载！").c_str(), Gbk(u8"提示").c_str(), MB_ICONWARNING);
    return;
  }
  const std::wstring gamePath = GamePath, folder = GameFolderOf(gamePath);
  const std::wstring a5 = folder + L"\\Data\\zhCN\\patch-zhCN-5.MPQ", b5 = a5 + L".bak";
  const std::wstring a6 = folder + L"\\Data\\zhCN\\patch-zhCN-6.MPQ", b6 = a6 + L".bak";

  ClientManifest manifest;
  std::string error;
  const ManifestFile *e5 = nullptr, *e6 = nullptr;
  HCURSOR old = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  bool fetched = FetchClientManifest(ed.manifest, &manifest, &error);
  if (fetched) {
    e5 = FindManifestFile(manifest, kPath5);
    e6 = FindManifestFile(manifest, kPath6);
  }
  if (!e5 || !e6) {
    SetCursor(old);
    MessageBoxA(hwnd, Gbk(u8"无法获取补丁清单，请检查网络。").c_str(), Gbk(u8"错误").c_str(), MB_ICONERROR);
    return;
  }
  bool current5 = IsFileCurrent(a5, *e5);
  bool current6 = current5 && IsFileCurrent(a6, *e6);
  SetCursor(old);
  if (current5 && current6) {
    RemoveStalePatches(gamePath);
    MessageBoxA(hwnd, Gbk(ed.current).c_str(), Gbk(u8"提示").c_str(), MB_ICONINFORMATION);
    return;
  }
  bool hasBackup5 = false;
  if (!current5 && GetFileAttributesW(a5.c_str()) != INVALID_FILE_ATTRIBUTES) {
    DeleteFileW(b5.c_str());
    hasBackup5 = MoveFileW(a5.c_str(), b5.c_str()) != 0;
  }
  if (HWND b = GetDlgItem(hwnd, kIdStartGame)) EnableWindow(b, FALSE);
  if (HWND b = GetDlgItem(hwnd, ed.other)) EnableWindow(b, FALSE);
  if (HWND b = GetDlgItem(hwnd, ed.button)) SetWindowTextA(b, Gbk(u8"取消下载").c_str());
  HWND bar = ShowJobProgress(hwnd);
  HWND notice = GetDlgItem(hwnd, kIdNotice);
  SetStatusText(hwnd, notice, Gbk(ed.starting).c_str());

  if (!TrySpawnDetached(PatchWorker, hwnd, a5, b5, hasBackup5, a6, b6, gamePath, std::string(ed.manifest),
                        Gbk(ed.percent), Gbk(ed.size), Gbk(ed.success), ed.busy, ed.cancel, ed.finish)) {
    if (hasBackup5) RestoreBackup(a5, b5);
    if (HWND b = GetDlgItem(hwnd, kIdStartGame)) EnableWindow(b, TRUE);
    if (HWND b = GetDlgItem(hwnd, ed.other)) EnableWindow(b, TRUE);
    if (HWND b = GetDlgItem(hwnd, ed.button)) SetWindowTextA(b, Gbk(ed.idle).c_str());
    if (bar) ShowWindow(bar, SW_HIDE);
    std::string busyText = Gbk(u8"系统繁忙，无法启动下载线程，请稍后重试。");
    SetStatusText(hwnd, notice, busyText.c_str());
    MessageBoxA(hwnd, busyText.c_str(), Gbk(u8"错误").c_str(), MB_ICONERROR);
  }
}

void PatchWorker(HWND window, std::wstring a5, std::wstring b5, bool hasBackup5, std::wstring a6, std::wstring b6,
                 std::wstring gamePath, std::string manifestName, std::string percentFormat, std::string sizeFormat,
                 std::string successText, std::atomic<bool>* busy, std::atomic<bool>* cancel, UINT finishMessage) {
  busy->store(true);
  cancel->store(false);
  bool downloaded5 = false;  // DownloadFile ran for archive 5 and owns its backup since
  auto fail = [&](int result) {
    if (!downloaded5 && hasBackup5) RestoreBackup(a5, b5);
    Finish(window, busy, finishMessage, result);
  };

  ClientManifest manifest;
  std::string error, url5, url6;
  if (!FetchClientManifest(manifestName, &manifest, &error)) return fail(kJobFailed);
  const ManifestFile* e5 = FindManifestFile(manifest, kPath5);
  const ManifestFile* e6 = FindManifestFile(manifest, kPath6);
  if (!e5 || !e6) return fail(kJobFailed);
  if (!FileUrlFromManifest(manifest, *e5, &url5) || !FileUrlFromManifest(manifest, *e6, &url6))
    return fail(kJobFailed);

  bool need5 = !IsFileCurrent(a5, *e5), need6 = !IsFileCurrent(a6, *e6);
  std::uint64_t size5 = need5 ? e5->size : 0, size6 = need6 ? e6->size : 0;
  std::uint64_t total = 0;
  if (need5 && need6) total = (size5 > 0 && size6 > 0) ? size5 + size6 : 0;
  else if (need5) total = size5;
  else if (need6) total = size6;

  auto request = [&](const std::wstring& target, const std::wstring& backup, bool hasBackup, const std::string& url,
                     std::uint64_t base, const ManifestFile& entry) {
    DownloadRequest r;
    r.window = window;
    r.target = target;
    r.backup = backup;
    r.hasBackup = hasBackup;
    r.url = url;
    r.percentFormat = percentFormat;
    r.cancel = cancel;
    r.base = base;
    r.overallTotal = total;
    r.sizeFormat = sizeFormat;
    r.expectedHash = entry.sha256;
    return r;
  };
  bool ok = true;
  std::uint64_t base6 = 0;
  if (need5 && !cancel->load()) {
    downloaded5 = true;
    ok = DownloadFile(request(a5, b5, hasBackup5, url5, 0, *e5));
    if (ok && total > 0) base6 = size5;
  }
  if (ok && need6 && !cancel->load()) {
    bool hasBackup6 = false;
    if (GetFileAttributesW(a6.c_str()) != INVALID_FILE_ATTRIBUTES) {
      DeleteFileW(b6.c_str());
      hasBackup6 = MoveFileW(a6.c_str(), b6.c_str()) != 0;
    }
    ok = DownloadFile(request(a6, b6, hasBackup6, url6, base6, *e6));
  }
  if (ok && !cancel->load()) {
    RemoveClientCache(gamePath);
    RemoveStalePatches(gamePath);
    if (window && IsWindow(window)) {
      PostStatusText(window, successText.c_str());
      PostMessageA(window, WMU_PROGRESS, 100, 0);
    }
    Finish(window, busy, finishMessage, kJobDone);
    return;
  }
  fail(cancel->load() ? kJobCancelled : kJobFailed);
}
