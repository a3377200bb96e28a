#include "ui/main_window.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <cmath>
#include <string>

#include "app/jobs.h"
#include "app/messages.h"
#include "config/serverlist.h"
#include "config/settings.h"
#include "install/self_update_win.h"
#include "net/text.h"
#include "net/throttle.h"
#include "res/resource_ids.h"
#include "ui/commands.h"
#include "ui/accessible.h"
#include "ui/ids.h"
#include "ui/keys.h"
#include "ui/layout.h"
#include "ui/launcher_update.h"
#include "ui/layout_win.h"
#include "ui/paint.h"
#include "ui/tray.h"
#include "ui/tray_look.h"
#include "ui/ui_state.h"
#include "ui/worker_messages.h"

namespace {

// Every control is a wide window, so that its text is kept and drawn as
// given whatever the system's ANSI code page.
HWND Child(HWND parent, DWORD exStyle, const wchar_t* cls, const std::wstring& text, DWORD style, const Box& b,
           int id) {
  return CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, b.x, b.y, b.w, b.h, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

void CreateControls(HWND hwnd) {
  const MainLayout L = ComputeMainLayout(UiScalePercent);
  // Buttons and the realm list take the focus from Tab (ui/keys.cpp).
  const DWORD button = BS_OWNERDRAW | WS_TABSTOP;
  Child(hwnd, 0, L"STATIC", UiText(u8"游戏路径："), 0, L.pathLabel, 0);
  HWND pathBox = Child(hwnd, WS_EX_TRANSPARENT, L"STATIC", L"", SS_NOPREFIX | SS_CENTERIMAGE, L.pathBox, kIdPathBox);
  if (pathBox) {
    SetWindowRgn(pathBox, CreateRoundRectRgn(0, 0, L.pathBox.w + 1, L.pathBox.h + 1, Scaled(8), Scaled(8)), FALSE);
    LoadGamePath();
    if (GamePath[0]) SetWindowTextW(pathBox, GamePath);
  }
  // The player's cap from the tray menu holds from the first download on.
  SetDownloadCap(static_cast<std::uint64_t>(ReadSpeedLimit()) * 1024);
  Child(hwnd, 0, L"BUTTON", UiText(u8"浏览游戏..."), button, L.browse, kIdBrowse);
  Child(hwnd, 0, L"STATIC", UiText(u8"选择服务器："), 0, L.serverLabel, 0);
  HWND list =
      Child(hwnd, 0, L"COMBOBOX", L"", CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP,
            L.serverList, kIdServerList);
  if (list) {
    SetWindowTheme(list, L"", L"");
    SendMessageW(list, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), L.serverItemHeight);
  }
  // A description longer than its box ends in an ellipsis and shows whole
  // in its tooltip (FitServerDescription); an & in it is a character.
  HWND description = Child(hwnd, 0, L"STATIC", L"", SS_CENTERIMAGE | SS_ENDELLIPSIS | SS_NOPREFIX, L.serverDescription,
                           kIdServerDescription);
  Child(hwnd, 0, L"BUTTON", UiText(u8"注册账号"), button, L.registerBtn, kIdRegister);
  Child(hwnd, 0, L"BUTTON", UiText(u8"开始游戏"), button, L.startGame, kIdStartGame);
  Child(hwnd, 0, L"BUTTON", UiText(u8"安装大脚插件"), button, L.addonA, kIdAddonA);
  Child(hwnd, 0, L"BUTTON", UiText(u8"安装魔盒插件"), button, L.addonB, kIdAddonB);
  if (list) {
    for (int i = 0; i < ServerCount(); ++i) {
      std::wstring name = Utf8ToWide(ServerAt(i)->name);
      if (name.size() > 255) name.resize(255);
      SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
    if (ServerCount() > 0) SendMessageW(list, CB_SETCURSEL, 0, 0);
  }
  if (ServerCount() > 0 && !ServerAt(0)->description.empty())
    SetStatusTextUtf8(hwnd, description, ServerAt(0)->description.c_str());
  else
    SetStatusText(hwnd, description, Gbk(u8"请选择服务器").c_str());
  Child(hwnd, 0, L"BUTTON", UiText(u8"下载怀旧客户端"), button, L.clientNormal, kIdClientNormal);
  Child(hwnd, 0, L"BUTTON", UiText(u8"下载高清客户端"), button, L.clientHd, kIdClientHd);
  Child(hwnd, 0, L"BUTTON", UiText(u8"下载怀旧补丁"), button, L.patchNormal, kIdPatchNormal);
  Child(hwnd, 0, L"BUTTON", UiText(u8"下载高清补丁"), button, L.patchHd, kIdPatchHd);
  Child(hwnd, 0, L"BUTTON", UiText(u8"校验客户端"), button, L.verify, kIdVerify);
  Child(hwnd, 0, L"BUTTON", L"\u2014", button | BS_CENTER, L.minimize, kIdMinimize);
  Child(hwnd, 0, L"BUTTON", L"\u00d7", button | BS_CENTER, L.close, kIdClose);
  Child(hwnd, 0, L"STATIC", WideFromGbk(StandingNotice()), 0, L.notice, kIdNotice);
  HWND progress =
      CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | PBS_SMOOTH | WS_CLIPSIBLINGS, L.progress.x, L.progress.y,
                      L.progress.w, L.progress.h, hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdProgress)),
                      GetModuleHandleW(nullptr), nullptr);
  if (progress) SetWindowTheme(progress, L"", L"");

  for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont), TRUE);
  InstallControlPainters(hwnd);
  InstallAccessibleNames(hwnd);
  InstallKeyboardFocus(hwnd);
  FitServerNames(hwnd);
  FitServerDescription(hwnd);
}

