#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <vector>

#include "config/settings.h"
#include "game/game.h"
#include "game/gamedir.h"
#include "net/ascii.h"
#include "net/text.h"

bool IsProcessRunning(const char* exeName) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL ok = Process32First(snap, &entry); ok; ok = Process32Next(snap, &entry)) {
    if (EqualsIgnoreAsciiCase(std::string_view(entry.szExeFile), std::string_view(exeName))) {
      found = true;
      break;
    }
  }
  CloseHandle(snap);
  return found;
}

// Any process named Wow.exe counts, wherever it was started from.
bool IsGameRunning() { return IsProcessRunning("Wow.exe") || IsProcessRunning("wow.exe"); }

namespace {

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM param) {
  auto* pids = reinterpret_cast<std::vector<DWORD>*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (!IsWindowVisible(window)) return TRUE;
  for (DWORD& p : *pids)
    if (p == pid) {
      pids->clear();  // found: no need to look further
      return FALSE;
    }
  return TRUE;
}

}  // namespace

bool GameStillRunning(DWORD waitMs) {
  std::vector<DWORD> pids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32First(snap, &entry); ok; ok = Process32Next(snap, &entry))
    if (EqualsIgnoreAsciiCase(std::string_view(entry.szExeFile), std::string_view("Wow.exe")))
      pids.push_back(entry.th32ProcessID);
  CloseHandle(snap);
  if (pids.empty()) return false;
  std::vector<DWORD> look = pids;
  EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&look));
  if (look.empty()) return true;  // a window of the game is up
  std::vector<HANDLE> handles;
  for (DWORD pid : pids)
    if (HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid)) handles.push_back(h);
  // A process that could not be opened has ended or is not ours to wait for.
  bool running = false;
  const ULONGLONG until = GetTickCount64() + waitMs;
  for (HANDLE h : handles) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < until ? static_cast<DWORD>(until - now) : 0;
    if (WaitForSingleObject(h, left) != WAIT_OBJECT_0) running = true;
    CloseHandle(h);
  }
  return running;
}

void StartGame(const std::wstring& gamePath) {
  std::wstring folder = GameFolderOf(gamePath);
  if (folder.size() >= MAX_PATH) folder.clear();
  ShellExecuteW(nullptr, L"open", gamePath.c_str(), nullptr, folder.empty() ? nullptr : folder.c_str(), SW_SHOW);
}
