#include "ui/box.h"

#include <cstring>
#include <vector>

#include "net/text.h"
#include "ui/font.h"
#include "ui/ui_state.h"

namespace {

struct BoxButton {
  int id;
  std::u8string_view label;
};

struct BoxState {
  std::wstring text, title;
  UINT flags = 0;
  std::vector<BoxButton> buttons;
  int defaultId = IDOK;
  int escapeId = 0;  // 0: Esc does nothing
  HFONT font = nullptr;
  HBRUSH back = nullptr;
};

constexpr COLORREF kBack = RGB(24, 34, 58);
constexpr COLORREF kText = RGB(240, 244, 255);
constexpr int kTextId = 0xFFFF;  // the message's static, as in the system box

std::vector<BoxButton> ButtonsOf(UINT flags) {
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL: return {{IDOK, u8"确定"}, {IDCANCEL, u8"取消"}};
    case MB_YESNO: return {{IDYES, u8"是(&Y)"}, {IDNO, u8"否(&N)"}};
    case MB_YESNOCANCEL: return {{IDYES, u8"是(&Y)"}, {IDNO, u8"否(&N)"}, {IDCANCEL, u8"取消"}};
    case MB_RETRYCANCEL: return {{IDRETRY, u8"重试(&R)"}, {IDCANCEL, u8"取消"}};
    default: return {{IDOK, u8"确定"}};
  }
}

LPCWSTR IconOf(UINT flags) {
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: return MAKEINTRESOURCEW(32513);        // IDI_ERROR
    case MB_ICONWARNING: return MAKEINTRESOURCEW(32515);      // IDI_WARNING
    case MB_ICONQUESTION: return MAKEINTRESOURCEW(32514);     // IDI_QUESTION
    case MB_ICONINFORMATION: return MAKEINTRESOURCEW(32516);  // IDI_INFORMATION
    default: return nullptr;
  }
}

UINT SoundOf(UINT flags) {
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: return MB_ICONHAND;
    case MB_ICONWARNING: return MB_ICONEXCLAMATION;
    case MB_ICONQUESTION: return MB_ICONQUESTION;
    case MB_ICONINFORMATION: return MB_ICONASTERISK;
    default: return MB_OK;
  }
}

HWND Make(HWND dialog, const wchar_t* cls, const std::wstring& text, DWORD style, int id, int x, int y, int w, int h,
          HFONT font) {
  HWND c = CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h, dialog,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (c) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return c;
}

// Lays the box out in pixels: icon and text, then the buttons right-aligned
// below; the box centred on its owner (or the screen).
void Build(HWND dialog, BoxState& s) {
  SetWindowTextW(dialog, s.title.c_str());
  const int margin = Scaled(18), gap = Scaled(10), iconSize = GetSystemMetrics(SM_CXICON);
  const int buttonW = Scaled(88), buttonH = Scaled(30);
  LPCWSTR icon = IconOf(s.flags);
  HDC dc = GetDC(dialog);
  HGDIOBJ old = SelectObject(dc, s.font);
  RECT measure = {0, 0, Scaled(420), 0};
  DrawTextW(dc, s.text.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(dialog, dc);
  const int textX = margin + (icon ? iconSize + gap + Scaled(4) : 0);
  const int textW = measure.right + Scaled(4);
  const int textH = measure.bottom > iconSize || !icon ? measure.bottom : iconSize;
  const int buttonsW = static_cast<int>(s.buttons.size()) * (buttonW + gap) - gap;
  int clientW = textX + textW + margin;
  if (clientW < buttonsW + 2 * margin) clientW = buttonsW + 2 * margin;
  if (clientW < Scaled(260)) clientW = Scaled(260);
  const int clientH = margin + textH + margin + buttonH + margin;

  if (icon) {
    HWND pic = Make(dialog, L"STATIC", L"", SS_ICON, 0xFFFE, margin, margin, iconSize, iconSize, s.font);
    if (pic) SendMessageW(pic, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, icon)), 0);
  }
  const int textY = margin + (textH - measure.bottom) / 2;
  Make(dialog, L"STATIC", s.text, SS_NOPREFIX | SS_EDITCONTROL, kTextId, textX, textY, textW, measure.bottom, s.font);
  int x = clientW - margin - buttonsW;
  const int y = clientH - margin - buttonH;
  HWND focus = nullptr;
  for (const BoxButton& b : s.buttons) {
    const bool isDefault = b.id == s.defaultId;
    HWND button = Make(dialog, L"BUTTON", UiText(b.label), WS_TABSTOP | (isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON),
                       b.id, x, y, buttonW, buttonH, s.font);
    if (isDefault) focus = button;
    x += buttonW + gap;
  }
  SendMessageW(dialog, DM_SETDEFID, s.defaultId, 0);

  RECT frame = {0, 0, clientW, clientH};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_EXSTYLE)));
  const int w = frame.right - frame.left, h = frame.bottom - frame.top;
  RECT around;
  HWND owner = GetWindow(dialog, GW_OWNER);
  if (!owner || !IsWindowVisible(owner) || IsIconic(owner) || !GetWindowRect(owner, &around))
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &around, 0);
  SetWindowPos(dialog, nullptr, around.left + (around.right - around.left - w) / 2,
               around.top + (around.bottom - around.top - h) / 2, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  if (!s.escapeId) EnableMenuItem(GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
  if (focus) SetFocus(focus);
}

// Ctrl+C copies the box as the system's box does: title, text and buttons
// between dashed lines. The hook sees the box's keys in its modal loop.
BoxState* g_copying = nullptr;
HHOOK g_copyHook = nullptr;

void CopyBox(HWND dialog, const BoxState& s) {
  const std::wstring line = L"---------------------------\r\n";
  std::wstring text = line + s.title + L"\r\n" + line + s.text + L"\r\n" + line;
  for (const BoxButton& b : s.buttons) {
    std::wstring label = UiText(b.label);
    const size_t cut = label.find(L'(');
    text += label.substr(0, cut) + L"   ";
  }
  text += L"\r\n" + line;
  if (!OpenClipboard(dialog)) return;
  EmptyClipboard();
  if (HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t))) {
    if (void* p = GlobalLock(block)) {
      std::memcpy(p, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
      GlobalUnlock(block);
      if (!SetClipboardData(CF_UNICODETEXT, block)) GlobalFree(block);
    } else {
      GlobalFree(block);
    }
  }
  CloseClipboard();
}

