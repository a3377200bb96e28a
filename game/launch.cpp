#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

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

void StartGame(const std::wstring& gamePath) {
  std::wstring folder = GameFolderOf(gamePath);
  if (folder.size() >= MAX_PATH) folder.clear();
  ShellExecuteW(nullptr, L"open", gamePath.c_str(), nullptr, folder.empty() ? nullptr : folder.c_str(), SW_SHOW);
}
