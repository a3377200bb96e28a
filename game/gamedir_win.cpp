#include <windows.h>
#include <commdlg.h>

#include "config/settings.h"
#include "game/game.h"

bool AskForGameExe(HWND owner, std::wstring* path) {
  wchar_t file[kGamePathUnits] = {};
  // Wow.exe first, so that only the game's executable is listed at first.
  static const wchar_t kFilter[] = L"Wow.exe\0Wow.exe\0\u6240\u6709\u6587\u4ef6\0*.*\0";  // 所有文件
  OPENFILENAMEW ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = kFilter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = kGamePathUnits;
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (!GetOpenFileNameW(&ofn)) return false;
  *path = file;
  return true;
}
