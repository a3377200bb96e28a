#include "ui/keys.h"

#include <commctrl.h>

#include <iterator>
#include <vector>

#include "ui/ids.h"
#include "ui/layout.h"

namespace {

// Reading order, with the realm first, where a player starts: then the path
// row's button, the job buttons row by row, the check below them and the
// window's own buttons.
constexpr int kTabOrder[] = {kIdServerList, kIdBrowse,       kIdRegister, kIdStartGame,   kIdAddonA,
                             kIdAddonB,     kIdClientNormal, kIdClientHd, kIdPatchNormal, kIdPatchHd,
                             kIdVerify,     kIdMinimize,     kIdClose};

// Focus marks hidden until a key moves the focus, as for every window that
// was last used with the mouse; the system's "always underline" setting
// shows them from the start.
bool g_cuesHidden = true;
// The control that last had the focus: a box takes the focus away from the
// window (its owner is disabled) before the window hears it is inactive.
HWND g_lastFocus = nullptr;

bool CuesAlways() {
  BOOL always = FALSE;
  return SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &always, 0) && always;
}

bool CanTakeFocus(HWND w) { return w && IsWindowVisible(w) && IsWindowEnabled(w); }

void MoveFocus(HWND main, HWND from, bool backwards) {
  std::vector<bool> available;
  int current = -1;
  for (size_t k = 0; k < std::size(kTabOrder); ++k) {
    HWND c = GetDlgItem(main, kTabOrder[k]);
    available.push_back(CanTakeFocus(c));
    if (c && c == from) current = static_cast<int>(k);
  }
  const int next = NextTabStop(available, current, backwards);
  if (next >= 0) SetFocus(GetDlgItem(main, kTabOrder[next]));
}

bool IsButton(HWND main, HWND w) {
  wchar_t cls[16] = {};
  return w && GetParent(w) == main && GetClassNameW(w, cls, 16) && lstrcmpiW(cls, L"Button") == 0;
}

void Press(HWND main, HWND button) {
  if (!button || !IsWindowEnabled(button)) return;
  SendMessageW(main, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

void ShowCues(HWND main) {
  if (g_cuesHidden) SendMessageW(main, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

LRESULT CALLBACK NoteFocus(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (msg == WM_SETFOCUS) g_lastFocus = hwnd;
  return DefSubclassProc(hwnd, msg, wp, lp);
}

}  // namespace

void InstallKeyboardFocus(HWND main) {
  for (int id : kTabOrder)
    if (HWND c = GetDlgItem(main, id)) SetWindowSubclass(c, NoteFocus, 4, 0);
}

bool HandleMainWindowKey(HWND main, const MSG& msg) {
  if (!main || (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN)) return false;
  if (msg.hwnd != main && !IsChild(main, msg.hwnd)) return false;
  // With Alt held the keys are the system's (Alt+F4, Alt+Tab). Without it a
  // key arrives as WM_SYSKEYDOWN when no window has the focus.
  if (msg.message == WM_SYSKEYDOWN && (msg.lParam & (1 << 29))) return false;
  HWND focus = GetFocus();
  HWND control = focus && IsChild(main, focus) ? focus : nullptr;
  HWND combo = GetDlgItem(main, kIdServerList);
  const bool repeat = (msg.lParam & (1 << 30)) != 0;
  switch (msg.wParam) {
    case VK_TAB:
      if (GetKeyState(VK_CONTROL) < 0) return false;
      ShowCues(main);
      MoveFocus(main, control, GetKeyState(VK_SHIFT) < 0);
      return true;
    case VK_LEFT:
    case VK_RIGHT:
    case VK_UP:
    case VK_DOWN:
      ShowCues(main);
      if (control && control == combo) return false;  // the list changes the realm itself
      MoveFocus(main, control, msg.wParam == VK_LEFT || msg.wParam == VK_UP);
      return true;
    case VK_RETURN:
      // The open list takes Enter to choose its item.
      if (combo && control == combo && SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) return false;
      if (repeat) return true;  // a held key presses once
      ShowCues(main);
      Press(main, IsButton(main, control) ? control : GetDlgItem(main, kIdStartGame));
      return true;
    case VK_SPACE: ShowCues(main); return false;  // a focused button presses itself, as on a click
    default: return false;
  }
}

LRESULT OnUiState(HWND main, UINT msg, WPARAM wp, LPARAM lp) {
  if (HIWORD(wp) & UISF_HIDEFOCUS) {
    const bool was = g_cuesHidden;
    if (LOWORD(wp) == UIS_SET) g_cuesHidden = !CuesAlways();
    if (LOWORD(wp) == UIS_CLEAR) g_cuesHidden = false;
    HWND focus = GetFocus();
    if (was != g_cuesHidden && focus && IsChild(main, focus)) InvalidateRect(focus, nullptr, FALSE);
  }
  // On to the children, as the default handling does.
  return DefWindowProcW(main, msg, wp, lp);
}

bool OnActivate(HWND main, WPARAM wp) {
  HWND back = g_lastFocus;
  if (LOWORD(wp) == WA_INACTIVE || !back || !IsChild(main, back) || !CanTakeFocus(back) || IsIconic(main)) return false;
  SetFocus(back);
  return true;
}

bool FocusMarkShown(HWND control) { return control && GetFocus() == control && (!g_cuesHidden || CuesAlways()); }
