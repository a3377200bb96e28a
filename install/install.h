#pragma once
// The workers of the patch update of either client edition and of the addon
// installer, and the steps they share with the window's checks.
#include <windows.h>

#include <atomic>
#include <string>

#include "manifest/client_manifest.h"

// The file exists with the entry's size and SHA-256 (any case).
bool IsFileCurrent(const std::wstring& path, const ManifestFile& entry);
// The entry's URL on the manifest's first mirror; false without mirrors.
bool FileUrlFromManifest(const ClientManifest& manifest, const ManifestFile& entry, std::string* url);
// The first entry whose path is exactly `path`; null when none.
const ManifestFile* FindManifestFile(const ClientManifest& manifest, const std::string& path);
inline constexpr char kPatch5Path[] = "Data/zhCN/patch-zhCN-5.MPQ";
inline constexpr char kPatch6Path[] = "Data/zhCN/patch-zhCN-6.MPQ";

// What the patch worker gets from the window. Each archive stays in place
// until its new version is downloaded and verified beside it.
struct PatchJob {
  HWND window = nullptr;
  std::wstring archive5, archive6;
  std::wstring gamePath;
  std::string manifestName;   // "wow335-hd" or "wow335-normal"
  std::string percentFormat;  // GBK, one %d
  std::string sizeFormat;     // GBK, one %.1f
  std::string label;          // GBK, the readout's label (DownloadRequest)
  std::string successText;    // GBK
  std::atomic<bool>* busy = nullptr;
  std::atomic<bool>* cancel = nullptr;
  UINT finishMessage = 0;  // WMU_PATCH_NORMAL_DONE or WMU_PATCH_HD_DONE
};
void PatchWorker(PatchJob job);
// The worker's last step: busy cleared, then the completion message posted.
void FinishPatchJob(const PatchJob& job, int result);

// What the addon worker gets from the window.
struct AddonJob {
  HWND window = nullptr;
  std::wstring gameFolder, gamePath;
  std::wstring cacheFile;  // where the pack is downloaded to
  std::string url;
  std::string percentFormat, sizeFormat, successText;  // GBK
  std::string label;                                   // GBK, the readout's label (DownloadRequest)
  int buttonId = 0;                                    // 1016 or 1017, carried by WMU_ADDON_DONE
};
void AddonWorker(AddonJob job);
// The worker's last step: busy cleared, then WMU_ADDON_DONE posted.
void FinishAddonJob(const AddonJob& job, int result);

// The folder below the game folder where an addon install keeps the
// `Interface` it replaced (Interface-n<seq>-<date>-<time>, the newest three)
// and an update the player's files it found at a new file's place
// (replaced-n<seq>-<date>-<time>, never pruned).
inline constexpr wchar_t kAddonBackupFolder[] = L"RealmPorter-backup";

// <local app data>\RealmPorter\plugin_cache\<name>, creating the folders;
// empty when the special folder cannot be found.
std::wstring AddonCachePath(const std::wstring& fileName);

// Unpacks the archive into the folder with the program's own reader, reading
// the archive from its file a piece at a time. Every entry name is checked
// before anything is written, and the whole archive is refused when one would
// land outside the folder. Entries are written in archive order, each
// CRC-checked; the first failure (or a cancel) stops the extraction, deletes
// that entry's file and gives false, leaving earlier entries in place. True
// only when every entry is written. `why` (may be null) gets the reason.
// The addon install unpacks into an empty staging folder, never over the
// player's files.
bool ExtractZip(const std::wstring& archive, const std::wstring& destination, const std::atomic<bool>* cancel,
                std::string* why = nullptr);
