#include "config/paths.h"
#include "game/gamedir.h"
#include "game/realmfile.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
  const wchar_t* path;
  bool valid;
};

const PathCase kGamePaths[] = {
    {L"C:\\Games\\Client\\wow.exe", true},
    {L"C:\\Games\\Client\\WOW.EXE", true},
    {L"C:\\a\\Wow.exe", true},
    {L"C:\\Wow.exe", false},                         // the folder is the drive root
    {L"C:\\\\Wow.exe", false},                       // "C:\" is 3 characters
    {L"\\\\server\\share\\Client\\Wow.exe", false},  // UNC: no drive letter
    {L"C:\\Games\\Client\\Wow.exe.lnk", false},
    {L"C:\\Games\\Client\\Launcher.exe", false},
    {L"C:\\Games\\Cli|ent\\Wow.exe", false},
    {L"C:\\Games\\Cli?ent\\Wow.exe", false},
    {L"C:\\Games\\Cli\"ent\\Wow.exe", false},
    {L"C:\\Games\\Cli\x1f"
     L"ent\\Wow.exe",
     false},
    {L"C:\\Games\\a:b\\Wow.exe", true},  // a second colon is allowed
    {L"Wow.exe", false},
    {L"", false},
    {L"C:\\Games\\\x5ba2\x6237\x7aef\\Wow.exe", true},
    {L"C:\\Games\\Client/Wow.exe", true},
    {L"C:/Wow.exe", false},
};

TEST(GameRules, IsValidGamePathTable) {
  for (const PathCase& c : kGamePaths)
    EXPECT_EQ(IsValidGamePath(c.path), c.valid) << std::string(c.path, c.path + wcslen(c.path));
}

TEST(GameRules, GameFolderOfRemovesTheLastComponent) {
  EXPECT_EQ(GameFolderOf(L"C:\\Games\\Client\\Wow.exe"), L"C:\\Games\\Client");
  EXPECT_EQ(GameFolderOf(L"C:\\Wow.exe"), L"C:\\");
  EXPECT_EQ(GameFolderOf(L"\\\\srv\\share\\Wow.exe"), L"\\\\srv\\share");
  EXPECT_EQ(GameFolderOf(L"Wow.exe"), L"");
  EXPECT_EQ(GameFolderOf(L"C:\\Games\\Client/Wow.exe"), L"C:\\Games\\Client");
  EXPECT_EQ(GameFolderOf(L"C:/Wow.exe"), L"C:/");
}

TEST(GameRules, NormalizeExtendedPathRepairsBothPrefixes) {
  struct {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {
      {L"\\\\?\\C:\\Games\\Client\\Wow.exe", L"C:\\Games\\Client\\Wow.exe"},
      {L"\\\\?\\UNC\\srv\\share\\Client\\Wow.exe", L"\\\\srv\\share\\Client\\Wow.exe"},
      {L"\\\\?\\unc\\srv\\x", L"unc\\srv\\x"},  // prefixes are case-sensitive
      {L"C:\\plain", L"C:\\plain"},
      {L"\\\\?", L"\\\\?"},
  };
  for (const auto& c : cases) {
    std::wstring s = c.in;
    NormalizeExtendedPath(s);
    EXPECT_EQ(s, c.out);
    wchar_t buf[64];
    wcscpy(buf, c.in);
    NormalizeExtendedPath(buf);
    EXPECT_EQ(std::wstring(buf), c.out);
  }
}

TEST(GameRules, TrimTrailingSeparatorsKeepsALoneRoot) {
  std::wstring a = L"D:\\Games\\";
  TrimTrailingSeparators(a);
  EXPECT_EQ(a, L"D:\\Games");
  std::wstring b = L"\\";
  TrimTrailingSeparators(b);
  EXPECT_EQ(b, L"\\");
  std::wstring c = L"D:\\x/\\//";
  TrimTrailingSeparators(c);
  EXPECT_EQ(c, L"D:\\x");
}

TEST(GameRules, RealmConfigTextIsExact) {
  std::string text;
  ASSERT_TRUE(BuildRealmConfigText("192.0.2.10:3724", "192.0.2.10:3724", &text));
  EXPECT_EQ(text, "set realmlist \"192.0.2.10:3724\"\nset patchlist \"192.0.2.10:3724\"\n");
  ASSERT_TRUE(BuildRealmConfigText("a:1", "", &text));
  EXPECT_EQ(text, "set realmlist \"a:1\"\nset patchlist \"\"\n");
}

TEST(GameRules, RealmConfigRefusesFieldsThatWouldInjectLines) {
  std::string text = "unchanged";
  for (const char* bad : {"a\"b", "a\nset x", "a\rb", "a\tb", "\x7f"}) {
    EXPECT_FALSE(BuildRealmConfigText(bad, "p:1", &text)) << bad;
    EXPECT_FALSE(BuildRealmConfigText("r:1", bad, &text)) << bad;
  }
  EXPECT_EQ(text, "unchanged");
  EXPECT_TRUE(BuildRealmConfigText("\xE6\x98\x9F:1", "p:1", &text));  // UTF-8 passes as is
}

TEST(GameRules, StalePatchTablesSpareTheCurrentArchives) {
  std::string data = kStaleDataPatchChars, locale = kStaleLocalePatchChars;
  EXPECT_EQ(data.size(), 57u);
  EXPECT_EQ(locale.size(), 55u);
  for (char keep : {'2', '3', '4'}) EXPECT_EQ(data.find(keep), std::string::npos);
  for (char keep : {'2', '3', '4', '5', '6'}) EXPECT_EQ(locale.find(keep), std::string::npos);
}

}  // namespace
