#pragma once
// Geometry and arithmetic of the launcher's windows, kept apart from Win32
// so that it is tested natively: the display scale, every control's
// rectangle, the drag strip, the glass alphas and the progress bar's width.
#include <cstdint>
#include <vector>

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

// The server row for a selected realm whose name needs `nameWidth` pixels
// of text: the box grows to show the name whole, the description beside it
// moves right and gives up the room but keeps at least 160 px (scaled);
// nothing else moves. `fits` is false when even that is not enough (the box
// then shows the name's tooltip).
struct ServerRow {
  Box list, description;
  bool fits;
};
ServerRow FitServerRow(const MainLayout& layout, int nameWidth, int scalePercent);
// Width of the open realm list: at least the box's, and wide enough for the
// widest name beside the list's margins and scroll bar.
int DropDownWidth(int boxWidth, int widestName, int scrollBarWidth, int scalePercent);

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

// Keyboard focus through a window's controls in their tab order: the index
// after `current` (-1: no control has the focus) among those `available`,
// wrapping round; the one before it when `backwards`. -1 when none is.
int NextTabStop(const std::vector<bool>& available, int current, bool backwards);
