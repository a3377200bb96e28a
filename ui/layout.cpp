#include "ui/layout.h"

int ScaleLength(int n, int scalePercent) {
  long long p = static_cast<long long>(n) * scalePercent;
  long long q = p >= 0 ? (p + 50) / 100 : -((-p + 50) / 100);
  return static_cast<int>(q);
}

int ScaleFromDpi(int dpi) {
  // MulDiv(100, dpi, 96): rounded to the nearest integer.
  int s = static_cast<int>((100LL * dpi + 48) / 96);
  if (s < 96) s = 96;
  if (s > 480) s = 480;
  return s;
}

MainLayout ComputeMainLayout(int s) {
  auto S = [s](int n) { return ScaleLength(n, s); };
  MainLayout L{};
  const int W = S(840), m = S(36), cw = W - 2 * m, g = S(14), lw = S(96), bw = S(108), bh = S(40), ph = S(32), e = S(8),
            rg = S(20);
  const int t = (cw - 3 * g) / 4;
  const int x1 = m, x2 = m + t + g, x3 = m + 2 * t + 2 * g, x4 = m + 3 * t + 3 * g;
  const int px = m + lw + e, pw = cw - bw - lw - g - e, sw = (3 * t) / 4;
  const int y1 = S(46);
  const int y2 = y1 + ph + rg + S(22);
  const int y3 = y2 + bh + rg + S(16);
  const int y4 = y3 + bh + rg + S(16);
  const int y5 = y4 + bh + rg + S(16);
  const int y6 = y5 + S(36) + rg + S(20);
  L.clientW = W;
  L.clientH = S(500);
  L.pathLabel = {x1, y1 + S(6), lw, S(22)};
  L.pathBox = {px, y1, pw, ph};
  L.browse = {x1 + cw - bw, y1, bw, ph};
  L.serverLabel = {x1, y2 + S(10), lw, S(22)};
  L.serverList = {px, y2 + (bh - S(32)) / 2 - S(2), sw, S(120)};
  L.serverDescription = {px + sw + g, y2, cw + m - px - sw - g, bh};
  L.registerBtn = {x1, y3, t, bh};
  L.startGame = {x2, y3, t, bh};
  L.addonA = {x3, y3, t, bh};
  L.addonB = {x4, y3, t, bh};
  L.clientNormal = {x1, y4, t, bh};
  L.clientHd = {x2, y4, t, bh};
  L.patchNormal = {x3, y4, t, bh};
  L.patchHd = {x4, y4, t, bh};
  L.minimize = {W - 2 * S(22) - S(8) - S(4), S(4), S(22), S(22)};
  L.close = {W - S(8) - S(22), S(4), S(22), S(22)};
  L.notice = {x1, y5, cw, S(36)};
  L.progress = {x1, y6, cw, S(18)};
  L.verify = {x4, y6 + S(28), t, S(36)};
  L.serverItemHeight = S(32);
  return L;
}

ServerRow FitServerRow(const MainLayout& L, int nameWidth, int s) {
  auto S = [s](int n) { return ScaleLength(n, s); };
  // The box's own margins and arrow as its painter draws them, and a little
  // for rounding between the measurement and the drawing.
  const int needed = nameWidth + S(38);
  const int right = L.serverDescription.x + L.serverDescription.w;
  const int gap = L.serverDescription.x - (L.serverList.x + L.serverList.w);
  const int widest = right - S(160) - gap - L.serverList.x;
  ServerRow row{L.serverList, L.serverDescription, needed <= widest};
  int w = needed < L.serverList.w ? L.serverList.w : needed;
  if (w > widest) w = widest;
  row.list.w = w;
  row.description.x = L.serverList.x + w + gap;
  row.description.w = right - row.description.x;
  return row;
}

int DropDownWidth(int boxWidth, int widestName, int scrollBarWidth, int s) {
  const int needed = widestName + ScaleLength(28, s) + scrollBarWidth;
  return needed > boxWidth ? needed : boxWidth;
}

bool IsDragStrip(int x, int y, int clientWidth, int s) {
  auto S = [s](int n) { return ScaleLength(n, s); };
  if (y >= S(30)) return false;
  int left = clientWidth - S(8) - 2 * S(22) - S(4), right = clientWidth - S(8);
  int top = S(4), bottom = S(4) + S(22);
  bool overButtons = x >= left && x < right && y >= top && y < bottom;
  return !overButtons;
}

bool TimeoutWarningDue(std::uint32_t last, std::uint32_t now) {
  return last == 0 || static_cast<std::uint32_t>(now - last) > 299999u;
}

int PulseStep(float pulse) {
  return static_cast<int>(-30.0f * pulse);  // truncated towards zero: 0 .. -30
}

GlassAlpha PlateAlpha(float pulse, PlateState state) {
  int k = PulseStep(pulse);
  switch (state) {
    case PlateState::Pressed: return {150, 50};
    case PlateState::Hover: return {140 - k, 80 - k};
    case PlateState::Normal:
    default: return {40 - k, 20 - k};
  }
}

ProgressLook ProgressBarLook(float pulse) {
  return {40 - static_cast<int>(-60.0f * pulse), 20 - static_cast<int>(-80.0f * pulse), 3.0f * pulse + 2.0f};
}

int ProgressBarWidth(int width, int inset, int radius, int position, int low, int high) {
  double fraction = 0;
  if (high > low && position >= low) {
    fraction = static_cast<double>(position - low) / (high - low);
    if (fraction > 1) fraction = 1;
  }
  if (fraction <= 0.001) return 0;
  int c = width - 2 * inset;
  int b = static_cast<int>(c * fraction + 0.5);
  if (b < 1) b = 1;
  if (b > c) b = c;
  if (b < 2 * radius + 2) b = 2 * radius + 2;
  if (b > c) b = c;
  return b;
}

int NextTabStop(const std::vector<bool>& available, int current, bool backwards) {
  const int n = static_cast<int>(available.size());
  if (n == 0) return -1;
  if (current < 0 || current >= n) current = backwards ? 0 : n - 1;
  for (int step = 1; step <= n; ++step) {
    const int k = ((backwards ? current - step : current + step) % n + n) % n;
    if (available[k]) return k;
  }
  return -1;
}
