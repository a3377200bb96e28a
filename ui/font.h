#pragma once
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>

// The UI font: Noto Sans CJK SC Bold carried in the executable (resource
// IDR_UI_FONT) and registered privately for this process under the face
// name "Noto Sans SC".
inline constexpr wchar_t kUiFontFace[] = L"Noto Sans SC";

// Registers the embedded font data; returns the registration handle (null
// when the resource is missing or the system refuses it).
HANDLE RegisterEmbeddedFont();
void UnregisterEmbeddedFont(HANDLE registration);

// CreateFontW with the UI face at the given pixel height and weight 800,
// then CreateFontA with GB2312_CHARSET, then the stock SYSTEM_FONT. The
// result is never null; `owned` says whether the caller must delete it.
HFONT CreateUiFont(int pixelHeight, bool* owned);

// GDI+ fonts, decided once on the UI thread and kept until
// ReleaseGdiplusFonts(), which runs before GdiplusShutdown. No font is made
// while painting.
// Each is first tried through the flat interface into a local pointer, and
// a wrapper whose creation failed is never deleted (ui/gdiplus_keep.h).
//
// PrepareGdiplusFonts: after the embedded font is registered and the
// controls' font made. ControlTextFont() is null when GDI+ cannot use the
// control font's face (the privately registered embedded face, as a rule):
// texts then go through GDI with the same font.
void PrepareGdiplusFonts(HFONT controlFont);
void ReleaseGdiplusFonts();
const Gdiplus::Font* ControlTextFont();
HFONT ControlTextFontSource();
// The server list's arrow in "Microsoft YaHei"; null when that family is
// missing (the arrow is then not drawn).
const Gdiplus::Font* ArrowFont();
// The splash text: Microsoft YaHei, or the embedded font through a private
// collection where YaHei is missing. Made on first use.
const Gdiplus::Font* SplashFont();
