// The client folder on Wine's real files, shell and processes: realm file,
// cache and stale-patch housekeeping, running-game detection, game start.
#include "game/game.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "config/serverlist.h"
#include "config/settings.h"
#include "support.h"
#include "ui/commands.h"
#include "ui/ids.h"

using testing_support::Exists;
using testing_support::MakeDirs;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

namespace {

// A hidden top-level window with the server list combo box, as the Main
// window has it, so that the start command reads a real selection.
class FakeMain {
 public:
  FakeMain() {
    window_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    combo_ = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 10, 100, window_,
                             reinterpret_cast<HMENU>(kIdServerList), nullptr, nullptr);
    for (int i = 0; i < ServerCount(); ++i) SendMessageW(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"x"));
  }
  ~FakeMain() { DestroyWindow(window_); }
  void Select(int i) { SendMessageW(combo_, CB_SETCURSEL, static_cast<WPARAM>(i), 0); }
  HWND hwnd() const { return window_; }

 private:
  HWND window_, combo_;
};

class ClientFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirs(dir_ / L"Data\\zhCN");
    WriteFileBytes(exe_, "MZ");
    ParseServerList("one|w|192.0.2.10:3724|192.0.2.10:3724|d\ntwo|w|r2:1||\nbad|w|x\" y|p:1|\n");
  }
  ScratchDir dir_{L"client"};
  std::wstring exe_ = dir_ / L"Wow.exe";
  std::wstring realmFile_ = dir_ / L"Data\\zhCN\\realmlist.wtf";
};

TEST_F(ClientFolder, RealmFileHoldsExactlyTheTwoLinesWithCrLf) {
  WriteFileBytes(realmFile_, "old content that is longer than the new one ......................\n");
  WriteRealmConfig(ServerAt(0), exe_);
  EXPECT_EQ(ReadFileBytes(realmFile_), "set realmlist \"192.0.2.10:3724\"\r\nset patchlist \"192.0.2.10:3724\"\r\n");
  WriteRealmConfig(ServerAt(1), exe_);
  EXPECT_EQ(ReadFileBytes(realmFile_), "set realmlist \"r2:1\"\r\nset patchlist \"\"\r\n");
}

TEST_F(ClientFolder, RealmFileUntouchedWithoutSelectionOrWithUnsafeField) {
  WriteFileBytes(realmFile_, "keep");
  WriteRealmConfig(nullptr, exe_);
  EXPECT_EQ(ReadFileBytes(realmFile_), "keep");
  WriteRealmConfig(ServerAt(2), exe_);  // realm holds a double quote
  EXPECT_EQ(ReadFileBytes(realmFile_), "keep");
}

TEST_F(ClientFolder, NothingIsCreatedWithoutDataZhCN) {
  ScratchDir bare(L"bare");
  std::wstring exe = bare / L"Wow.exe";
  WriteFileBytes(exe, "MZ");
  WriteRealmConfig(ServerAt(0), exe);
  EXPECT_FALSE(Exists(bare / L"Data"));
}

TEST_F(ClientFolder, InvalidGamePathWritesNothing) {
  std::wstring other = dir_ / L"notepad.exe";
  WriteRealmConfig(ServerAt(0), other);
  EXPECT_FALSE(Exists(realmFile_));
}

