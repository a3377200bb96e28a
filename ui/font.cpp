#include "ui/font.h"

#include "res/resource_ids.h"
#include "ui/gdiplus_keep.h"
#include "ui/ui_state.h"

HANDLE RegisterEmbeddedFont() {
  HMODULE self = GetModuleHandleW(nullptr);
  HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(IDR_UI_FONT), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!res) return nullptr;
  HGLOBAL data = LoadResource(self, res);
  DWORD size = SizeofResource(self, res);
  void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes || size == 0) return nullptr;
  DWORD fonts = 0;
  return AddFontMemResourceEx(bytes, size, nullptr, &fonts);
}

void UnregisterEmbeddedFont(HANDLE registration) {
  if (registration) RemoveFontMemResourceEx(registration);
}

HFONT CreateUiFont(int pixelHeight, bool* owned) {
  HFONT font = CreateFontW(-pixelHeight, 0, 0, 0, 800, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, kUiFontFace);
  if (!font) {
    font = CreateFontA(-pixelHeight, 0, 0, 0, 800, FALSE, FALSE, FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, "Noto Sans SC");
  }
  if (font) {
    *owned = true;
    return font;
  }
  *owned = false;
  return static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
}

namespace {

using namespace Gdiplus;

Font* g_controlText = nullptr;
HFONT g_controlTextSource = nullptr;
FontFamily* g_yahei = nullptr;  // null where Microsoft YaHei is missing
bool g_yaheiTried = false;
Font* g_arrow = nullptr;
PrivateFontCollection* g_embeddedCollection = nullptr;
FontFamily* g_embeddedFamily = nullptr;
Font* g_splash = nullptr;
bool g_splashTried = false;

template <class T>
void Delete(T*& object) {
  delete object;
  object = nullptr;
}

// Whether GDI+ makes a font of exactly this face from the logical font.
bool GdiplusUsesFace(HDC dc, const LOGFONTW& lf) {
  GpFont* probe = nullptr;
  if (DllExports::GdipCreateFontFromLogfontW(dc, &lf, &probe) != Ok || !probe) return false;
  bool same = false;
  GpFontFamily* family = nullptr;
  if (DllExports::GdipGetFamily(probe, &family) == Ok && family) {
    WCHAR name[LF_FACESIZE] = {};
    same = DllExports::GdipGetFamilyName(family, name, LANG_NEUTRAL) == Ok && lstrcmpiW(name, lf.lfFaceName) == 0;
    DllExports::GdipDeleteFontFamily(family);
  }
  DllExports::GdipDeleteFont(probe);
  return same;
}

bool GdiplusHasFamily(const WCHAR* name) {
  GpFontFamily* probe = nullptr;
  if (DllExports::GdipCreateFontFamilyFromName(name, nullptr, &probe) != Ok || !probe) return false;
  DllExports::GdipDeleteFontFamily(probe);
  return true;
}

// The embedded font as a GDI+ family of its own collection (GDI+ does not
// see fonts registered with GDI).
FontFamily* EmbeddedFamily() {
  HMODULE self = GetModuleHandleW(nullptr);
  HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(IDR_UI_FONT), MAKEINTRESOURCEW(10));
  void* data = res ? LockResource(LoadResource(self, res)) : nullptr;
  if (!data) return nullptr;
  g_embeddedCollection = KeepIfOk(new PrivateFontCollection());
  if (!g_embeddedCollection) return nullptr;
  auto* found = new FontFamily();
  INT count = 0;
  if (g_embeddedCollection->AddMemoryFont(data, static_cast<INT>(SizeofResource(self, res))) != Ok ||
      g_embeddedCollection->GetFamilies(1, found, &count) != Ok || count < 1 || !found->IsAvailable())
    return nullptr;  // `found` is dropped, not deleted: a failed call may have left anything in it
  return found;
}

// Microsoft YaHei ships with Chinese Windows, not with Wine.
FontFamily* YaHei() {
  if (!g_yaheiTried) {
    g_yaheiTried = true;
    if (GdiplusHasFamily(L"Microsoft YaHei")) g_yahei = KeepIfOk(new FontFamily(L"Microsoft YaHei"));
  }
  return g_yahei;
}

}  // namespace

void PrepareGdiplusFonts(HFONT controlFont) {
  LOGFONTW lf;
  if (controlFont && GetObjectW(controlFont, sizeof lf, &lf)) {
    HDC screen = GetDC(nullptr);
    if (GdiplusUsesFace(screen, lf)) {
      g_controlText = KeepIfOk(new Font(screen, &lf));
      if (g_controlText) g_controlTextSource = controlFont;
    }
    ReleaseDC(nullptr, screen);
  }
  if (FontFamily* yahei = YaHei()) g_arrow = KeepIfOk(new Font(yahei, float(Scaled(10)), FontStyleRegular, UnitPixel));
}

const Font* SplashFont() {
  if (!g_splashTried) {
    g_splashTried = true;
    FontFamily* family = YaHei();
    if (!family) family = g_embeddedFamily = EmbeddedFamily();
    if (family) g_splash = KeepIfOk(new Font(family, float(Scaled(12)), FontStyleBold, UnitPoint));
  }
  return g_splash;
}

void ReleaseGdiplusFonts() {
  Delete(g_controlText);
  g_controlTextSource = nullptr;
  Delete(g_arrow);
  Delete(g_splash);
  Delete(g_yahei);
  Delete(g_embeddedFamily);
  Delete(g_embeddedCollection);
  g_yaheiTried = g_splashTried = false;
}

const Font* ControlTextFont() { return g_controlText; }
HFONT ControlTextFontSource() { return g_controlTextSource; }
const Font* ArrowFont() { return g_arrow; }
