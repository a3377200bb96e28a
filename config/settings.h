#pragma once
// Settings that outlive the process, under HKCU\Software\RealmPorter:
// WowPath (the chosen Wow.exe) and ClientPath (the save folder of the last
// completed client download), both wide REG_SZ; SpeedLimit (the player's
// cap on downloads, KiB a second, REG_DWORD; missing or 0: none).
#include <cstdint>
#include <string>

inline constexpr wchar_t kSettingsKey[] = L"Software\\RealmPorter";
inline constexpr size_t kGamePathUnits = 260;

// The game path: full path of the chosen Wow.exe, empty when none. Read and
// written on the UI thread only; workers get copies.
extern wchar_t GamePath[kGamePathUnits];

// Loads WowPath into GamePath when it names something that exists. A value
// that only reads through the narrow calls is rewritten in wide form.
void LoadGamePath();
// Writes GamePath to WowPath; nothing when it is empty. Failures are silent.
void SaveGamePath();
// Sets GamePath (a path that does not fit is refused) and saves it.
bool SetGamePath(const std::wstring& path);
// The ClientPath folder without trailing separators, or empty.
std::wstring ReadClientPath();
void SaveClientPath(const std::wstring& folder);
// The saved download cap in KiB a second, 0 when there is none or the value
// is not a REG_DWORD.
std::uint32_t ReadSpeedLimit();
void SaveSpeedLimit(std::uint32_t kibPerSecond);
// A wide REG_SZ value of the settings key by name (the remembered created_at
// of a product's manifest, ManifestCreatedAt-<product>); empty when it is
// missing or of another type.
std::wstring ReadSettingText(const std::wstring& name);
bool SaveSettingText(const std::wstring& name, const std::wstring& value);

// The launcher's own update state, small ASCII texts (wide REG_SZ):
// LauncherTrial, LauncherRefused, LauncherRolledBack, LauncherBadExe and
// LauncherRolloutNumber (install/self_update.h says what each holds). Empty
// when missing; saving an empty text deletes the value.
std::string ReadLauncherSetting(const wchar_t* name);
void SaveLauncherSetting(const wchar_t* name, const std::string& value);
