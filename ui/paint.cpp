#include "ui/paint.h"

#include <commctrl.h>

#include <cstdlib>
#include <map>
#include <string>

#include "net/text.h"
#include "ui/font.h"
#include "ui/ids.h"
#include "ui/keys.h"
#include "ui/layout.h"
#include "ui/ui_state.h"

using namespace Gdiplus;

namespace {

std::map<HWND, BackBuffer> g_backBuffers;
HWND g_serverDropDown = nullptr;

const Color kTextColor(240, 255, 255, 255);
int g_highContrast = -1;  // -1: not asked yet

Color SystemColor(int index, BYTE alpha = 255) {
  const COLORREF c = GetSysColor(index);
  return Color(alpha, GetRValue(c), GetGValue(c), GetBValue(c));
}

// Glass text, or the system's button text where the glass is off.
Color TextColor() { return HighContrastOn() ? SystemColor(COLOR_BTNTEXT) : kTextColor; }

// The focus mark: a bright edge on the plate's outline, drawn over it.
void DrawFocusMark(Graphics& g, GraphicsPath& path) {
  const bool plain = HighContrastOn();
  const int width = Scaled(plain ? 3 : 2);
  Pen pen(plain ? SystemColor(COLOR_HIGHLIGHT) : Color(255, 255, 255, 255), float(width < 2 ? 2 : width));
  pen.SetLineJoin(LineJoinRound);
  g.DrawPath(&pen, &path);
}

void ReleaseBuffer(BackBuffer& b) {
  if (b.dc) {
    if (b.previous) SelectObject(b.dc, b.previous);
    if (b.bitmap) DeleteObject(b.bitmap);
    DeleteDC(b.dc);
  }
  b = BackBuffer{};
}

void Prepare(Graphics& g) {
  g.SetSmoothingMode(SmoothingModeAntiAlias);
  g.SetInterpolationMode(InterpolationModeHighQualityBicubic);
  g.SetTextRenderingHint(TextRenderingHintAntiAliasGridFit);
}

void DrawText(Graphics& g, const std::wstring& text, const Font* font, const RectF& box, StringAlignment align) {
  if (!font || text.empty()) return;
  StringFormat fmt;
  fmt.SetAlignment(align);
  fmt.SetLineAlignment(StringAlignmentCenter);
  fmt.SetFormatFlags(StringFormatFlagsNoWrap);
  fmt.SetTrimming(StringTrimmingNone);
  SolidBrush brush(TextColor());
  g.DrawString(text.c_str(), -1, font, box, &fmt, &brush);
}

// Text in the control's font: through GDI+ when it could make that font at
// start-up, else through GDI onto the same back buffer.
void ControlText(Graphics& g, HWND fontSource, const std::wstring& text, const RectF& box, StringAlignment align) {
  if (text.empty() || !fontSource) return;
  HFONT hf = reinterpret_cast<HFONT>(SendMessageW(fontSource, WM_GETFONT, 0, 0));
  if (!hf) return;
  if (ControlTextFont() && hf == ControlTextFontSource()) {
    DrawText(g, text, ControlTextFont(), box, align);
    return;
  }
  g.Flush();
  HDC dc = g.GetHDC();
  HGDIOBJ old = SelectObject(dc, hf);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, HighContrastOn() ? GetSysColor(COLOR_BTNTEXT) : RGB(255, 255, 255));
  RECT r = {static_cast<LONG>(box.X), static_cast<LONG>(box.Y), static_cast<LONG>(box.X + box.Width),
            static_cast<LONG>(box.Y + box.Height)};
  UINT flags = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | (align == StringAlignmentCenter ? DT_CENTER : DT_LEFT);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, flags);
  SelectObject(dc, old);
  g.ReleaseHDC(dc);
}

std::wstring WindowTextW(HWND w, int max) {
  std::wstring text(static_cast<size_t>(max) + 1, L'\0');
  int n = GetWindowTextW(w, text.data(), max + 1);
  text.resize(n > 0 ? n : 0);
  return text;
}

