#include "ui/tray.h"

#include <shellapi.h>

#include <cstring>

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
      LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APP_ICON), IMAGE_ICON, 16, 16, LR_SHARED));
  if (!icon) return;
  NOTIFYICONDATAA nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = kTrayIconId;
  nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  nid.uCallbackMessage = WMU_TRAY_NOTIFY;
  nid.hIcon = icon;
  std::string tip = Gbk(u8"星桥");
  std::strncpy(nid.szTip, tip.c_str(), sizeof nid.szTip - 1);
  if (Shell_NotifyIconA(NIM_ADD, &nid)) TrayIconAdded = true;
}

void RemoveTrayIcon(HWND window) {
  if (!TrayIconAdded) return;
  NOTIFYICONDATAA nid = {};
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = kTrayIconId;
  Shell_NotifyIconA(NIM_DELETE, &nid);
  TrayIconAdded = false;
}

void OnTrayNotify(HWND window, LPARAM lp) {
  switch (LOWORD(lp)) {
    case WM_LBUTTONUP: ShowMain(window); break;
    case WM_RBUTTONUP: {
      POINT pt;
      GetCursorPos(&pt);
      HMENU menu = CreatePopupMenu();
      AppendMenuA(menu, MF_STRING, 1, Gbk(u8"打开登录器").c_str());
      AppendMenuA(menu, MF_STRING, 2, Gbk(u8"退出登录器").c_str());
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
