#include "ui/tray.h"

#include <shellapi.h>

#include <iterator>

#include "app/messages.h"
#include "net/text.h"
#include "res/resource_ids.h"
#include "ui/ui_state.h"

bool TrayIconAdded = false;

namespace {

constexpr std::u8string_view kTrayName = u8"星桥";
bool g_balloonShown = false;

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
  CopyText(nid.szTip, UiText(kTrayName));
  if (Shell_NotifyIconW(NIM_ADD, &nid)) TrayIconAdded = true;
}

void RemoveTrayIcon(HWND window) {
  if (!TrayIconAdded) return;
  NOTIFYICONDATAW nid = IconData(window);
  Shell_NotifyIconW(NIM_DELETE, &nid);
  TrayIconAdded = false;
}

void OnTrayNotify(HWND window, LPARAM lp) {
  switch (LOWORD(lp)) {
    case WM_LBUTTONUP: ShowMain(window); break;
    case WM_RBUTTONUP: {
      POINT pt;
      GetCursorPos(&pt);
      HMENU menu = CreatePopupMenu();
      AppendMenuW(menu, MF_STRING, 1, UiText(u8"打开登录器").c_str());
      AppendMenuW(menu, MF_STRING, 2, UiText(u8"退出登录器").c_str());
      SetForegroundWindow(window);
      int choice = TrackPopupMenu(menu, TPM_RETURNCMD, pt.x, pt.y, 0, window, nullptr);
      DestroyMenu(menu);
      if (choice == 1) {
        ShowMain(window);
      } else if (choice == 2) {
        RemoveTrayIcon(window);
        DestroyWindow(window);
      }
      break;
    }
    default: break;
  }
}

void NoteWindowInTray(HWND window) {
  if (g_balloonShown || !TrayIconAdded) return;
  g_balloonShown = true;
  NOTIFYICONDATAW nid = IconData(window);
  nid.uFlags = NIF_INFO;
  nid.dwInfoFlags = NIIF_INFO;
  CopyText(nid.szInfoTitle, UiText(u8"星桥登录器仍在运行"));
  CopyText(
      nid.szInfo,
      UiText(u8"登录器在通知区域继续运行，下载不会中断。单击图标打开窗口；右键单击图标，选择“退出登录器”即可退出。"));
  Shell_NotifyIconW(NIM_MODIFY, &nid);
}

void SetTrayTip(HWND window, std::u8string_view job, int percent) {
  if (!TrayIconAdded) return;
  NOTIFYICONDATAW nid = IconData(window);
  nid.uFlags = NIF_TIP;
  std::wstring tip = UiText(kTrayName);
  if (!job.empty()) tip += L" - " + UiText(job) + L" " + std::to_wstring(percent < 0 ? 0 : percent) + L"%";
  CopyText(nid.szTip, tip);
  Shell_NotifyIconW(NIM_MODIFY, &nid);
}
