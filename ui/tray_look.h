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

// The shell's tip of the icon in the bundled font where the shell's tip
// window is the launcher's own (Wine's tray makes it in the process that
// adds the icon). Windows' shell draws its tip in the system's font, whose
// fallback has the Chinese glyphs on every Windows.
void FontForShellTip();
