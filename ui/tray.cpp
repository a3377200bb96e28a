#include "ui/tray.h"

#include <shellapi.h>

#include <iterator>

#include "app/messages.h"
#include "net/text.h"
#include "res/resource_ids.h"
#include "ui/ui_state.h"

bool TrayIconAdded = false;

namespace {

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
  NOTIFYICONDATAW nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = kTrayIconId;
  nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  nid.uCallbackMessage = WMU_TRAY_NOTIFY;
  nid.hIcon = icon;
  // The wide structure's tip holds 128 characters, not bytes.
  UiText(u8"星桥").copy(nid.szTip, std::size(nid.szTip) - 1);
  if (Shell_NotifyIconW(NIM_ADD, &nid)) TrayIconAdded = true;
}

void RemoveTrayIcon(HWND window) {
  if (!TrayIconAdded) return;
  NOTIFYICONDATAW nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = kTrayIconId;
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