void OnTimer(HWND hwnd, WPARAM id) {
  if (id != kPulseTimer) return;
  if (IsIconic(hwnd) || !IsWindowVisible(hwnd) || GetForegroundWindow() != hwnd) return;
  double t = static_cast<double>(GetTickCount());
  float phase = static_cast<float>((std::sin(t * 0.0006) + 1.0) * 0.5);
  PulsePhase.store(phase);
  // A plate's look changes only when its alpha steps: between steps it keeps
  // the look of the step's first frame and is not painted again.
  bool platesChange = PulseStep(phase) != PulseStep(PlatePhase.load());
  if (platesChange) PlatePhase.store(phase);
  for (int id2 : {kIdStartGame, kIdBrowse, kIdRegister, kIdClientNormal, kIdClientHd, kIdPatchNormal, kIdPatchHd,
                  kIdAddonA, kIdAddonB, kIdVerify, kIdMinimize, kIdClose, kIdServerList, kIdProgress})
    if (HWND c = GetDlgItem(hwnd, id2); c && (platesChange || id2 == kIdProgress)) InvalidateRect(c, nullptr, FALSE);
}

void OnPaint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT client;
  GetClientRect(hwnd, &client);
  PaintMainBackground(hwnd, dc, client);
  EndPaint(hwnd, &ps);
}

