#pragma once
#include <windows.h>

#include <string>

// The window's shared services, which its callers used to find here.
#include "ui/window_services.h"

// The launcher's only top-level window: class, controls, window procedure.
bool RegisterMainWindowClass(HINSTANCE instance);
// Creates the window and its children, fills them from the game path and
// the server list, and publishes MainWindow. Null on failure.
HWND CreateMainWindow(HINSTANCE instance);

// "星桥登录器": the title, by which a second start also finds the window.
std::wstring MainWindowTitle();

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
