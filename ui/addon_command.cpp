// The addon buttons: the window's checks before an addon install, and what
// it does when the worker reports back.
#include "ui/commands.h"

#include <commctrl.h>

#include "app/jobs.h"
#include "app/messages.h"
#include "config/settings.h"
#include "endpoints.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "install/install.h"
#include "net/text.h"
#include "net/url.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"
#include "ui/window_services.h"

namespace {

struct Pack {
  int button;
  const char* urlPath;
  const wchar_t* cacheName;
  std::u8string_view starting, percent, size, success, label;
};

Pack PackOf(AddonPack pack) {
  if (pack == AddonPack::A)
    return {kIdAddonA,
            "%E5%A4%A7%E8%84%9A%E6%8F%92%E4%BB%B6.zip",
            L"dajiao.zip",
            u8"正在下载大脚插件... 0%",
            u8"正在下载大脚插件... %d%%",
            u8"正在下载大脚插件... 已下载 %.1f MB",
            u8"大脚插件安装完成！",
            u8"正在下载大脚插件..."};
  return {kIdAddonB,
          "%E9%AD%94%E7%9B%92%E6%8F%92%E4%BB%B6.zip",
          L"mohe.zip",
          u8"正在下载魔盒插件... 0%",
          u8"正在下载魔盒插件... %d%%",
          u8"正在下载魔盒插件... 已下载 %.1f MB",
          u8"魔盒插件安装完成！",
          u8"正在下载魔盒插件..."};
}

}  // namespace

void OnAddonCommand(HWND hwnd, AddonPack which) {
  const Pack pack = PackOf(which);
  if (JobRunning(JobKind::Addon)) {
    // The other pack's button is disabled; a click that still arrives does nothing.
    if (JobButton(JobKind::Addon) == pack.button &&
        ConfirmCancel(hwnd, u8"确定取消插件安装吗？\n\n已下载的部分将丢弃。", u8"取消安装"))
      CancelJob(hwnd, JobKind::Addon, u8"正在取消安装...");
    return;
  }
  if (GamePath[0] == L'\0') return ShowBox(hwnd, u8"请先选择游戏路径！", u8"提示", MB_OK);
  if (!IsValidGamePath(GamePath)) return ShowBox(hwnd, u8"请先选择有效的 Wow.exe 路径！", u8"提示", MB_OK);
  if (GameStillRunning(kGameExitWaitMs))
    return ShowBox(hwnd, u8"请先关闭正在运行的游戏再安装插件！", u8"提示", MB_ICONWARNING);
  if (JobRunning(JobKind::PatchNormal) || JobRunning(JobKind::PatchHd))
    return ShowBox(hwnd, u8"补丁正在下载，请稍后再安装插件。", u8"提示", MB_ICONWARNING);
  AddonJob job;
  job.cacheFile = AddonCachePath(pack.cacheName);
  if (job.cacheFile.empty()) return ShowBox(hwnd, u8"无法创建插件缓存目录。", u8"错误", MB_ICONERROR);
  ClaimJob(hwnd, JobKind::Addon, pack.button);
  ShowJobProgress(hwnd);
  SetStatusText(hwnd, GetDlgItem(hwnd, kIdNotice), Gbk(pack.starting).c_str());
  job.window = hwnd;
  job.gamePath = GamePath;
  job.gameFolder = GameFolderOf(job.gamePath);
  // The packs live at the root of the second mirror's server.
  job.url = UrlServerRoot(kMirrorBases[1]) + pack.urlPath;
  job.percentFormat = Gbk(pack.percent);
  job.sizeFormat = Gbk(pack.size);
  job.label = Gbk(pack.label);
  job.successText = Gbk(pack.success);
  job.buttonId = pack.button;
  if (!TrySpawnDetached(AddonWorker, std::move(job)))
    ReportJobNotStarted(hwnd, JobKind::Addon, u8"系统繁忙，无法启动安装线程，请稍后重试。");
}

void OnAddonDone(HWND hwnd, int result) {
  SetTaskbarProgressNone(hwnd);
  if (result != kJobCancelled) DrawAttention(hwnd, result == kJobDone);
  if (result == kJobDone) {
    HideProgress(hwnd);
  } else if (result == kJobFilesLocked) {
    ResetProgress(hwnd);
    ShowLockedFileBox(hwnd);
  } else {
    ResetProgress(hwnd);
    ShowStandingNotice(hwnd);
    if (result == kJobUnsigned)
      ShowBox(hwnd, u8"插件包签名无效，已停止安装，游戏目录未作改动。请联系服务器管理员。", u8"错误", MB_ICONERROR);
    else if (result == kJobFailed)
      ShowBox(hwnd, u8"插件安装失败，请检查网络或稍后重试。", u8"错误", MB_ICONERROR);
    else
      SetStatusText(hwnd, GetDlgItem(hwnd, kIdNotice),
                    Gbk(u8"已取消插件安装。游戏目录未作改动，已下载的部分已丢弃。").c_str());
  }
  ReleaseJob(hwnd, JobKind::Addon);
}
