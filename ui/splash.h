#pragma once
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>

#include <string>

// The small window shown while the loader thread fetches the background
// image and the server list.
bool RegisterSplashClass(HINSTANCE instance);
HWND CreateSplashWindow(HINSTANCE instance);

// The loader thread's body: background image into the cache folder (or an
// earlier cached or shipped one) into BackgroundImagePath, then the server
// list from its sources.
void LoaderThread();
// Downloads the background into `cacheFolder` as wow_bg.<type>; returns the
// stored path or empty. Exposed for the tests.
std::wstring DownloadBackground(const std::string& url, const std::wstring& cacheFolder);
// The first of wow_bg.jpg, .png, .webp in the folder, or empty.
std::wstring FindCachedBackground(const std::wstring& folder);

// GDI+ first, then the Windows Imaging Component (which knows WebP where
// the system has the codec). Null when neither can decode the file.
Gdiplus::Image* LoadBackgroundImage(const std::wstring& path);
void BuildBackgroundCache(HWND window);
void ReleaseBackgroundCache();
