#include "ui/tray_look.h"

#include <commctrl.h>
#include <shellapi.h>

#include <map>

#include "ui/ui_state.h"

namespace {

std::map<UINT, std::wstring> g_menuTexts;  // by item id; the menu is built anew on each right click
HWND g_notice = nullptr;
UINT_PTR g_noticeTimer = 0;
std::wstring g_noticeText;
HWND g_tip = nullptr;
std::wstring g_tipText;
POINT g_tipAnchor = {};
UINT_PTR g_tipTimer = 0;

// The tip goes once the pointer has left the icon: the shell says where the
// pointer moves over the icon, never that it left.
void CALLBACK WatchTip(HWND, UINT, UINT_PTR, DWORD) {
  POINT pt;
  GetCursorPos(&pt);
  const int reach = Scaled(16);
  if (pt.x < g_tipAnchor.x - reach || pt.x > g_tipAnchor.x + reach || pt.y < g_tipAnchor.y - reach ||
      pt.y > g_tipAnchor.y + reach)
    HideTrayTip();
}

void CALLBACK NoticeTimeUp(HWND, UINT, UINT_PTR, DWORD) { HideTrayNotice(); }

// Where the icon is: the shell's rectangle of it, or the corner of the work
// area where the notification area is as a rule.
POINT IconPoint(HWND mainWindow) {
  using GetRectFn = HRESULT(WINAPI*)(const NOTIFYICONIDENTIFIER*, RECT*);
  static const auto getRect = reinterpret_cast<GetRectFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"shell32.dll"), "Shell_NotifyIconGetRect")));
  NOTIFYICONIDENTIFIER id = {};
  id.cbSize = sizeof id;
  id.hWnd = mainWindow;
  id.uID = kTrayIconId;
  RECT r;
  if (getRect && SUCCEEDED(getRect(&id, &r))) return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
  return {r.right - Scaled(24), r.bottom - Scaled(4)};
}

}  // namespace

void AppendMenuText(HMENU menu, UINT flags, UINT id, const std::wstring& text) {
  g_menuTexts[id] = text;
  AppendMenuW(menu, flags | MF_OWNERDRAW, id, reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(id)));
}

LRESULT MeasureMenuItem(MEASUREITEMSTRUCT* mi) {
  auto it = g_menuTexts.find(mi->itemID);
  if (it == g_menuTexts.end()) return FALSE;
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, UiFont);
  SIZE size = {};
  GetTextExtentPoint32W(dc, it->second.c_str(), static_cast<int>(it->second.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  mi->itemWidth = static_cast<UINT>(size.cx + Scaled(28) + Scaled(16));
  const int height = size.cy + Scaled(10);
  mi->itemHeight = static_cast<UINT>(height > GetSystemMetrics(SM_CYMENU) ? height : GetSystemMetrics(SM_CYMENU));
  return TRUE;
}

LRESULT DrawMenuItem(const DRAWITEMSTRUCT* di) {
  auto it = g_menuTexts.find(di->itemID);
  if (it == g_menuTexts.end()) return FALSE;
  const bool selected = di->itemState & ODS_SELECTED;
  const bool grayed = di->itemState & (ODS_GRAYED | ODS_DISABLED);
  RECT r = di->rcItem;
  // The system's menu colours, so that the menu follows high contrast too.
  FillRect(di->hDC, &r, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_MENU));
  const COLORREF ink = GetSysColor(grayed ? COLOR_GRAYTEXT : selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT);
  if (di->itemState & ODS_CHECKED) {
    // A tick of lines: no font is needed for it.
    HPEN pen = CreatePen(PS_SOLID, Scaled(2), ink);
    HGDIOBJ oldPen = SelectObject(di->hDC, pen);
    const int x = r.left + Scaled(8), y = (r.top + r.bottom) / 2;
    POINT tick[] = {{x, y}, {x + Scaled(4), y + Scaled(4)}, {x + Scaled(11), y - Scaled(4)}};
    Polyline(di->hDC, tick, 3);
    SelectObject(di->hDC, oldPen);
    DeleteObject(pen);
  }
  HGDIOBJ oldFont = SelectObject(di->hDC, UiFont);
  SetBkMode(di->hDC, TRANSPARENT);
  SetTextColor(di->hDC, ink);
  r.left += Scaled(28);
  DrawTextW(di->hDC, it->second.c_str(), static_cast<int>(it->second.size()), &r,
            DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_LEFT);
  SelectObject(di->hDC, oldFont);
  return TRUE;
}

bool ShowTrayNotice(HWND mainWindow, const std::wstring& title, const std::wstring& text) {
  HideTrayNotice();
  g_notice =
      CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                      WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP | TTS_BALLOON | TTS_CLOSE, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, mainWindow, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!g_notice) return false;
  // The title is drawn in a bold copy of this font.
  SendMessageW(g_notice, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont), FALSE);
  SendMessageW(g_notice, TTM_SETMAXTIPWIDTH, 0, Scaled(360));
  g_noticeText = text;
  TTTOOLINFOW ti = {};
  ti.cbSize = sizeof ti;
  ti.uFlags = TTF_TRACK | TTF_ABSOLUTE;
  ti.hwnd = mainWindow;
  ti.uId = 1;
  ti.lpszText = g_noticeText.data();
  SendMessageW(g_notice, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  SendMessageW(g_notice, TTM_SETTITLEW, TTI_INFO, reinterpret_cast<LPARAM>(title.c_str()));
  const POINT at = IconPoint(mainWindow);
  SendMessageW(g_notice, TTM_TRACKPOSITION, 0, MAKELPARAM(at.x, at.y));
  SendMessageW(g_notice, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&ti));
  g_noticeTimer = SetTimer(nullptr, 0, 10000, NoticeTimeUp);
  return true;
}

void HideTrayNotice() {
  if (g_noticeTimer) KillTimer(nullptr, g_noticeTimer);
  g_noticeTimer = 0;
  if (g_notice) DestroyWindow(g_notice);
  g_notice = nullptr;
}

std::wstring TipForShell(const std::wstring& tip) {
  static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine ? std::wstring() : tip;
}

void ShowTrayTip(HWND mainWindow, const std::wstring& text) {
  GetCursorPos(&g_tipAnchor);
  TTTOOLINFOW ti = {};
  ti.cbSize = sizeof ti;
  ti.uFlags = TTF_TRACK;
  ti.hwnd = mainWindow;
  ti.uId = 2;
  if (!g_tip) {
    g_tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, mainWindow, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    if (!g_tip) return;
    SendMessageW(g_tip, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont), FALSE);
    ti.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(g_tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }
  g_tipText = text;
  ti.lpszText = g_tipText.data();
  SendMessageW(g_tip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
  SendMessageW(g_tip, TTM_TRACKPOSITION, 0, MAKELPARAM(g_tipAnchor.x + Scaled(12), g_tipAnchor.y + Scaled(16)));
  SendMessageW(g_tip, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&ti));
  if (!g_tipTimer) g_tipTimer = SetTimer(nullptr, 0, 200, WatchTip);
}

void HideTrayTip() {
  if (g_tipTimer) KillTimer(nullptr, g_tipTimer);
  g_tipTimer = 0;
  if (!g_tip) return;
  TTTOOLINFOW ti = {};
  ti.cbSize = sizeof ti;
  ti.hwnd = GetWindow(g_tip, GW_OWNER);
  ti.uId = 2;
  SendMessageW(g_tip, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&ti));
}