GlassAlpha AlphaFor(HWND control, PlateState pressedOrNot) {
  PlateState state = pressedOrNot;
  if (state != PlateState::Pressed && HoverControl.load() == control) state = PlateState::Hover;
  return PlateAlpha(PlatePhase.load(), state);
}

// Paints one subclassed control into its back buffer and copies it out.
template <class Painter>
void PaintThrough(HWND control, HDC target, Painter paint) {
  RECT rc;
  GetClientRect(control, &rc);
  int w = rc.right, h = rc.bottom;
  if (w <= 0 || h <= 0) return;
  BackBuffer* bb = GetBackBuffer(control, target, w, h);
  if (!bb) return;
  {
    Graphics g(bb->dc);
    Prepare(g);
    paint(g, w, h);
  }
  BitBlt(target, 0, 0, w, h, bb->dc, 0, 0, SRCCOPY);
}

void PaintPathBox(HWND box, HDC target) {
  PaintThrough(box, target, [&](Graphics& g, int w, int h) {
    const int i = Scaled(4), r = Scaled(6);
    DrawParentBackground(g, box, GetParent(box), w, h);
    GraphicsPath path;
    AddRoundRect(path, i, r, w, h);
    FillGlass(g, path, w, h, i, 90, 0, 0, 0);
    ControlText(g, box, WindowTextW(box, 259), RectF(float(i + r), float(i), float(w - 2 * (i + r)), float(h - 2 * i)),
                StringAlignmentNear);
  });
}

void PaintServerList(HWND combo, HDC target) {
  PaintThrough(combo, target, [&](Graphics& g, int w, int h) {
    const int i = Scaled(4), r = Scaled(6);
    DrawParentBackground(g, combo, GetParent(combo), w, h);
    GlassAlpha a = AlphaFor(combo, PlateState::Normal);
    GraphicsPath path;
    AddRoundRect(path, i, r, w, h);
    float p = PlatePhase.load();
    FillGlass(g, path, w, h, i, a.plate, a.glow, 2.0f * p, 1.0f);
    if (FocusMarkShown(combo)) DrawFocusMark(g, path);
    RectF box(float(i + r), float(i), float(w - Scaled(24) - (i + r)), float(h - 2 * i));
    if (box.Width > 0 && box.Height > 0) {
      int sel = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
      std::wstring text;
      if (sel >= 0) {
        int len = static_cast<int>(SendMessageW(combo, CB_GETLBTEXTLEN, sel, 0));
        if (len > 0 && len <= 255) {
          text.resize(len + 1);
          SendMessageW(combo, CB_GETLBTEXT, sel, reinterpret_cast<LPARAM>(text.data()));
          text.resize(len);
        }
      }
      if (text.empty()) text = UiText(u8"请选择服务器");
      ControlText(g, combo, text, box, StringAlignmentNear);
    }
    if (const Font* arrow = ArrowFont()) {
      SolidBrush brush(TextColor());
      g.DrawString(L"\u25bc", 1, arrow, PointF(float(w - Scaled(16) - i - Scaled(4)), float((h - Scaled(8)) / 2)),
                   &brush);
    }
  });
}

HWND BackgroundParentOfDropDown(HWND list, DWORD_PTR data) {
  HWND main = reinterpret_cast<HWND>(data);
  if (main && IsWindow(main)) return main;
  HWND owner = GetWindow(list, GW_OWNER);
  if (owner && IsWindow(owner)) return owner;
  return FindWindowW(kMainClass, nullptr);
}

