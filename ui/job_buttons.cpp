#include "ui/job_buttons.h"

#include <commctrl.h>

#include <string>

#include "app/jobs.h"
#include "net/text.h"
#include "ui/ids.h"
#include "ui/tray.h"
#include "ui/window_services.h"

namespace {

JobViews g_jobs;

}  // namespace

std::atomic<bool>& JobBusyFlag(JobKind kind) {
  switch (kind) {
    case JobKind::PatchNormal: return PatchNormalBusy;
    case JobKind::PatchHd: return PatchHdBusy;
    case JobKind::Client: return ClientBusy;
    case JobKind::Addon: break;
  }
  return AddonBusy;
}

std::atomic<bool>& JobCancelFlag(JobKind kind) {
  switch (kind) {
    case JobKind::PatchNormal: return PatchNormalCancel;
    case JobKind::PatchHd: return PatchHdCancel;
    case JobKind::Client: return ClientCancel;
    case JobKind::Addon: break;
  }
  return AddonCancel;
}

namespace {

JobView& View(JobKind kind) { return g_jobs[static_cast<int>(kind)]; }

std::u8string_view IdleLabel(int id) {
  switch (id) {
    case kIdStartGame: return u8"开始游戏";
    case kIdPatchNormal: return u8"下载怀旧补丁";
    case kIdPatchHd: return u8"下载高清补丁";
    case kIdClientNormal: return u8"下载怀旧客户端";
    case kIdClientHd: return u8"下载高清客户端";
    case kIdAddonA: return u8"安装大脚插件";
    case kIdVerify: return u8"校验客户端";
    default: return u8"安装魔盒插件";
  }
}

std::u8string_view LabelOf(const ButtonLook& look) {
  switch (look.label) {
    case ButtonLabel::Busy:
      if (look.id == kIdVerify) return u8"取消校验";
      return look.id == kIdAddonA || look.id == kIdAddonB ? u8"取消安装" : u8"取消下载";
    case ButtonLabel::Cancelling: return u8"正在取消...";
    case ButtonLabel::Idle: break;
  }
  return IdleLabel(look.id);
}

// While a job runs the PC must not go to sleep on its own (the display may
// still turn off). The state belongs to the calling thread: always the UI
// thread here.
void UpdateKeepAwake() {
  bool any = false;
  for (const JobView& job : g_jobs) any = any || job.running;
  SetThreadExecutionState(any ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

void ApplyJobButtons(HWND hwnd) {
  for (const ButtonLook& look : JobButtonLooks(g_jobs)) {
    HWND b = GetDlgItem(hwnd, look.id);
    if (!b) continue;
    std::u8string_view text = LabelOf(look);
    std::wstring label = UiText(text);
    wchar_t current[64] = {};
    GetWindowTextW(b, current, 64);
    if (label != current) SetWindowTextW(b, label.c_str());
    if ((IsWindowEnabled(b) != FALSE) != look.enabled) EnableWindow(b, look.enabled ? TRUE : FALSE);
  }
}

}  // namespace

bool JobRunning(JobKind kind) { return View(kind).running; }
int JobButton(JobKind kind) { return View(kind).running ? View(kind).button : 0; }

void ClaimJob(HWND hwnd, JobKind kind, int button) {
  JobCancelFlag(kind).store(false);
  JobBusyFlag(kind).store(true);
  View(kind) = JobView{true, false, button};
  if (kind == JobKind::Addon) AddonActiveButton.store(button);
  UpdateKeepAwake();
  ApplyJobButtons(hwnd);
}

void ReleaseJob(HWND hwnd, JobKind kind) {
  JobBusyFlag(kind).store(false);
  View(kind) = JobView{};
  if (kind == JobKind::Addon) AddonActiveButton.store(0);
  UpdateKeepAwake();
  ApplyJobButtons(hwnd);
  bool any = false;
  for (const JobView& job : g_jobs) any = any || job.running;
  if (!any) SetTrayTip(hwnd, {}, 0);
}

void ReportJobNotStarted(HWND hwnd, JobKind kind, std::u8string_view text) {
  ReleaseJob(hwnd, kind);
  HideProgress(hwnd);
  const std::string gbk = Gbk(text);
  SetStatusText(hwnd, GetDlgItem(hwnd, kIdNotice), gbk.c_str());
  ShowGbkBox(hwnd, gbk, Gbk(u8"错误"), MB_ICONERROR);
}

bool ConfirmCancel(HWND hwnd, std::u8string_view text, std::u8string_view title) {
  return ShowGbkBox(hwnd, Gbk(text), Gbk(title), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void CancelJob(HWND hwnd, JobKind kind, std::u8string_view noticeText) {
  JobCancelFlag(kind).store(true);
  View(kind).cancelling = true;
  ApplyJobButtons(hwnd);
  SetStatusText(hwnd, GetDlgItem(hwnd, kIdNotice), Gbk(noticeText).c_str());
}