LRESULT CALLBACK CopyHook(int code, WPARAM wp, LPARAM lp) {
  const MSG* m = reinterpret_cast<const MSG*>(lp);
  if (code == MSGF_DIALOGBOX && g_copying && m->message == WM_KEYDOWN && m->wParam == 'C' &&
      (GetKeyState(VK_CONTROL) & 0x8000)) {
    CopyBox(GetAncestor(m->hwnd, GA_ROOT), *g_copying);
    return 1;
  }
  return CallNextHookEx(g_copyHook, code, wp, lp);
}

INT_PTR CALLBACK BoxProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  auto* s = reinterpret_cast<BoxState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dialog, DWLP_USER, lp);
      Build(dialog, *reinterpret_cast<BoxState*>(lp));
      if (reinterpret_cast<BoxState*>(lp)->flags & (MB_SETFOREGROUND | MB_TOPMOST)) SetForegroundWindow(dialog);
      MessageBeep(SoundOf(reinterpret_cast<BoxState*>(lp)->flags));
      return FALSE;  // the focus is set
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      if (!s) break;
      SetTextColor(reinterpret_cast<HDC>(wp), kText);
      SetBkColor(reinterpret_cast<HDC>(wp), kBack);
      return reinterpret_cast<INT_PTR>(s->back);
    case WM_COMMAND: {
      if (!s || HIWORD(wp) != BN_CLICKED) break;
      int id = LOWORD(wp);
      // Esc and × arrive as IDCANCEL whatever the buttons are.
      if (id == IDCANCEL && s->escapeId != IDCANCEL) {
        if (!s->escapeId) return TRUE;
        id = s->escapeId;
      }
      for (const BoxButton& b : s->buttons)
        if (b.id == id) EndDialog(dialog, id);
      return TRUE;
    }
    default: break;
  }
  return FALSE;
}

// An empty dialog template: the box lays its controls out itself.
struct alignas(4) EmptyTemplate {
  DLGTEMPLATE head;
  WORD menu = 0, cls = 0, title = 0;
};

}  // namespace

int LauncherBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT flags) {
  BoxState s;
  s.text = text;
  s.title = title;
  s.flags = flags;
  s.buttons = ButtonsOf(flags);
  const size_t pick = (flags & MB_DEFMASK) == MB_DEFBUTTON3 ? 2 : (flags & MB_DEFMASK) == MB_DEFBUTTON2 ? 1 : 0;
  s.defaultId = s.buttons[pick < s.buttons.size() ? pick : 0].id;
  for (const BoxButton& b : s.buttons)
    if (b.id == IDCANCEL) s.escapeId = IDCANCEL;
  if (!s.escapeId && s.buttons.size() == 1) s.escapeId = IDOK;
  // Esc answers a question as 否 does: the careful answer, never the one that acts.
  for (const BoxButton& b : s.buttons)
    if (!s.escapeId && b.id == IDNO) s.escapeId = IDNO;
  bool owned = false;
  s.font = CreateUiFont(Scaled(15), &owned);
  s.back = CreateSolidBrush(kBack);
  EmptyTemplate t = {};
  t.head.style = DS_MODALFRAME | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION | WS_SYSMENU;
  t.head.dwExtendedStyle = (flags & MB_TOPMOST) ? WS_EX_TOPMOST : 0;
  // Boxes nest (a box's owner can show another): the hook is the outer one's.
  BoxState* outer = g_copying;
  HHOOK outerHook = g_copyHook;
  g_copying = &s;
  g_copyHook = SetWindowsHookExW(WH_MSGFILTER, CopyHook, nullptr, GetCurrentThreadId());
  INT_PTR result =
      DialogBoxIndirectParamW(GetModuleHandleW(nullptr), &t.head, owner, BoxProc, reinterpret_cast<LPARAM>(&s));
  if (g_copyHook) UnhookWindowsHookEx(g_copyHook);
  g_copyHook = outerHook;
  g_copying = outer;
  DeleteObject(s.back);
  if (owned) DeleteObject(s.font);
  // Without a dialog (no memory for one) the system's box still answers.
  if (result <= 0) return MessageBoxW(owner, text.c_str(), title.c_str(), flags);
  return static_cast<int>(result);
}
