#pragma once
// How the tray's texts are drawn: the menu's items and the notice on the
// first hiding in the bundled font, as the launcher's boxes are, so that
// they read right on a system without Chinese fonts.
#include <windows.h>

#include <string>

// A text item of the tray menu, drawn by the Main window (WM_MEASUREITEM and
// WM_DRAWITEM of ODT_MENU) in the system's menu colours.
void AppendMenuText(HMENU menu, UINT flags, UINT id, const std::wstring& text);
LRESULT MeasureMenuItem(MEASUREITEMSTRUCT* mi);
LRESULT DrawMenuItem(const DRAWITEMSTRUCT* di);

// The launcher's own balloon at the tray icon: a title and a text, gone
// after 10 seconds, on its ×, or when the window is shown again. False when
// it cannot be shown.
bool ShowTrayNotice(HWND mainWindow, const std::wstring& title, const std::wstring& text);
void HideTrayNotice();

// The icon's tip is the launcher's own, in the bundled font: shown while the
// pointer moves over the icon (the shell reports each move), gone once it
// has left. The shell's tip is switched off where the shell lets it
// (Windows, NOTIFYICON_VERSION_4 without NIF_SHOWTIP; its text stays the
// icon's name for screen readers). Wine's tray shows any tip text in its own
// font, which may have no Chinese glyphs: there the shell gets none.
std::wstring TipForShell(const std::wstring& tip);
void ShowTrayTip(HWND mainWindow, const std::wstring& text);
void HideTrayTip();
