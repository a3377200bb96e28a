#pragma once
#include <windows.h>

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
