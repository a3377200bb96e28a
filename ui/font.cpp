#include "ui/font.h"

#include "res/resource_ids.h"

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
  HFONT font = CreateFontW(-pixelHeight, 0, 0, 0, 800, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                           DEFAULT_PITCH, kUiFontFace);
  if (!font) {
    font = CreateFontA(-pixelHeight, 0, 0, 0, 800, FALSE, FALSE, FALSE, GB2312_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                       "Noto Sans SC");
  }
  if (font) {
    *owned = true;
    return font;
  }
  *owned = false;
  return static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
}