LRESULT OnNcHitTest(HWND hwnd, WPARAM wp, LPARAM lp) {
  LRESULT hit = DefWindowProcW(hwnd, WM_NCHITTEST, wp, lp);
  if (hit != HTCLIENT) return hit;
  POINT pt = {static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
  ScreenToClient(hwnd, &pt);
  RECT client;
  GetClientRect(hwnd, &client);
  return IsDragStrip(pt.x, pt.y, client.right, UiScalePercent) ? HTCAPTION : hit;
}

bool IsHoverable(HWND hwnd, HWND w) {
  if (!w || GetParent(w) != hwnd) return false;
  int id = GetDlgCtrlID(w);
  if (id == kIdServerList || id == kIdPathBox) return true;
  LONG style = GetWindowLongW(w, GWL_STYLE);
  return (style & 0xB) != 0 && id != 0;
}

void Refresh(HWND w) {
  if (!w) return;
  InvalidateRect(w, nullptr, FALSE);
  UpdateWindow(w);
}

void OnMouseMove(HWND hwnd) {
  POINT pt;
  GetCursorPos(&pt);
  HWND under = WindowFromPoint(pt);
  HWND next = IsHoverable(hwnd, under) ? under : nullptr;
  HWND prev = HoverControl.load();
  if (next == prev) return;
  HoverControl.store(next);
  Refresh(prev);
  Refresh(next);
  TRACKMOUSEEVENT tme = {sizeof tme, TME_LEAVE, hwnd, 0};
  TrackMouseEvent(&tme);
}

void OnMouseLeave(HWND hwnd) {
  // The pointer leaves the Main window's own area also when it enters a
  // child; the hovered child keeps its look while the pointer is on it.
  POINT pt;
  GetCursorPos(&pt);
  HWND under = WindowFromPoint(pt);
  if (under && under == HoverControl.load() && IsHoverable(hwnd, under)) return;
  if (HWND prev = HoverControl.exchange(nullptr)) Refresh(prev);
}

LRESULT OnCtlColor(UINT msg, WPARAM wp, LPARAM lp) {
  HDC dc = reinterpret_cast<HDC>(wp);
  HWND control = reinterpret_cast<HWND>(lp);
  if (HighContrastOn()) {
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(msg == WM_CTLCOLORSTATIC ? GetStockObject(NULL_BRUSH)
                                                              : GetSysColorBrush(COLOR_WINDOW));
  }
  const COLORREF text = RGB(160, 215, 255);
  switch (msg) {
    case WM_CTLCOLORSTATIC:
      SetTextColor(dc, GetDlgCtrlID(control) == kIdNotice ? RGB(192, 160, 78) : text);
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    case WM_CTLCOLORBTN:
      SetTextColor(dc, text);
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(ButtonBrush);
    case WM_CTLCOLORLISTBOX:
      SetTextColor(dc, text);
      if (IsServerDropDown(control)) {
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
      }
      SetBkColor(dc, RGB(10, 26, 50));
      return reinterpret_cast<LRESULT>(ListBrush);
    case WM_CTLCOLOREDIT:
    default:
      if (GetDlgCtrlID(GetParent(control)) == kIdServerList) {
        SetTextColor(dc, text);
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
      }
      SetTextColor(dc, RGB(255, 255, 255));
      SetBkColor(dc, RGB(8, 18, 38));
      return reinterpret_cast<LRESULT>(EditBrush);
  }
}

LRESULT OnDrawItem(HWND hwnd, const DRAWITEMSTRUCT* di) {
  if (di->CtlType == ODT_MENU) return DrawMenuItem(di);
  switch (di->CtlID) {
    case kIdBrowse:
    case kIdStartGame:
    case kIdPatchNormal:
    case kIdClientHd:
    case kIdPatchHd:
    case kIdRegister:
    case kIdClose:
    case kIdMinimize:
    case kIdClientNormal:
    case kIdAddonA:
    case kIdAddonB:
    case kIdVerify: DrawGlassButton(hwnd, di); return TRUE;
    case kIdServerList:
      if (static_cast<int>(di->itemID) == -1)
        InvalidateRect(di->hwndItem, nullptr, FALSE);
      else
        InvalidateRect(di->hwndItem, &di->rcItem, FALSE);
      return TRUE;
    default: return 0;
  }
}

LRESULT OnMeasureItem(MEASUREITEMSTRUCT* mi) {
  if (mi->CtlType == ODT_MENU) return MeasureMenuItem(mi);
  if (mi->CtlID != kIdServerList) return FALSE;
  mi->itemHeight = Scaled(32);
  return TRUE;
}

void OnClose(HWND hwnd) {
  // Gone from the screen at once, then hidden: under Wine without a window
  // manager the hide waits 2 s for one to confirm it, and a window that
  // stays up that long after × looks frozen. The shape comes back as the
  // window is shown again (WM_SHOWWINDOW).
  SetWindowRgn(hwnd, CreateRectRgn(0, 0, 0, 0), TRUE);
  GdiFlush();
  ShowWindow(hwnd, SW_HIDE);
  AddTrayIcon(hwnd);
  NoteWindowInTray(hwnd);
}

void SetRoundShape(HWND hwnd, BOOL redraw) {
  RECT r;
  if (!GetWindowRect(hwnd, &r)) return;
  SetWindowRgn(hwnd, CreateRoundRectRgn(0, 0, r.right - r.left, r.bottom - r.top, Scaled(12), Scaled(12)), redraw);
}

void OnDestroy(HWND hwnd) {
  RemoveTrayIcon(hwnd);
  for (auto* flag : {&PatchNormalCancel, &PatchHdCancel, &ClientCancel, &AddonCancel, &LauncherUpdateCancel})
    flag->store(true);
  KillTimer(hwnd, kPulseTimer);
  ReleaseBackBuffers();
  PostQuitMessage(0);
}

}  // namespace

