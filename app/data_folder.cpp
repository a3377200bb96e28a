#include "app/data_folder.h"

#include <windows.h>
#include <shlobj.h>

std::wstring LauncherDataFolderPath() {
  wchar_t appData[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, appData, CSIDL_LOCAL_APPDATA, FALSE)) return {};
  return std::wstring(appData) + L"\\RealmPorter";
}

std::wstring LauncherDataFolder() {
  std::wstring dir = LauncherDataFolderPath();
  if (!dir.empty()) CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}
