#pragma once
#include <windows.h>

#include <string>

// The launcher's only top-level window: class, controls, window procedure.
bool RegisterMainWindowClass(HINSTANCE instance);
// Creates the window and its children, fills them from the game path and
// the server list, and publishes MainWindow. Null on failure.
HWND CreateMainWindow(HINSTANCE instance);

// Label texts: a GBK text or a UTF-8 one, both shown through the wide call.
// Both do nothing for null handles or an unchanged text, and repaint the
// label's area of the parent (labels have no background of their own).
void SetStatusText(HWND parent, HWND control, const char* text);
void SetStatusTextUtf8(HWND parent, HWND control, const char* text);
void SetTaskbarProgress(HWND window, int percent);
void SetTaskbarProgressNone(HWND window);

// The progress bar reset to 0 within 0..100 and shown, for a job that starts.
void ShowJobProgress(HWND mainWindow);

// "星桥登录器": the title, by which a second start also finds the window.
std::wstring MainWindowTitle();
// The notice's standing text.
const char* StandingNotice();  // GBK

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
