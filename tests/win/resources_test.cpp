// The executable's own resources: the UI font registered from memory is
// found by its face name, the icon is there in the sizes the shell uses, and
// the version resource holds the version the program was built as.
#include "manifest/launcher_feed.h"
#include "res/resource_ids.h"
#include "ui/font.h"
#include "version.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

std::wstring FaceOf(HFONT font) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  wchar_t face[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, face);
  SelectObject(dc, old);
  DeleteDC(dc);
  return face;
}

TEST(EmbeddedFont, RegistersAndIsFoundByFaceNameAtWeight800) {
  // Before the private registration the request falls back to another face,
  // so what follows really proves the registration.
  bool owned = false;
  HFONT before = CreateUiFont(15, &owned);  // another size: GDI caches realised fonts
  EXPECT_NE(FaceOf(before), L"Noto Sans SC");
  if (owned) DeleteObject(before);

  HANDLE reg = RegisterEmbeddedFont();
  ASSERT_NE(reg, nullptr);
  HFONT font = CreateUiFont(16, &owned);
  ASSERT_TRUE(owned);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  wchar_t face[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, face);
  EXPECT_STREQ(face, L"Noto Sans SC");

  TEXTMETRICW tm = {};
  ASSERT_TRUE(GetTextMetricsW(dc, &tm));
  EXPECT_GE(tm.tmWeight, 700);

  // The characters of the window's own texts have glyphs in the subset.
  const wchar_t text[] = L"星桥登录器开始游戏下载高清补丁，。！";
  WORD glyphs[32] = {};
  int n = static_cast<int>(wcslen(text));
  ASSERT_EQ(GetGlyphIndicesW(dc, text, n, glyphs, GGI_MARK_NONEXISTING_GLYPHS), static_cast<DWORD>(n));
  for (int i = 0; i < n; ++i) EXPECT_NE(glyphs[i], 0xFFFF) << "no glyph for character " << i;

  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(font);
  UnregisterEmbeddedFont(reg);
}

TEST(AppIcon, Resource101HasSmallAndLargeSizes) {
  HMODULE self = GetModuleHandleW(nullptr);
  for (int size : {16, 32, 48, 256}) {
    HICON icon = static_cast<HICON>(LoadImageW(self, MAKEINTRESOURCEW(IDI_APP_ICON), IMAGE_ICON, size, size, 0));
    ASSERT_NE(icon, nullptr) << size;
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bm = {};
    GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, size);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
}

TEST(AppManifest, AsksForCommonControls6AndDpiAwareness) {
  HMODULE self = GetModuleHandleW(nullptr);
  HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(res, nullptr);
  const char* data = static_cast<const char*>(LockResource(LoadResource(self, res)));
  std::string xml(data, SizeofResource(self, res));
  EXPECT_NE(xml.find("name=\"QzRealmPorter.app\" version=\"1.2.0.0\""), std::string::npos);
  EXPECT_NE(xml.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(xml.find("6595b64144ccf1df"), std::string::npos);
  EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(xml.find(">PerMonitorV2, PerMonitor<"), std::string::npos);
  EXPECT_NE(xml.find(">true</dpiAware>"), std::string::npos);
}

TEST(VersionResource, HoldsTheBuiltVersion) {
  HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));  // RT_VERSION
  ASSERT_NE(res, nullptr);
  const char* data = static_cast<const char*>(LockResource(LoadResource(nullptr, res)));
  ASSERT_NE(data, nullptr);
  LauncherVersion found, built;
  ASSERT_TRUE(FindExeFileVersion(std::string_view(data, SizeofResource(nullptr, res)), &found));
  ASSERT_TRUE(ParseLauncherVersion(kLauncherVersion, &built));
  EXPECT_EQ(CompareLauncherVersions(found, built), 0) << FormatLauncherVersion(found) << " vs " << kLauncherVersion;
}
