#include "config/settings.h"

#include <windows.h>

#include <vector>

#include "config/paths.h"
#include "net/text.h"

wchar_t GamePath[kGamePathUnits];

namespace {

// The value as a wide REG_SZ; empty when it is missing, of another type,
// empty or starts with NUL.
std::wstring ReadWideString(HKEY key, const wchar_t* name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
  if (size == 0 || type != REG_SZ) return {};
  std::vector<wchar_t> buf(size / 2 + 2, L'\0');
  DWORD got = size;
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &got) != ERROR_SUCCESS)
    return {};
  return std::wstring(buf.data());
}

// The value through the narrow call (whatever its type), converted from the
// system code page. Old launchers stored paths this way.
std::wstring ReadNarrowString(HKEY key, const char* name) {
  char buf[260] = {};
  DWORD size = sizeof buf - 1;  // keep a NUL after whatever is read
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS) return {};
  if (buf[0] == '\0') return {};
  return WideFromAnsi(buf);
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool CopyToGamePath(const std::wstring& path) {
  // A path of 260 characters or more does not fit the buffer: it counts as absent.
  if (path.size() >= kGamePathUnits) return false;
  wcscpy(GamePath, path.c_str());
  return true;
}

}  // namespace

void LoadGamePath() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  std::wstring wide = ReadWideString(key, L"WowPath");
  if (!wide.empty()) {
    NormalizeExtendedPath(wide);
    if (PathExists(wide)) CopyToGamePath(wide);
  }
  if (GamePath[0] == L'\0') {
    std::wstring narrow = ReadNarrowString(key, "WowPath");
    if (!narrow.empty()) {
      NormalizeExtendedPath(narrow);
      if (PathExists(narrow) && CopyToGamePath(narrow)) {
        RegCloseKey(key);
        SaveGamePath();
        return;
      }
    }
  }
  RegCloseKey(key);
}

void SaveGamePath() {
  if (GamePath[0] == L'\0') return;
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  DWORD bytes = static_cast<DWORD>((wcslen(GamePath) + 1) * sizeof(wchar_t));
  RegSetValueExW(key, L"WowPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(GamePath), bytes);
  RegCloseKey(key);
}

bool SetGamePath(const std::wstring& path) {
  if (path.empty() || !CopyToGamePath(path)) return false;
  SaveGamePath();
  return true;
}

std::wstring ReadClientPath() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::wstring result = ReadWideString(key, L"ClientPath");
  if (result.empty()) result = ReadNarrowString(key, "ClientPath");
  RegCloseKey(key);
  TrimTrailingSeparators(result);
  return result;
}

void SaveClientPath(const std::wstring& folder) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  RegSetValueExW(key, L"ClientPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                 static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

std::uint32_t ReadSpeedLimit() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD type = 0, value = 0, size = sizeof value;
  if (RegQueryValueExW(key, L"SpeedLimit", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value)
    value = 0;
  RegCloseKey(key);
  return value;
}

void SaveSpeedLimit(std::uint32_t kibPerSecond) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  const DWORD value = kibPerSecond;
  RegSetValueExW(key, L"SpeedLimit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

std::wstring ReadSettingText(const std::wstring& name) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::wstring result = ReadWideString(key, name.c_str());
  RegCloseKey(key);
  return result;
}

bool SaveSettingText(const std::wstring& name, const std::wstring& value) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const LONG rc = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

std::string ReadLauncherSetting(const wchar_t* name) {
  std::string out;
  for (wchar_t c : ReadSettingText(name)) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

void SaveLauncherSetting(const wchar_t* name, const std::string& value) {
  if (!value.empty()) {
    SaveSettingText(name, std::wstring(value.begin(), value.end()));
    return;
  }
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key, name);
  RegCloseKey(key);
}
