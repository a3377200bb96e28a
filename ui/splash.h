#pragma once
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>

#include <string>

// The small window shown while the start-up loader (config/startup_loader.h)
// fetches the background image and the server list. It closes as any window
// does (its close mark, Esc, Alt+F4): the window is destroyed and the start-up
// sees it gone.
bool RegisterSplashClass(HINSTANCE instance);
HWND CreateSplashWindow(HINSTANCE instance);

// GDI+ first, then the Windows Imaging Component (which knows WebP where
// the system has the codec). Null when neither can decode the file.
Gdiplus::Image* LoadBackgroundImage(const std::wstring& path);
void BuildBackgroundCache(HWND window);
void ReleaseBackgroundCache();
