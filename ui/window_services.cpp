#include "ui/window_services.h"

#include <commctrl.h>

#include <string>

#include "net/text.h"
#include "ui/box.h"
#include "ui/ids.h"
#include "ui/ui_state.h"

namespace {

void InvalidateInParent(HWND parent, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  InvalidateRect(parent, &r, FALSE);
  InvalidateRect(control, nullptr, FALSE);
}

}  // namespace

const char* StandingNotice() {
  static const std::string text = Gbk(u8"普通客户端下载怀旧补丁，高清客户端下载高清补丁，切勿打错补丁！");
  return text.c_str();
}

void ShowJobProgress(HWND mainWindow) {
  if (HWND bar = GetDlgItem(mainWindow, kIdProgress)) {
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    ShowWindow(bar, SW_SHOW);
  }
}

void SetStatusText(HWND parent, HWND control, const char* text) {
  if (!parent || !control) return;
  const std::wstring wide = WideFromGbk(text ? text : "");
  wchar_t current[256] = {};
  GetWindowTextW(control, current, 256);
  if (wide == current) return;
  SetWindowTextW(control, wide.c_str());
  InvalidateInParent(parent, control);
}

void SetStatusTextUtf8(HWND parent, HWND control, const char* text) {
  if (!parent || !control) return;
  std::wstring wide = Utf8ToWide(text ? text : "");
  if (wide.size() > 511) wide.resize(511);
  if (wide.empty() && text && *text) return;
  wchar_t current[512] = {};
  GetWindowTextW(control, current, 512);
  if (wide == current) return;
  SetWindowTextW(control, wide.c_str());
  InvalidateInParent(parent, control);
}

void SetTaskbarProgress(HWND window, int percent) {
  if (!Taskbar || !window) return;
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  Taskbar->SetProgressState(window, TBPF_NORMAL);
  Taskbar->SetProgressValue(window, static_cast<ULONGLONG>(percent), 100);
}

void SetTaskbarProgressNone(HWND window) {
  if (Taskbar && window) Taskbar->SetProgressState(window, TBPF_NOPROGRESS);
}

void DrawAttention(HWND hwnd, bool succeeded) {
  MessageBeep(succeeded ? MB_OK : MB_ICONHAND);
  if (GetForegroundWindow() != hwnd) {
    FLASHWINFO fi = {sizeof fi, hwnd, FLASHW_TRAY | FLASHW_TIMERNOFG, 5, 0};
    FlashWindowEx(&fi);
  }
}

void ShowStandingNotice(HWND hwnd) {
  HWND notice = GetDlgItem(hwnd, kIdNotice);
  SetStatusText(hwnd, notice, StandingNotice());
  if (notice) ShowWindow(notice, SW_SHOW);
}

void HideProgress(HWND hwnd) {
  if (HWND bar = GetDlgItem(hwnd, kIdProgress)) ShowWindow(bar, SW_HIDE);
}

void ResetProgress(HWND hwnd) {
  if (HWND bar = GetDlgItem(hwnd, kIdProgress)) {
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    ShowWindow(bar, SW_HIDE);
  }
}

int ShowGbkBox(HWND hwnd, const std::string& text, const std::string& title, UINT flags) {
  return LauncherBox(hwnd, WideFromGbk(text), WideFromGbk(title), flags);
}

void ShowBox(HWND hwnd, std::u8string_view text, std::u8string_view title, UINT flags) {
  ShowGbkBox(hwnd, Gbk(text), Gbk(title), flags);
}

void ShowLockedFileBox(HWND hwnd) {
  wchar_t text[512] = {};
  GetWindowTextW(GetDlgItem(hwnd, kIdNotice), text, 512);
  LauncherBox(hwnd, text, UiText(u8"错误"), MB_ICONERROR);
}
