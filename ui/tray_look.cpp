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

BOOL CALLBACK SetTipFont(HWND w, LPARAM) {
  wchar_t cls[64] = {}, ownerCls[64] = {};
  HWND owner = GetWindow(w, GW_OWNER);
  GetClassNameW(w, cls, 64);
  if (owner) GetClassNameW(owner, ownerCls, 64);
  if (wcsstr(cls, L"tooltips_class32") && wcsstr(ownerCls, L"tray_icon"))
    SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont), FALSE);
  return TRUE;
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

void FontForShellTip() { EnumThreadWindows(GetCurrentThreadId(), SetTipFont, 0); }
