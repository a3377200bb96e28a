#pragma once
// The patch update of either client edition and the addon installer.
#include <windows.h>

#include <atomic>
#include <string>

#include "manifest/client_manifest.h"

enum class PatchKind { Normal, Hd };
enum class AddonPack { A, B };  // A: 大脚 (button 1016), B: 魔盒 (button 1017)

void OnPatchCommand(HWND mainWindow, PatchKind kind);
void OnAddonCommand(HWND mainWindow, AddonPack pack);

// The file exists with the entry's size and SHA-256 (any case).
bool IsFileCurrent(const std::wstring& path, const ManifestFile& entry);
// The entry's URL on the manifest's first mirror; false without mirrors.
bool FileUrlFromManifest(const ClientManifest& manifest, const ManifestFile& entry, std::string* url);
// The first entry whose path is exactly `path`; null when none.
const ManifestFile* FindManifestFile(const ClientManifest& manifest, const std::string& path);

void PatchWorker(HWND window, std::wstring archive5, std::wstring backup5, bool hasBackup5, std::wstring archive6,
                 std::wstring backup6, std::wstring gamePath, std::string manifestName, std::string percentFormat,
                 std::string sizeFormat, std::string successText, std::atomic<bool>* busy, std::atomic<bool>* cancel,
                 UINT finishMessage);

// <local app data>\RealmPorter\plugin_cache\<name>, creating the folders;
// empty when the special folder cannot be found.
std::wstring AddonCachePath(const std::wstring& fileName);
void AddonWorker(HWND window, std::wstring gameFolder, std::wstring gamePath, std::wstring cacheFile, std::string url,
                 std::string percentFormat, std::string sizeFormat, int buttonId, std::string successText);

// Moves the game folder's Interface aside (beside itself) so that a failed
// install can put it back; `aside` gets the new name (empty when there was
// no Interface). False when it cannot be moved.
bool SetInterfaceAside(const std::wstring& gameFolder, std::wstring* aside);
// Puts the set-aside Interface back, removing whatever a failed extraction left.
bool RestoreInterface(const std::wstring& gameFolder, const std::wstring& aside);
// Deletes a folder or file with the shell, silently.
bool DeleteWithShell(const std::wstring& path);

// Unpacks the archive into the folder with the program's own reader, reading
// the archive from its file a piece at a time. Every entry name is checked
// before anything is written, and the whole archive is refused when one would
// land outside the folder. Entries are written in archive order, each
// CRC-checked; the first failure (or a cancel) stops the extraction, deletes
// that entry's file and gives false, leaving earlier entries in place. True
// only when every entry is written. `why` (may be null) gets the reason.
bool ExtractZip(const std::wstring& archive, const std::wstring& destination, const std::atomic<bool>* cancel,
                std::string* why = nullptr);
