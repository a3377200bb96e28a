#pragma once
// Geometry and arithmetic of the launcher's windows, kept apart from Win32
// so that it is tested natively: the display scale, every control's
// rectangle, the drag strip, the glass alphas and the progress bar's width.
#include <cstdint>

// MulDiv(n, scale, 100) with MulDiv's rounding (half away from zero).
int ScaleLength(int n, int scalePercent);
// The display scale from the system DPI: 100 * dpi / 96, kept within 96..480.
int ScaleFromDpi(int dpi);

struct Box {
  int x, y, w, h;
};

// Rectangles of the Main window's controls at a scale, in client coordinates.
struct MainLayout {
  int clientW, clientH;
  Box pathLabel, pathBox, browse;
  Box serverLabel, serverList, serverDescription;
  Box registerBtn, startGame, addonA, addonB;
  Box clientNormal, clientHd, patchNormal, patchHd;
  Box minimize, close;
  Box notice, progress;
  Box verify;            // below the progress bar, under the HD patch button
  int serverItemHeight;  // selection field and list items
};
MainLayout ComputeMainLayout(int scalePercent);

// True where a click in the client area drags the window: the top strip,
// except over the minimise and close buttons.
bool IsDragStrip(int x, int y, int clientWidth, int scalePercent);

// One warning at most every five minutes: true when a time-out warning is
// due at `now` (tick counts wrap at 2^32).
bool TimeoutWarningDue(std::uint32_t lastWarningTick, std::uint32_t now);

// The step of the plates' look for a pulse phase 0..1: their alphas change
// only when it does (0 .. -30, 31 looks).
int PulseStep(float pulse);
// Glass plate alphas for a pulse phase 0..1.
struct GlassAlpha {
  int plate, glow;
};
enum class PlateState { Normal, Hover, Pressed };
GlassAlpha PlateAlpha(float pulse, PlateState state);

struct ProgressLook {
  int borderAlpha;  // base; the border stroke adds 50
  int glowAlpha;
  float glowWidth;
};
ProgressLook ProgressBarLook(float pulse);
// Width of the filled bar for a position within [low, high] on a control of
// `width` pixels with inset i and radius r; 0 when no bar is drawn.
int ProgressBarWidth(int width, int inset, int radius, int position, int low, int high);
