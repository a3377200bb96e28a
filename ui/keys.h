#pragma once
// The Main window from the keyboard: Tab and Shift+Tab through its controls
// in reading order, Enter and Space on the focused button, the arrows in the
// realm list, Enter elsewhere for 开始游戏; and the focus mark, shown only
// once the keyboard is in use, as Windows shows focus rectangles.
#include <windows.h>

// Follows which control has the focus; after the controls are made.
void InstallKeyboardFocus(HWND mainWindow);
// For the message loop, before TranslateMessage: true when the key was the
// window's and is handled.
bool HandleMainWindowKey(HWND mainWindow, const MSG& msg);
// WM_CHANGEUISTATE and WM_UPDATEUISTATE of the Main window.
LRESULT OnUiState(HWND mainWindow, UINT msg, WPARAM wp, LPARAM lp);
// WM_ACTIVATE: the control that had the focus gets it back when the window
// is active again (after a box, say). False: go on to the default handling.
bool OnActivate(HWND mainWindow, WPARAM wp);
// Whether the control shows the focus mark now.
bool FocusMarkShown(HWND control);
