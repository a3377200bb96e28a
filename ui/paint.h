#pragma once
// Painting of the Main window: its background, and every interactive control
// drawn as a translucent glass plate with a pulsing glow, each through a
// back buffer of its own.
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>

struct BackBuffer {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  int width = 0, height = 0;
};

// The control's back buffer at this size (created or re-created); null
// when it cannot be made.
BackBuffer* GetBackBuffer(HWND control, HDC reference, int width, int height);
void ReleaseBackBuffers();
int BackBufferCount();

// Draws through a temporary memory bitmap of w x h and copies it to `dc` in
// one step; `draw(HDC memory)` paints it. Nothing is drawn when the bitmap
// cannot be made.
template <class Draw>
void PaintViaMemoryBitmap(HDC dc, int w, int h, Draw draw) {
  HDC mem = CreateCompatibleDC(dc);
  HBITMAP bmp = mem ? CreateCompatibleBitmap(dc, w, h) : nullptr;
  if (bmp) {
    HGDIOBJ old = SelectObject(mem, bmp);
    draw(mem);
    BitBlt(dc, 0, 0, w, h, mem, 0, 0, SRCCOPY);
    SelectObject(mem, old);
    DeleteObject(bmp);
  }
  if (mem) DeleteDC(mem);
}

void DrawParentBackground(Gdiplus::Graphics& g, HWND control, HWND parent, int width, int height);
void AddRoundRect(Gdiplus::GraphicsPath& path, int inset, int radius, int width, int height);
void FillGlass(Gdiplus::Graphics& g, Gdiplus::GraphicsPath& path, int width, int height, int inset, int plateAlpha,
               int glowAlpha, float glowGrow, float glowBase);

// The soft plates under the status line and the progress bar, drawn over
// the background image wherever it is drawn.
void DrawBackingPlates(Gdiplus::Graphics& g);
// The Main window's client area from the background cache or image.
void PaintMainBackground(HWND hwnd, HDC dc, const RECT& client);
void DrawGlassButton(HWND mainWindow, const DRAWITEMSTRUCT* di);
// Subclasses the path box, the server list, its drop-down list and the
// progress bar of the Main window.
void InstallControlPainters(HWND mainWindow);
bool IsServerDropDown(HWND window);

// High contrast on: the window drops the glass and the background image for
// the system's plain colours, so that every text keeps the contrast the
// player chose. Asked once, again after ForgetHighContrast() (on a change of
// the system's settings or colours).
bool HighContrastOn();
void ForgetHighContrast();
