// The patch buttons: the window's checks before a patch update, and what it
// does when the worker reports back.
#include "ui/commands.h"

#include <commctrl.h>

#include "app/jobs.h"
#include "app/log.h"
#include "app/messages.h"
#include "config/settings.h"
#include "download/take_manifest.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "install/install.h"
#include "manifest/manifest_choice.h"
#include "net/download.h"
#include "net/text.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"
#include "ui/window_services.h"

namespace {

struct Edition {
  const char* manifest;
  JobKind kind;
  int button;
  std::u8string_view starting, percent, size, current, success, label;
  UINT finish;
};

Edition EditionOf(PatchKind kind) {
  if (kind == PatchKind::Hd)
    return {"wow335-hd",
            JobKind::PatchHd,
            kIdPatchHd,
            u8"正在下载高清补丁... 0%",
            u8"正在下载高清补丁... %d%%",
            u8"正在下载高清补丁... 已下载 %.1f MB",
            u8"高清补丁已是最新，无需下载。",
            u8"高清补丁已就绪，请开始游戏!",
            u8"正在下载高清补丁...",
            WMU_PATCH_HD_DONE};
  return {"wow335-normal",
          JobKind::PatchNormal,
          kIdPatchNormal,
          u8"正在下载怀旧补丁... 0%",
          u8"正在下载怀旧补丁... %d%%",
          u8"正在下载怀旧补丁... 已下载 %.1f MB",
          u8"怀旧补丁已是最新，无需下载。",
          u8"游戏准备就绪，请开始游戏!",
          u8"正在下载怀旧补丁...",
          WMU_PATCH_NORMAL_DONE};
}

}  // namespace

void OnPatchCommand(HWND hwnd, PatchKind kind) {
  const Edition ed = EditionOf(kind);
  if (JobRunning(ed.kind)) {
    if (ConfirmCancel(hwnd, u8"确定取消下载吗？\n\n已下载的进度会保留，下次可继续。", u8"取消下载"))
      CancelJob(hwnd, ed.kind, u8"正在取消下载...");
    return;
  }
  if (GamePath[0] == L'\0') return ShowBox(hwnd, u8"请先选择路径！", u8"提示", MB_OK);
  if (GameStillRunning(kGameExitWaitMs))
    return ShowBox(hwnd, u8"请先关闭正在运行的游戏再进行下载！", u8"提示", MB_ICONWARNING);
  PatchJob job;
  job.window = hwnd;
  job.gamePath = GamePath;
  const std::wstring folder = GameFolderOf(job.gamePath);
  // A game folder that is gone is no network failure: say which it is.
  const DWORD attr = GetFileAttributesW(folder.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY)) {
    LogWrite("PatchUpdate: game folder not found: %ls", folder.c_str());
    return (void)ShowGbkBox(hwnd,
                            Gbk(u8"找不到游戏目录：") + GbkFromWide(folder) +
                                Gbk(u8"\n\n它可能已被移动或删除。请点击“浏览游戏...”重新选择 Wow.exe。"),
                            Gbk(u8"错误"), MB_ICONERROR);
  }
  job.archive5 = folder + L"\\Data\\zhCN\\patch-zhCN-5.MPQ";
  job.archive6 = folder + L"\\Data\\zhCN\\patch-zhCN-6.MPQ";

  // The manifest is fetched here, on the window's thread, so that a client
  // that is already current never starts a job.
  ClientManifest manifest;
  std::string error;
  const ManifestFile *e5 = nullptr, *e6 = nullptr;
  HCURSOR old = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  if (FetchClientManifest(ed.manifest, &manifest, &error)) {
    e5 = FindManifestFile(manifest, kPatch5Path);
    e6 = FindManifestFile(manifest, kPatch6Path);
  }
  if (!e5 || !e6) {
    SetCursor(old);
    return ShowBox(hwnd,
                   error == Gbk(kUnsignedManifestText) ? kUnsignedManifestText
                   : error == Gbk(kOlderManifestText)  ? kOlderManifestText
                   : error == Gbk(kServerUpdatingText) ? kServerUpdatingText
                                                       : u8"无法获取补丁清单，请检查网络。",
                   u8"错误", MB_ICONERROR);
  }
  if (RefusedForOtherEdition(hwnd, kind, manifest, folder)) return (void)SetCursor(old);
  bool current5 = IsFileCurrent(job.archive5, *e5);
  bool current6 = current5 && IsFileCurrent(job.archive6, *e6);
  SetCursor(old);
  if (current5 && current6) {
    RemoveStalePatches(job.gamePath);
    return ShowBox(hwnd, ed.current, u8"提示", MB_ICONINFORMATION);
  }
  ClaimJob(hwnd, ed.kind, ed.button);
  ShowJobProgress(hwnd);
  SetStatusText(hwnd, GetDlgItem(hwnd, kIdNotice), Gbk(ed.starting).c_str());

  job.manifestName = ed.manifest;
  job.percentFormat = Gbk(ed.percent);
  job.sizeFormat = Gbk(ed.size);
  job.label = Gbk(ed.label);
  job.successText = Gbk(ed.success);
  job.busy = &JobBusyFlag(ed.kind);
  job.cancel = &JobCancelFlag(ed.kind);
  job.finishMessage = ed.finish;
  if (!TrySpawnDetached(PatchWorker, std::move(job)))
    ReportJobNotStarted(hwnd, ed.kind, u8"系统繁忙，无法启动下载线程，请稍后重试。");
}

void OnPatchDone(HWND hwnd, UINT msg, int result) {
  HideProgress(hwnd);
  SetTaskbarProgressNone(hwnd);
  DrawAttention(hwnd, result == kJobDone);
  if (result == kJobFilesLocked) {
    ResetProgress(hwnd);
    ShowLockedFileBox(hwnd);
  } else if (result == kJobCancelled) {
    // The worker's last line stays: what the cancel left changed.
    ResetProgress(hwnd);
  } else if (result != kJobDone) {
    ResetProgress(hwnd);
    ShowStandingNotice(hwnd);
    if (result == kJobFailed) ShowBox(hwnd, u8"下载失败，请检查网络。", u8"错误", MB_ICONERROR);
  }
  ReleaseJob(hwnd, msg == WMU_PATCH_HD_DONE ? JobKind::PatchHd : JobKind::PatchNormal);
}