void PaintDropDown(HWND list, HDC target, DWORD_PTR data) {
  PaintThrough(list, target, [&](Graphics& g, int w, int h) {
    const int i = Scaled(4), r = Scaled(6);
    HWND parent = BackgroundParentOfDropDown(list, data);
    DrawParentBackground(g, list, parent, w, h);
    GlassAlpha a = PlateAlpha(PlatePhase.load(), PlateState::Normal);
    GraphicsPath path;
    AddRoundRect(path, i, r, w, h);
    FillGlass(g, path, w, h, i, a.plate, a.glow, 2.0f * PlatePhase.load(), 1.0f);
    HWND combo = parent ? GetDlgItem(parent, kIdServerList) : nullptr;
    HWND fontSource = combo ? combo : parent;
    int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    int sel = static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0));
    for (int k = 0; k < count; ++k) {
      RECT ir;
      if (SendMessageW(list, LB_GETITEMRECT, k, reinterpret_cast<LPARAM>(&ir)) == LB_ERR) continue;
      if (ir.bottom <= 0 || ir.top >= h) continue;
      int len = static_cast<int>(SendMessageW(list, LB_GETTEXTLEN, k, 0));
      if (len == LB_ERR || len > 255) continue;
      std::wstring text(static_cast<size_t>(len) + 1, L'\0');
      if (SendMessageW(list, LB_GETTEXT, k, reinterpret_cast<LPARAM>(text.data())) == LB_ERR) continue;
      text.resize(len);
      int iw = ir.right - ir.left, ih = ir.bottom - ir.top;
      if (k == sel && HighContrastOn()) {
        Pen selPen(SystemColor(COLOR_HIGHLIGHT), float(Scaled(2)));
        g.DrawRectangle(&selPen, ir.left + i + Scaled(2), ir.top + 1, iw - 2 * i - Scaled(4), ih - 2);
      } else if (k == sel) {
        SolidBrush selBrush(Color(60, 255, 255, 255));
        g.FillRectangle(&selBrush, ir.left + i + Scaled(2), ir.top, iw - 2 * i - Scaled(4), ih);
      }
      ControlText(g, fontSource, text,
                  RectF(float(ir.left + i + Scaled(8)), float(ir.top), float(iw - Scaled(16) - 2 * i), float(ih)),
                  StringAlignmentNear);
    }
  });
}

void PaintProgress(HWND bar, HDC target) {
  PaintThrough(bar, target, [&](Graphics& g, int w, int h) {
    const int i = Scaled(4), r = Scaled(6);
    DrawParentBackground(g, bar, GetParent(bar), w, h);
    ProgressLook look = ProgressBarLook(PulsePhase.load());
    GraphicsPath track;
    AddRoundRect(track, i, r, w, h);
    for (int n = 4; n >= 1; --n) {
      Pen pen(Color(static_cast<BYTE>(look.glowAlpha / n), 80, 150, 255), n * look.glowWidth);
      pen.SetLineJoin(LineJoinRound);
      g.DrawPath(&pen, &track);
    }
    const bool plain = HighContrastOn();
    SolidBrush trackBrush(plain ? SystemColor(COLOR_WINDOW) : Color(110, 12, 22, 55));
    g.FillPath(&trackBrush, &track);
    int pos = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    PBRANGE range = {0, 100};
    SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    int b = ProgressBarWidth(w, i, r, pos, range.iLow, range.iHigh);
    if (b > 0) {
      GraphicsPath fill;
      int d = 2 * r;
      fill.AddArc(i, i, d, d, 180, 90);
      fill.AddArc(i + b - d - 1, i, d, d, 270, 90);
      fill.AddArc(i + b - d - 1, h - d - i - 1, d, d, 0, 90);
      fill.AddArc(i, h - d - i - 1, d, d, 90, 90);
      fill.CloseFigure();
      LinearGradientBrush brush(Rect(i, i, b, h - 2 * i), Color(240, 255, 255, 255), Color(160, 200, 200, 200),
                                LinearGradientModeVertical);
      SolidBrush plainBar(SystemColor(COLOR_HIGHLIGHT));
      g.FillPath(plain ? static_cast<Brush*>(&plainBar) : &brush, &fill);
    }
    Pen border(plain ? SystemColor(COLOR_WINDOWTEXT) : Color(static_cast<BYTE>(look.borderAlpha + 50), 180, 220, 255),
               1.0f);
    g.DrawPath(&border, &track);
  });
}