TEST_F(ClientFolder, StalePatchesGoAndProtectedOnesStay) {
  const wchar_t* files[] = {L"Data\\patch-4.MPQ",
                            L"Data\\patch-5.MPQ",
                            L"Data\\patch-Z.MPQ",
                            L"Data\\patch-z.MPQ",
                            L"Data\\patch.MPQ",
                            L"Data\\zhCN\\patch-zhCN-6.MPQ",
                            L"Data\\zhCN\\patch-zhCN-5.MPQ",
                            L"Data\\zhCN\\patch-zhCN-7.MPQ",
                            L"Data\\zhCN\\patch-zhCN-a.MPQ",
                            L"Data\\zhCN\\patch-zhCN.MPQ"};
  for (const wchar_t* f : files) {
    WriteFileBytes(dir_ / f, "MPQ");
    SetFileAttributesW((dir_ / f).c_str(), FILE_ATTRIBUTE_READONLY);
  }
  RemoveStalePatches(exe_);
  EXPECT_TRUE(Exists(dir_ / L"Data\\patch-4.MPQ"));
  EXPECT_TRUE(Exists(dir_ / L"Data\\patch.MPQ"));
  EXPECT_TRUE(Exists(dir_ / L"Data\\zhCN\\patch-zhCN-5.MPQ"));
  EXPECT_TRUE(Exists(dir_ / L"Data\\zhCN\\patch-zhCN-6.MPQ"));
  EXPECT_TRUE(Exists(dir_ / L"Data\\zhCN\\patch-zhCN.MPQ"));
  EXPECT_FALSE(Exists(dir_ / L"Data\\patch-5.MPQ"));
  EXPECT_FALSE(Exists(dir_ / L"Data\\patch-Z.MPQ"));
  EXPECT_FALSE(Exists(dir_ / L"Data\\patch-z.MPQ"));
  EXPECT_FALSE(Exists(dir_ / L"Data\\zhCN\\patch-zhCN-7.MPQ"));
  EXPECT_FALSE(Exists(dir_ / L"Data\\zhCN\\patch-zhCN-a.MPQ"));
  for (const wchar_t* f : files) SetFileAttributesW((dir_ / f).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ClientFolder, CacheIsRemovedWithReadOnlyFilesAndNoDialog) {
  MakeDirs(dir_ / L"Cache\\WDB\\zhCN");
  WriteFileBytes(dir_ / L"Cache\\WDB\\zhCN\\creaturecache.wdb", "x");
  WriteFileBytes(dir_ / L"Cache\\top.txt", "y");
  SetFileAttributesW((dir_ / L"Cache\\WDB\\zhCN\\creaturecache.wdb").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesW((dir_ / L"Cache\\top.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  RemoveClientCache(exe_);
  EXPECT_FALSE(Exists(dir_ / L"Cache"));
  EXPECT_TRUE(Exists(dir_ / L"Data\\zhCN"));
  RemoveClientCache(exe_);  // a missing Cache is fine
}

TEST(GameProcess, ARunningWowExeInAnyCaseIsSeen) {
  ScratchDir dir(L"running");
  std::wstring exe = dir / L"WOW.EXE";
  ASSERT_TRUE(CopyFileW(testing_support::HelperExe(L"rp_helper_game.exe").c_str(), exe.c_str(), FALSE));
  EXPECT_FALSE(IsGameRunning());
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  std::wstring cmd = L"\"" + exe + L"\" 20000";
  ASSERT_TRUE(
      CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.path().c_str(), &si, &pi));
  ASSERT_TRUE(testing_support::WaitForFile(dir / L"started.txt", 10000));
  EXPECT_TRUE(IsGameRunning());
  EXPECT_TRUE(IsProcessRunning("wow.exe"));
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 5000);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  EXPECT_FALSE(IsGameRunning());
}

TEST(GameProcess, AGameEndingWithoutAWindowIsWaitedFor) {
  ScratchDir dir(L"ending");
  std::wstring exe = dir / L"Wow.exe";
  ASSERT_TRUE(CopyFileW(testing_support::HelperExe(L"rp_helper_game.exe").c_str(), exe.c_str(), FALSE));
  EXPECT_FALSE(GameStillRunning(0));
  for (const wchar_t* stay : {L"1500", L"60000"}) {
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\" " + stay;
    DeleteFileW((dir / L"started.txt").c_str());
    ASSERT_TRUE(
        CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.path().c_str(), &si, &pi));
    ASSERT_TRUE(testing_support::WaitForFile(dir / L"started.txt", 10000));
    // The stand-in has no window, as a game that was just closed: the first
    // ends within the wait, the second does not.
    const bool longStay = std::wstring(stay) == L"60000";
    EXPECT_EQ(GameStillRunning(longStay ? 300 : 30000), longStay) << stay;
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
}

TEST_F(ClientFolder, StartGameRunsTheExecutableInItsOwnFolder) {
  ASSERT_TRUE(CopyFileW(testing_support::HelperExe(L"rp_helper_game.exe").c_str(), exe_.c_str(), FALSE));
  StartGame(exe_);
  ASSERT_TRUE(testing_support::WaitForFile(dir_ / L"started.txt", 10000));
  Sleep(200);
  std::string cwd = ReadFileBytes(dir_ / L"started.txt");
  cwd = cwd.substr(0, cwd.find('\n'));
  char expected[MAX_PATH * 3] = {};
  WideCharToMultiByte(CP_UTF8, 0, dir_.path().c_str(), -1, expected, sizeof expected, nullptr, nullptr);
  EXPECT_EQ(_stricmp(cwd.c_str(), expected), 0) << cwd << " vs " << expected;
}

TEST_F(ClientFolder, StartCommandWritesTheRealmFileThenStarts) {
  ASSERT_TRUE(CopyFileW(testing_support::HelperExe(L"rp_helper_game.exe").c_str(), exe_.c_str(), FALSE));
  wcscpy(GamePath, exe_.c_str());
  FakeMain main;
  main.Select(0);
  OnStartGameCommand(main.hwnd());
  EXPECT_EQ(ReadFileBytes(realmFile_), "set realmlist \"192.0.2.10:3724\"\r\nset patchlist \"192.0.2.10:3724\"\r\n");
  EXPECT_TRUE(testing_support::WaitForFile(dir_ / L"started.txt", 10000));
  GamePath[0] = L'\0';
}

}  // namespace
