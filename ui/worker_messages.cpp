#include "ui/worker_messages.h"

#include <commctrl.h>

#include "app/jobs.h"
#include "app/messages.h"
#include "net/text.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"
#include "ui/layout.h"
#include "ui/tray.h"
#include "ui/window_services.h"

namespace {

// What the tray tip names while a job runs; the progress bar is shared.
std::u8string_view RunningJobName() {
  if (JobRunning(JobKind::Client)) return u8"正在下载客户端";
  if (JobRunning(JobKind::PatchNormal) || JobRunning(JobKind::PatchHd)) return u8"正在下载补丁";
  if (JobRunning(JobKind::Addon)) return u8"正在安装插件";
  return {};
}

}  // namespace

void OnStatusTextMessage(HWND hwnd, LPARAM lp) {
  HGLOBAL block = reinterpret_cast<HGLOBAL>(lp);
  if (!block) return;
  if (const char* text = static_cast<const char*>(GlobalLock(block))) {
    SetStatusText(hwnd, GetDlgItem(hwnd, kIdNotice), text);
    GlobalUnlock(block);
  }
  GlobalFree(block);
}

void OnProgressMessage(HWND hwnd, WPARAM percent) {
  if (HWND bar = GetDlgItem(hwnd, kIdProgress)) SendMessageW(bar, PBM_SETPOS, percent, 0);
  SetTaskbarProgress(hwnd, static_cast<int>(percent));
  SetTrayTip(hwnd, RunningJobName(), static_cast<int>(percent));
}

namespace {
std::wstring ClientTarget;

// `lead`, then the folder when a download has named one.
void ShowClientTarget(HWND hwnd, std::u8string_view lead) {
  HWND notice = GetDlgItem(hwnd, kIdNotice);
  if (!notice) return;
  std::wstring text = UiText(lead);
  if (!ClientTarget.empty()) text += (text.empty() ? L"" : L" ") + UiText(u8"客户端保存到：") + ClientTarget;
  SetWindowTextW(notice, text.c_str());
  ShowWindow(notice, SW_SHOW);
  InvalidateRect(hwnd, nullptr, FALSE);
}
}  // namespace

void SetClientTarget(HWND hwnd, const std::wstring& folder) {
  ClientTarget = folder;
  ShowClientTarget(hwnd, u8"");
}

void OnClientConnecting(HWND hwnd) {
  if (HWND bar = GetDlgItem(hwnd, kIdProgress)) {
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    ShowWindow(bar, SW_SHOW);
  }
  ShowClientTarget(hwnd, u8"正在连接镜像服务器...");
  SetTaskbarProgress(hwnd, 0);
}

void OnNetTimeout(HWND hwnd) {
  std::uint32_t now = GetTickCount();
  if (!TimeoutWarningDue(LastTimeoutWarningTick.load(), now)) return;
  LastTimeoutWarningTick.store(now);
  ShowBox(hwnd, u8"连接服务器超时，请检查网络后重试。", u8"错误", MB_ICONWARNING);
}
