#include "ui/launcher_update.h"

#include <memory>

#include "app/log.h"
#include "install/self_update_win.h"
#include "net/text.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"

namespace {

bool AnyJobRunning() {
  for (JobKind k : {JobKind::Client, JobKind::PatchNormal, JobKind::PatchHd, JobKind::Addon})
    if (JobRunning(k)) return true;
  return false;
}

}  // namespace

void OnLauncherOffer(HWND hwnd, LPARAM lp) {
  std::unique_ptr<LauncherOffer> offer(reinterpret_cast<LauncherOffer*>(lp));
  if (!offer || LauncherUpdateBusy.load()) return;
  const std::string version = FormatLauncherVersion(offer->feed.version);
  std::string text = Gbk(u8"星桥登录器有新版本 ") + version + Gbk(u8"。\n\n");
  if (!offer->feed.notes.empty()) text += GbkFromUtf8(offer->feed.notes) + "\n\n";
  text += Gbk(u8"是否现在更新？更新完成后登录器会自动重新打开。");
  if (ShowGbkBox(hwnd, text, Gbk(u8"登录器更新"), MB_YESNO | MB_ICONQUESTION) != IDYES) {
    LogWrite("LauncherUpdate: %s declined", version.c_str());
    return;
  }
  ShowJobProgress(hwnd);
  SetStatusText(hwnd, GetDlgItem(hwnd, kIdNotice), Gbk(u8"正在下载新版登录器...").c_str());
  if (!StartLauncherUpdate(hwnd, *offer)) {
    HideProgress(hwnd);
    ShowStandingNotice(hwnd);
  }
}

void OnLauncherReady(HWND hwnd, WPARAM swapped) {
  HideProgress(hwnd);
  SetTaskbarProgressNone(hwnd);
  HWND notice = GetDlgItem(hwnd, kIdNotice);
  if (!swapped) {
    SetStatusText(hwnd, notice, Gbk(u8"登录器更新未完成，继续使用当前版本。").c_str());
    return;
  }
  // A running job would be cut off by the restart: the new version then
  // comes with the next start.
  if (AnyJobRunning()) {
    SetStatusText(hwnd, notice, Gbk(u8"新版登录器已就绪，下次打开时生效。").c_str());
    return;
  }
  LauncherRestartWanted.store(true);
  DestroyWindow(hwnd);
}

void AnnounceLauncherRollBack(HWND hwnd) {
  const std::string version = TakeLauncherRollBack();
  if (version.empty()) return;
  SetStatusText(hwnd, GetDlgItem(hwnd, kIdNotice),
                (Gbk(u8"新版登录器 ") + version + Gbk(u8" 两次未能正常打开，已换回原来的版本。")).c_str());
}
