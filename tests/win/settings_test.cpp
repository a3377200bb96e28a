// Settings on Wine's real registry: WowPath in its wide and narrow forms,
// prefix repair, stale and oversized values, ClientPath.
#include "config/settings.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support.h"

using testing_support::ScratchDir;

namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    GamePath[0] = L'\0';
    testing_support::MakeDirs(dir_.path() + L"\\Client");
    testing_support::WriteFileBytes(exe_, "MZ");
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    GamePath[0] = L'\0';
  }
  void SetWide(const wchar_t* name, const std::wstring& v, DWORD type = REG_SZ) {
    RegSetValueExW(key_, name, 0, type, reinterpret_cast<const BYTE*>(v.c_str()),
                   static_cast<DWORD>((v.size() + 1) * 2));
  }
  DWORD TypeOf(const wchar_t* name, std::wstring* value) {
    DWORD type = 0;
    wchar_t buf[1024] = {};
    DWORD size = sizeof buf - 2;
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS) return 0;
    *value = buf;
    return type;
  }

  HKEY key_ = nullptr;
  ScratchDir dir_{L"settings-\x661f\x6865"};  // a non-ASCII folder name
  std::wstring exe_ = dir_.path() + L"\\Client\\Wow.exe";
};

TEST_F(Settings, WideValueRoundTrips) {
  ASSERT_TRUE(SetGamePath(exe_));
  GamePath[0] = L'\0';
  LoadGamePath();
  EXPECT_EQ(std::wstring(GamePath), exe_);
  std::wstring stored;
  EXPECT_EQ(TypeOf(L"WowPath", &stored), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(stored, exe_);
}

TEST_F(Settings, NarrowValueIsMigratedToWide) {
  // An old launcher wrote the path as ANSI bytes; a binary value is not
  // REG_SZ, so only the narrow read takes it.
  char ansi[MAX_PATH * 2] = {};
  WideCharToMultiByte(CP_ACP, 0, exe_.c_str(), -1, ansi, sizeof ansi, nullptr, nullptr);
  RegSetValueExA(key_, "WowPath", 0, REG_BINARY, reinterpret_cast<const BYTE*>(ansi),
                 static_cast<DWORD>(strlen(ansi) + 1));
  LoadGamePath();
  EXPECT_EQ(std::wstring(GamePath), exe_);
  std::wstring stored;
  EXPECT_EQ(TypeOf(L"WowPath", &stored), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(stored, exe_);
}

TEST_F(Settings, ExtendedPrefixIsRepaired) {
  SetWide(L"WowPath", L"\\\\?\\" + exe_);
  LoadGamePath();
  EXPECT_EQ(std::wstring(GamePath), exe_);
}

TEST_F(Settings, UncPrefixOfAMissingShareLeavesNoPath) {
  SetWide(L"WowPath", L"\\\\?\\UNC\\nosuchserver\\share\\Client\\Wow.exe");
  LoadGamePath();
  EXPECT_EQ(GamePath[0], L'\0');
}

TEST_F(Settings, StalePathIsIgnoredButKept) {
  std::wstring gone = dir_.path() + L"\\Gone\\Wow.exe";
  SetWide(L"WowPath", gone);
  LoadGamePath();
  EXPECT_EQ(GamePath[0], L'\0');
  std::wstring stored;
  TypeOf(L"WowPath", &stored);
  EXPECT_EQ(stored, gone);
}

TEST_F(Settings, PathOf260CharactersOrMoreCountsAsAbsent) {
  std::wstring dir = dir_.path();
  while (dir.size() < 252) dir += L"\\" + std::wstring(40, L'a');
  testing_support::MakeDirs(L"\\\\?\\" + dir);
  std::wstring longPath = dir + L"\\Wow.exe";
  ASSERT_GE(longPath.size(), 260u);
  testing_support::WriteFileBytes(L"\\\\?\\" + longPath, "MZ");
  ASSERT_TRUE(testing_support::Exists(L"\\\\?\\" + longPath));
  SetWide(L"WowPath", longPath);
  LoadGamePath();
  EXPECT_EQ(GamePath[0], L'\0');
  EXPECT_FALSE(SetGamePath(longPath));
}

TEST_F(Settings, EmptyGamePathIsNotSaved) {
  SaveGamePath();
  std::wstring stored;
  EXPECT_EQ(TypeOf(L"WowPath", &stored), 0u);
}

TEST_F(Settings, ClientPathLosesTrailingSeparators) {
  SetWide(L"ClientPath", L"D:\\Games\\");
  EXPECT_EQ(ReadClientPath(), L"D:\\Games");
  SetWide(L"ClientPath", L"\\");
  EXPECT_EQ(ReadClientPath(), L"\\");
  SaveClientPath(L"E:\\\x5ba2\x6237\x7aef");
  EXPECT_EQ(ReadClientPath(), L"E:\\\x5ba2\x6237\x7aef");
  RegDeleteValueW(key_, L"ClientPath");
  EXPECT_EQ(ReadClientPath(), L"");
}

}  // namespace
