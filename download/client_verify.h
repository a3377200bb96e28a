#pragma once
// Checking an installed client against its manifest: every listed file by
// size, then SHA-256, in one read pass. Files the manifest does not list
// (the player's settings, addons, screenshots) are never opened.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "download/client_check.h"
#include "manifest/client_manifest.h"
#include "manifest/progress.h"

struct CheckedFile {
  ManifestFile file;
  FileState state = FileState::Missing;
  std::uint64_t localSize = 0;
};

struct ClientCheckResult {
  std::vector<CheckedFile> files;  // in the manifest's order
  CheckCounts counts;
};

// The progress record of the client in `installDir`, a folder of the save
// folder (ProgressFileStem), read without making any folder; an empty
// record when there is none or it does not parse.
ProgressDocument ReadProgressRecord(const std::wstring& saveFolder, const std::wstring& installDir,
                                    const ClientManifest& manifest);
// Where that record is.
std::wstring ProgressRecordPath(const std::wstring& saveFolder, const std::wstring& installDir,
                                const ClientManifest& manifest);

// Checks the client in `installDir`. Posts WMU_PROGRESS and WMU_STATUS_TEXT
// to `window` (may be null) as the client download does. False when
// cancelled (within one read of 1 MiB) or when the manifest names a path
// outside the folder; `error` then gets a GBK text.
bool CheckClient(HWND window, const ClientManifest& manifest, const std::wstring& installDir,
                 const ProgressDocument& record, const std::atomic<bool>* cancel, ClientCheckResult* out,
                 std::string* error);

// The edition of the client in `gameFolder`, from the sizes of the files
// both editions' manifests list there.
Edition EditionOfFolder(const std::wstring& gameFolder, const ClientManifest& normal, const ClientManifest& hd);

// What the window hands the check's thread.
struct VerifyJob {
  HWND window = nullptr;
  std::wstring gameFolder;  // the folder of the game path's Wow.exe
  bool repair = false;      // and bring what is not fine to the manifest's version
};
// Fetches both editions' manifests, decides the folder's edition, checks the
// client and posts WMU_VERIFY_DONE with a ClientVerifyResult. Runs in the
// client download's job slot (ClientBusy, ClientCancel).
void ClientVerifyThread(VerifyJob job);
