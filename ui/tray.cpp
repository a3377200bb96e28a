#include "ui/tray.h"

#include <shellapi.h>

#include <iterator>

#include "app/log.h"
#include "app/messages.h"
#include "config/settings.h"
#include "net/text.h"
#include "net/throttle.h"
#include "res/resource_ids.h"
#include "ui/job_buttons.h"
#include "ui/tray_look.h"
#include "ui/ui_state.h"

bool TrayIconAdded = false;

namespace {

constexpr std::u8string_view kTrayName = u8"星桥";
bool g_balloonShown = false;
std::wstring g_tip;  // the icon's tip as the launcher shows it

NOTIFYICONDATAW IconData(HWND window) {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = kTrayIconId;
  return nid;
}

template <size_t N>
void CopyText(wchar_t (&to)[N], const std::wstring& text) {
  to[text.copy(to, N - 1)] = 0;
}

void ShowMain(HWND window) {
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
}

// The speed cap's choices, in KiB a second (0: none), and the menu ids they
// get from kFirstCapId on.
struct CapChoice {
  std::uint32_t kib;
  const char8_t* text;
};
constexpr CapChoice kCapChoices[] = {
    {0, u8"不限速"},         {512, u8"限速 512 KB/s"}, {1024, u8"限速 1 MB/s"},
    {2048, u8"限速 2 MB/s"}, {5120, u8"限速 5 MB/s"},
};
constexpr int kFirstCapId = 10;

void AppendCapChoices(HMENU menu) {
  const std::uint32_t current = ReadSpeedLimit();
  bool known = false;
  for (const CapChoice& c : kCapChoices) known = known || c.kib == current;
  for (size_t i = 0; i < std::size(kCapChoices); ++i) {
    // A value set by hand that is none of the choices shows no check mark.
    const bool checked = known && kCapChoices[i].kib == current;
    AppendMenuText(menu, checked ? MF_CHECKED : 0, kFirstCapId + static_cast<UINT>(i), UiText(kCapChoices[i].text));
  }
}

void ChooseCap(int choice) {
  const std::uint32_t kib = kCapChoices[choice - kFirstCapId].kib;
  SaveSpeedLimit(kib);
  SetDownloadCap(static_cast<std::uint64_t>(kib) * 1024);
}

}  // namespace

void AddTrayIcon(HWND window) {
  if (TrayIconAdded) return;
  HICON icon = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON, 16, 16, LR_SHARED));
  if (!icon) return;
  NOTIFYICONDATAW nid = IconData(window);
  nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  nid.uCallbackMessage = WMU_TRAY_NOTIFY;
  nid.hIcon = icon;
  // The wide structure's tip holds 128 characters, not bytes.
  g_tip = UiText(kTrayName);
  CopyText(nid.szTip, TipForShell(g_tip));
  if (!Shell_NotifyIconW(NIM_ADD, &nid)) return;
  TrayIconAdded = true;
  nid.uVersion = NOTIFYICON_VERSION_4;  // no shell tip without NIF_SHOWTIP: the launcher draws its own
  Shell_NotifyIconW(NIM_SETVERSION, &nid);
}

void RemoveTrayIcon(HWND window) {
  if (!TrayIconAdded) return;
  NOTIFYICONDATAW nid = IconData(window);
  Shell_NotifyIconW(NIM_DELETE, &nid);
  TrayIconAdded = false;
}

namespace {

// Quitting stops every job: while one runs the player is asked first, and
// told what stays (a download's bytes, the game folder as it was).
bool QuitWanted(HWND window) {
  bool running = false;
  for (int k = 0; k < kJobKinds; ++k) running = running || JobRunning(static_cast<JobKind>(k));
  return !running || ConfirmCancel(window,
                                   u8"下载或安装正在进行，确定退出登录器吗？\n\n退出会停止正在进行的任务。"
                                   u8"已下载的部分会保留，下次点击同一按钮即可继续；"
                                   u8"游戏目录中不会留下写了一半的文件。",
                                   u8"退出登录器");
}

}  // namespace

void OnTrayNotify(HWND window, LPARAM lp) {
  if (LOWORD(lp) == WM_MOUSEMOVE) return ShowTrayTip(window, g_tip);
  if (LOWORD(lp) == WM_LBUTTONUP || LOWORD(lp) == WM_RBUTTONUP) HideTrayTip();
  switch (LOWORD(lp)) {
    case WM_LBUTTONUP: ShowMain(window); break;
    case WM_RBUTTONUP: {
      POINT pt;
      GetCursorPos(&pt);
      HMENU menu = CreatePopupMenu();
      AppendMenuText(menu, 0, 1, UiText(u8"打开登录器"));
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendCapChoices(menu);
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuText(menu, 0, 2, UiText(u8"退出登录器"));
      SetForegroundWindow(window);
      int choice = TrackPopupMenu(menu, TPM_RETURNCMD, pt.x, pt.y, 0, window, nullptr);
      DestroyMenu(menu);
      if (choice == 1) {
        ShowMain(window);
      } else if (choice == 2) {
        if (!QuitWanted(window)) break;
        RemoveTrayIcon(window);
        DestroyWindow(window);
      } else if (choice >= kFirstCapId && choice < kFirstCapId + static_cast<int>(std::size(kCapChoices))) {
        ChooseCap(choice);
      }
      break;
    }
    default: break;
  }
}

void NoteWindowInTray(HWND window) {
  if (g_balloonShown || !TrayIconAdded) return;
  g_balloonShown = true;
  // The launcher's own balloon: the shell's draws in the system's font, which
  // may have no Chinese glyphs (Wine in another language).
  const bool shown = ShowTrayNotice(
      window, UiText(u8"星桥登录器仍在运行"),
      UiText(u8"登录器在通知区域继续运行，下载不会中断。单击图标打开窗口；右键单击图标，选择“退出登录器”即可退出。"));
  // A support question about a missing notice starts at this line.
  LogWrite("Tray balloon shown: %d", shown ? 1 : 0);
}

void SetTrayTip(HWND window, std::u8string_view job, int percent) {
  if (!TrayIconAdded) return;
  NOTIFYICONDATAW nid = IconData(window);
  nid.uFlags = NIF_TIP;
  std::wstring tip = UiText(kTrayName);
  if (!job.empty()) tip += L" - " + UiText(job) + L" " + std::to_wstring(percent < 0 ? 0 : percent) + L"%";
  g_tip = tip;
  CopyText(nid.szTip, TipForShell(tip));
  Shell_NotifyIconW(NIM_MODIFY, &nid);
}
