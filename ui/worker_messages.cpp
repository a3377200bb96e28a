#include "ui/worker_messages.h"

#include <commctrl.h>

#include "app/jobs.h"
#include "app/messages.h"
#include "net/text.h"
#include "ui/ids.h"
#include "ui/job_buttons.h"
#include "ui/layout.h"
#include "ui/window_services.h"

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
}

void OnClientConnecting(HWND hwnd) {
  if (HWND bar = GetDlgItem(hwnd, kIdProgress)) {
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    ShowWindow(bar, SW_SHOW);
  }
  HWND notice = GetDlgItem(hwnd, kIdNotice);
  SetStatusText(hwnd, notice, Gbk(u8"正在连接镜像服务器...").c_str());
  if (notice) ShowWindow(notice, SW_SHOW);
  SetTaskbarProgress(hwnd, 0);
}

void OnNetTimeout(HWND hwnd) {
  std::uint32_t now = GetTickCount();
  if (!TimeoutWarningDue(LastTimeoutWarningTick.load(), now)) return;
  LastTimeoutWarningTick.store(now);
  ShowBox(hwnd, u8"连接服务器超时，请检查网络后重试。", u8"错误", MB_ICONWARNING);
}
