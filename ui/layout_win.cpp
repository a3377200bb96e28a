#include "ui/layout_win.h"

#include <commctrl.h>

#include <string>

#include "ui/font.h"
#include "ui/ids.h"
#include "ui/layout.h"
#include "ui/ui_state.h"

namespace {

HWND g_nameTip = nullptr;
HWND g_descriptionTip = nullptr;

std::wstring ItemText(HWND combo, int index) {
  const int len = static_cast<int>(SendMessageW(combo, CB_GETLBTEXTLEN, index, 0));
  if (len <= 0 || len > 255) return {};
  std::wstring text(static_cast<size_t>(len) + 1, L'\0');
  SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(len);
  return text;
}

void MoveTo(HWND control, const Box& b) {
  if (control) MoveWindow(control, b.x, b.y, b.w, b.h, FALSE);
}

// The selected name as the box's tooltip while it does not fit; no tip
// otherwise.
void SetNameTip(HWND mainWindow, HWND combo, const std::wstring& name, bool fits) {
  if (!g_nameTip) {
    g_nameTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, mainWindow, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    if (!g_nameTip) return;
    SendMessageW(g_nameTip, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont), FALSE);
    TTTOOLINFOW ti = {};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = mainWindow;
    ti.uId = reinterpret_cast<UINT_PTR>(combo);
    ti.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(g_nameTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }
  std::wstring text = fits ? std::wstring() : name;
  TTTOOLINFOW ti = {};
  ti.cbSize = sizeof ti;
  ti.uFlags = TTF_IDISHWND;
  ti.hwnd = mainWindow;
  ti.uId = reinterpret_cast<UINT_PTR>(combo);
  ti.lpszText = text.data();
  SendMessageW(g_nameTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
  SendMessageW(g_nameTip, TTM_ACTIVATE, fits ? FALSE : TRUE, 0);
}

}  // namespace

int ControlTextWidth(HWND fontSource, const std::wstring& text) {
  if (text.empty() || !fontSource) return 0;
  HFONT hf = reinterpret_cast<HFONT>(SendMessageW(fontSource, WM_GETFONT, 0, 0));
  HDC dc = GetDC(nullptr);
  if (!dc) return 0;
  int width = 0;
  if (ControlTextFont() && hf == ControlTextFontSource()) {
    Gdiplus::Graphics g(dc);
    g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    Gdiplus::StringFormat fmt;
    fmt.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    Gdiplus::RectF out;
    if (g.MeasureString(text.c_str(), -1, ControlTextFont(), Gdiplus::PointF(0, 0), &fmt, &out) == Gdiplus::Ok)
      width = static_cast<int>(out.Width + 0.999f);
  } else if (hf) {
    HGDIOBJ old = SelectObject(dc, hf);
    SIZE size = {};
    if (GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size)) width = size.cx;
    SelectObject(dc, old);
  }
  ReleaseDC(nullptr, dc);
  return width;
}

void FitServerNames(HWND mainWindow) {
  HWND combo = GetDlgItem(mainWindow, kIdServerList);
  if (!combo) return;
  const MainLayout L = ComputeMainLayout(UiScalePercent);
  const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  int widest = 0;
  for (int k = 0; k < count; ++k) {
    const int w = ControlTextWidth(combo, ItemText(combo, k));
    if (w > widest) widest = w;
  }
  const int visible = static_cast<int>(SendMessageW(combo, CB_GETMINVISIBLE, 0, 0));
  const int scroll = count > (visible > 0 ? visible : 30) ? GetSystemMetrics(SM_CXVSCROLL) : 0;
  const int sel = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
  const std::wstring name = sel >= 0 ? ItemText(combo, sel) : std::wstring();
  const ServerRow row = FitServerRow(L, ControlTextWidth(combo, name), UiScalePercent);
  HWND description = GetDlgItem(mainWindow, kIdServerDescription);
  MoveTo(combo, row.list);
  MoveTo(description, row.description);
  SendMessageW(combo, CB_SETDROPPEDWIDTH, DropDownWidth(row.list.w, widest, scroll, UiScalePercent), 0);
  SetNameTip(mainWindow, combo, name, row.fits);
  RECT r = {L.serverList.x, L.serverDescription.y, L.serverDescription.x + L.serverDescription.w,
            L.serverDescription.y + L.serverDescription.h};
  InvalidateRect(mainWindow, &r, FALSE);
  InvalidateRect(combo, nullptr, FALSE);
}

void FitServerDescription(HWND mainWindow) {
  HWND description = GetDlgItem(mainWindow, kIdServerDescription);
  if (!description) return;
  wchar_t text[512] = {};
  GetWindowTextW(description, text, 512);
  RECT r;
  GetWindowRect(description, &r);
  MapWindowPoints(nullptr, mainWindow, reinterpret_cast<POINT*>(&r), 2);
  // The label lets the pointer through to the window, so the tool is the
  // label's rectangle of the window.
  TTTOOLINFOW ti = {};
  ti.cbSize = sizeof ti;
  ti.uFlags = TTF_SUBCLASS;
  ti.hwnd = mainWindow;
  ti.uId = kIdServerDescription;
  ti.rect = r;
  if (!g_descriptionTip) {
    g_descriptionTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, mainWindow, nullptr,
                                       GetModuleHandleW(nullptr), nullptr);
    if (!g_descriptionTip) return;
    SendMessageW(g_descriptionTip, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont), FALSE);
    // A long description wraps in the tip instead of running off the screen.
    SendMessageW(g_descriptionTip, TTM_SETMAXTIPWIDTH, 0, Scaled(420));
    ti.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(g_descriptionTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }
  SendMessageW(g_descriptionTip, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&ti));
  // Cut text (the label ends it with an ellipsis) shows whole in the tip.
  const bool fits = ControlTextWidth(description, text) <= r.right - r.left;
  std::wstring tip = fits ? std::wstring() : std::wstring(text);
  ti.lpszText = tip.data();
  SendMessageW(g_descriptionTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
  SendMessageW(g_descriptionTip, TTM_ACTIVATE, fits ? FALSE : TRUE, 0);
}