std::wstring MainWindowTitle() { return UiText(u8"星桥登录器"); }

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = MainWndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = BackgroundBrush;
  wc.lpszClassName = kMainClass;
  return RegisterClassExW(&wc) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
  RECT r = {0, 0, MainWindowWidth, MainWindowHeight};
  AdjustWindowRectForScale(&r);
  int w = r.right - r.left, h = r.bottom - r.top;
  HWND hwnd = CreateWindowExW(0, kMainClass, MainWindowTitle().c_str(), WS_POPUP | WS_BORDER, CW_USEDEFAULT,
                              CW_USEDEFAULT, w, h, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return nullptr;
  MainWindow = hwnd;
  int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
  SetWindowPos(hwnd, nullptr, (sw - w) / 2, (sh - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  SetRoundShape(hwnd, FALSE);
  HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  CreateControls(hwnd);
  return hwnd;
}

// Each case is one call; private messages are handled in worker_messages.cpp
// and beside each job's command, commands in commands.cpp, painting in
// paint.cpp.
LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: SetTimer(hwnd, kPulseTimer, 80, nullptr); return 0;
    case WM_TIMER: OnTimer(hwnd, wp); return 0;
    case WM_PAINT: OnPaint(hwnd); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_NCHITTEST: return OnNcHitTest(hwnd, wp, lp);
    case WM_MOUSEMOVE: OnMouseMove(hwnd); return 0;
    case WM_MOUSELEAVE: OnMouseLeave(hwnd); return 0;
    case WM_MEASUREITEM: return OnMeasureItem(reinterpret_cast<MEASUREITEMSTRUCT*>(lp));
    case WM_DRAWITEM: return OnDrawItem(hwnd, reinterpret_cast<const DRAWITEMSTRUCT*>(lp));
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLOREDIT: return OnCtlColor(msg, wp, lp);
    case WM_COMMAND: return OnMainCommand(hwnd, LOWORD(wp), HIWORD(wp));
    case WM_CLOSE: OnClose(hwnd); return 0;
    case WM_SHOWWINDOW:
      if (wp) SetRoundShape(hwnd, FALSE);
      if (wp) HideTrayNotice();
      return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_DESTROY: OnDestroy(hwnd); return 0;
    case WM_CHANGEUISTATE:
    case WM_UPDATEUISTATE: return OnUiState(hwnd, msg, wp, lp);
    case WM_ACTIVATE: return OnActivate(hwnd, wp) ? 0 : DefWindowProcW(hwnd, msg, wp, lp);
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
      ForgetHighContrast();
      RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      return DefWindowProcW(hwnd, msg, wp, lp);
    case WMU_TRAY_NOTIFY: OnTrayNotify(hwnd, lp); return 0;
    case WMU_STATUS_TEXT: OnStatusTextMessage(hwnd, lp); return 0;
    case WMU_PROGRESS: OnProgressMessage(hwnd, wp); return 0;
    case WMU_PATCH_NORMAL_DONE:
    case WMU_PATCH_HD_DONE: OnPatchDone(hwnd, msg, static_cast<int>(wp)); return 0;
    case WMU_ADDON_DONE: OnAddonDone(hwnd, static_cast<int>(wp)); return 0;
    case WMU_CLIENT_DONE: OnClientDone(hwnd, reinterpret_cast<ClientDownloadResult*>(lp)); return 0;
    case WMU_CLIENT_CONNECTING: OnClientConnecting(hwnd); return 0;
    case WMU_VERIFY_DONE: OnVerifyDone(hwnd, reinterpret_cast<ClientVerifyResult*>(lp)); return 0;
    case WMU_NET_TIMEOUT: OnNetTimeout(hwnd); return 0;
    case WMU_LAUNCHER_OFFER: OnLauncherOffer(hwnd, lp); return 0;
    case WMU_LAUNCHER_READY: OnLauncherReady(hwnd, wp); return 0;
    // The class is wide: messages that carry text (WM_SETTEXT...) arrive
    // with wide strings and must go on to the wide default procedure.
    default: return DefWindowProcW(hwnd, msg, wp, lp);
  }
}