template <void (*Paint)(HWND, HDC)>
LRESULT CALLBACK PaintSubclass(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    Paint(hwnd, dc);
    EndPaint(hwnd, &ps);
    return 0;
  }
  if (msg == WM_PRINT || msg == WM_PRINTCLIENT) {
    Paint(hwnd, reinterpret_cast<HDC>(wp));
    return 0;
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT CALLBACK ServerListSubclass(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR data) {
  if (msg == WM_SETFOCUS || msg == WM_KILLFOCUS) InvalidateRect(hwnd, nullptr, FALSE);
  if (msg == WM_CTLCOLORLISTBOX) {
    HDC dc = reinterpret_cast<HDC>(wp);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(160, 215, 255));
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
  }
  return PaintSubclass<PaintServerList>(hwnd, msg, wp, lp, id, data);
}

LRESULT CALLBACK DropDownSubclass(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
  switch (msg) {
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      PaintDropDown(hwnd, dc, data);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_PRINT:
    case WM_PRINTCLIENT: PaintDropDown(hwnd, reinterpret_cast<HDC>(wp), data); return 0;
    default: return DefSubclassProc(hwnd, msg, wp, lp);
  }
}

// Mouse moves over a child never reach the Main window, whose hover tracking
// would then not see the buttons at all: each button passes its moves and
// its leaving on to the Main window, which decides what is hovered.
LRESULT CALLBACK HoverRelay(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (msg == WM_MOUSEMOVE) {
    if (HoverControl.load() != hwnd) {
      SendMessageW(GetParent(hwnd), WM_MOUSEMOVE, 0, 0);
      TRACKMOUSEEVENT tme = {sizeof tme, TME_LEAVE, hwnd, 0};
      TrackMouseEvent(&tme);
    }
  } else if (msg == WM_MOUSELEAVE) {
    SendMessageW(GetParent(hwnd), WM_MOUSELEAVE, 0, 0);
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

void FillFallback(Graphics& g, int width, int height) {
  SolidBrush fallback(Color(255, 10, 18, 38));
  g.FillRectangle(&fallback, 0, 0, width, height);
}

}  // namespace

BackBuffer* GetBackBuffer(HWND control, HDC reference, int width, int height) {
  BackBuffer& b = g_backBuffers[control];
  if (b.dc && b.bitmap && b.width == width && b.height == height) return &b;
  ReleaseBuffer(b);
  if (width <= 0 || height <= 0 || !reference) return nullptr;
  b.dc = CreateCompatibleDC(reference);
  if (!b.dc) return nullptr;
  b.bitmap = CreateCompatibleBitmap(reference, width, height);
  if (!b.bitmap) {
    ReleaseBuffer(b);
    return nullptr;
  }
  b.previous = SelectObject(b.dc, b.bitmap);
  b.width = width;
  b.height = height;
  return &b;
}

void ReleaseBackBuffers() {
  for (auto& [hwnd, b] : g_backBuffers) ReleaseBuffer(b);
  g_backBuffers.clear();
}

int BackBufferCount() { return static_cast<int>(g_backBuffers.size()); }

void DrawParentBackground(Graphics& g, HWND control, HWND parent, int width, int height) {
  if (HighContrastOn()) {
    SolidBrush plain(SystemColor(COLOR_WINDOW));
    g.FillRectangle(&plain, 0, 0, width, height);
    return;
  }
  if (!parent || !IsWindow(parent)) {
    FillFallback(g, width, height);
    return;
  }
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  if (BackgroundCache.dc) {
    HDC dc = g.GetHDC();
    BitBlt(dc, 0, 0, width, height, BackgroundCache.dc, r.left, r.top, SRCCOPY);
    g.ReleaseHDC(dc);
    return;
  }
  if (BackgroundImage && BackgroundImage->GetLastStatus() == Ok) {
    float iw = static_cast<float>(BackgroundImage->GetWidth()), ih = static_cast<float>(BackgroundImage->GetHeight());
    float W = static_cast<float>(MainWindowWidth), H = static_cast<float>(MainWindowHeight);
    g.DrawImage(BackgroundImage, RectF(0, 0, float(width), float(height)), r.left / W * iw, r.top / H * ih,
                width / W * iw, height / H * ih, UnitPixel);
    return;
  }
  FillFallback(g, width, height);
}

void AddRoundRect(GraphicsPath& path, int i, int r, int width, int height) {
  int d = 2 * r;
  path.AddArc(i, i, d, d, 180, 90);
  path.AddArc(width - d - i - 1, i, d, d, 270, 90);
  path.AddArc(width - d - i - 1, height - d - i - 1, d, d, 0, 90);
  path.AddArc(i, height - d - i - 1, d, d, 90, 90);
  path.CloseFigure();
}

void FillGlass(Graphics& g, GraphicsPath& path, int width, int height, int i, int plateAlpha, int glowAlpha,
               float glowGrow, float glowBase) {
  if (HighContrastOn()) {
    SolidBrush face(SystemColor(COLOR_BTNFACE));
    g.FillPath(&face, &path);
    Pen edge(SystemColor(COLOR_BTNTEXT), 1.0f);
    g.DrawPath(&edge, &path);
    return;
  }
  if (glowAlpha > 0) {
    for (int n = 4; n >= 1; --n) {
      Pen pen(Color(static_cast<BYTE>(glowAlpha / n), 80, 150, 255), n * (glowBase + glowGrow));
      pen.SetLineJoin(LineJoinRound);
      g.DrawPath(&pen, &path);
    }
  }
  BYTE plate = static_cast<BYTE>(plateAlpha < 0 ? 0 : plateAlpha > 255 ? 255 : plateAlpha);
  LinearGradientBrush brush(Rect(i, i, width - 2 * i, height - 2 * i), Color(plate, 80, 150, 230),
                            Color(plate, 15, 30, 80), LinearGradientModeVertical);
  g.FillPath(&brush, &path);
  int borderAlpha = plateAlpha + 50;
  Pen border(Color(static_cast<BYTE>(borderAlpha > 255 ? 255 : borderAlpha), 180, 220, 255), 1.0f);
  g.DrawPath(&border, &path);
}

void DrawBackingPlates(Graphics& g) {
  const MainLayout L = ComputeMainLayout(UiScalePercent);
  g.SetSmoothingMode(SmoothingModeAntiAlias);
  // One soft dark panel under the status line and the progress bar, both
  // ends of the bar included: the background's drawing (the golden arc
  // crosses this band) fades out at the panel's edge and does not show
  // through the text or the bar. The rings stack, so the core is nearly
  // opaque and the edge fades out over the outer rings.
  const Box top = L.notice, bottom = L.progress;
  const int left = top.x < bottom.x ? top.x : bottom.x;
  const int right = top.x + top.w > bottom.x + bottom.w ? top.x + top.w : bottom.x + bottom.w;
  constexpr int kRings = 6;
  for (int step = kRings - 1; step >= 0; --step) {
    // The core reaches well past the bar's ends; its corners are tight so
    // that they cover the ends as fully as the middle.
    const int grow = Scaled(10 + 3 * step);
    const int x = left - grow, y = top.y - grow, w = right - left + 2 * grow,
              h = bottom.y + bottom.h - top.y + 2 * grow;
    const int r = Scaled(4) + step * Scaled(3);
    GraphicsPath plate;
    plate.AddArc(x, y, 2 * r, 2 * r, 180, 90);
    plate.AddArc(x + w - 2 * r, y, 2 * r, 2 * r, 270, 90);
    plate.AddArc(x + w - 2 * r, y + h - 2 * r, 2 * r, 2 * r, 0, 90);
    plate.AddArc(x, y + h - 2 * r, 2 * r, 2 * r, 90, 90);
    plate.CloseFigure();
    SolidBrush brush(Color(static_cast<BYTE>(step == 0 ? 245 : 40), 6, 12, 28));
    g.FillPath(&brush, &plate);
  }
}

void PaintMainBackground(HWND hwnd, HDC dc, const RECT& client) {
  int cw = client.right, ch = client.bottom;
  if (HighContrastOn()) {
    FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    return;
  }
  if (BackgroundCache.dc) {
    int w = cw < BackgroundCache.width ? cw : BackgroundCache.width;
    int h = ch < BackgroundCache.height ? ch : BackgroundCache.height;
    BitBlt(dc, 0, 0, w, h, BackgroundCache.dc, 0, 0, SRCCOPY);
    if (ch > BackgroundCache.height) {
      RECT below = {0, BackgroundCache.height, cw, ch};
      FillRect(dc, &below, BackgroundBrush);
    }
    return;
  }
  if (BackgroundImage && BackgroundImage->GetLastStatus() == Ok) {
    PaintViaMemoryBitmap(dc, cw, ch, [&](HDC mem) {
      {
        Graphics g(mem);
        g.SetInterpolationMode(InterpolationModeHighQualityBicubic);
        g.DrawImage(BackgroundImage, 0, 0, MainWindowWidth, MainWindowHeight);
        DrawBackingPlates(g);
      }
      if (ch > MainWindowHeight) {
        RECT below = {0, MainWindowHeight, cw, ch};
        FillRect(mem, &below, BackgroundBrush);
      }
    });
    return;
  }
  FillRect(dc, &client, BackgroundBrush);
  (void)hwnd;
}

void DrawGlassButton(HWND mainWindow, const DRAWITEMSTRUCT* di) {
  int w = di->rcItem.right - di->rcItem.left, h = di->rcItem.bottom - di->rcItem.top;
  BackBuffer* bb = GetBackBuffer(di->hwndItem, di->hDC, w, h);
  if (!bb) return;
  {
    Graphics g(bb->dc);
    Prepare(g);
    const int i = Scaled(4), r = Scaled(6);
    DrawParentBackground(g, di->hwndItem, mainWindow, w, h);
    GlassAlpha a = AlphaFor(di->hwndItem, (di->itemState & ODS_SELECTED) ? PlateState::Pressed : PlateState::Normal);
    GraphicsPath path;
    AddRoundRect(path, i, r, w, h);
    FillGlass(g, path, w, h, i, a.plate, a.glow, 2.0f * PlatePhase.load(), 1.0f);
    if (FocusMarkShown(di->hwndItem)) DrawFocusMark(g, path);
    ControlText(g, di->hwndItem, WindowTextW(di->hwndItem, 127), RectF(0, 0, float(w), float(h)),
                StringAlignmentCenter);
  }
  BitBlt(di->hDC, di->rcItem.left, di->rcItem.top, w, h, bb->dc, 0, 0, SRCCOPY);
}

void InstallControlPainters(HWND mainWindow) {
  for (int id : {kIdBrowse, kIdStartGame, kIdPatchNormal, kIdClientHd, kIdPatchHd, kIdRegister, kIdClose, kIdMinimize,
                 kIdClientNormal, kIdAddonA, kIdAddonB, kIdVerify})
    if (HWND b = GetDlgItem(mainWindow, id)) SetWindowSubclass(b, HoverRelay, 2, 0);
  if (HWND box = GetDlgItem(mainWindow, kIdPathBox)) SetWindowSubclass(box, PaintSubclass<PaintPathBox>, 1, 0);
  if (HWND bar = GetDlgItem(mainWindow, kIdProgress)) SetWindowSubclass(bar, PaintSubclass<PaintProgress>, 1, 0);
  if (HWND combo = GetDlgItem(mainWindow, kIdServerList)) {
    SetWindowSubclass(combo, ServerListSubclass, 1, 0);
    COMBOBOXINFO info = {};
    info.cbSize = sizeof info;
    if (GetComboBoxInfo(combo, &info) && info.hwndList) {
      g_serverDropDown = info.hwndList;
      SetWindowSubclass(info.hwndList, DropDownSubclass, 1, reinterpret_cast<DWORD_PTR>(mainWindow));
    }
  }
}

bool IsServerDropDown(HWND window) { return window && window == g_serverDropDown; }

bool HighContrastOn() {
  if (g_highContrast < 0) {
    HIGHCONTRASTW hc = {};
    hc.cbSize = sizeof hc;
    g_highContrast = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0) && (hc.dwFlags & HCF_HIGHCONTRASTON);
#if defined(REALMPORTER_TEST_HOOKS)
    // Wine reports high contrast off whatever its settings: the test build
    // takes it from the environment.
    if (std::getenv("REALMPORTER_TEST_HIGH_CONTRAST")) g_highContrast = 1;
#endif
  }
  return g_highContrast > 0;
}

void ForgetHighContrast() { g_highContrast = -1; }
