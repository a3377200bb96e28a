#pragma once
// Process-wide state of the user interface, created by the start-up sequence
// and read by the windows' code on the UI thread.
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>
#include <shobjidl.h>

#include <atomic>
#include <string>

extern int UiScalePercent;
extern int MainWindowWidth, MainWindowHeight;
inline int Scaled(int n) { return MulDiv(n, UiScalePercent, 100); }

extern HFONT UiFont;
extern HBRUSH BackgroundBrush, EditBrush, ButtonBrush, ListBrush;
// The background image chosen by the loader thread; empty = none. Kept wide,
// so that a profile folder outside the ANSI code page still works.
extern std::wstring BackgroundImagePath;
extern Gdiplus::Image* BackgroundImage;
// Taskbar progress; null when the object cannot be created. (The SDK
// headers already use the name TaskbarList for the coclass.)
extern ITaskbarList3* Taskbar;
extern std::atomic<HWND> HoverControl;
extern std::atomic<float> PulsePhase;
// The phase the plates are painted with: the pulse's phase when their step
// (PulseStep) last changed, so that they are repainted only then.
extern std::atomic<float> PlatePhase;

// The background image rendered once at the Main window's size.
struct BackgroundCacheData {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  int width = 0, height = 0;
};
extern BackgroundCacheData BackgroundCache;

inline constexpr wchar_t kMainClass[] = L"RealmPorter";
inline constexpr wchar_t kSplashClass[] = L"RealmPorterSplash";
inline constexpr UINT_PTR kPulseTimer = 1;
inline constexpr UINT kTrayIconId = 1;

// The outer rectangle of a popup window with a thin border for a client
// rectangle, at the program's scale.
void AdjustWindowRectForScale(RECT* rect);
