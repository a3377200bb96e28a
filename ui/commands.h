#pragma once
// The Main window's commands: WM_COMMAND routing, the commands that belong
// to no job, and each job's button handler with its completion handler
// (patch_command.cpp, addon_command.cpp, client_command.cpp).
#include <windows.h>

#include <string>

#include "app/jobs.h"
#include "config/serverlist.h"
#include "manifest/client_manifest.h"

// WM_COMMAND of the Main window: routes each button to its handler.
LRESULT OnMainCommand(HWND hwnd, int id, int notification);

// The realm selected in the server list (the first one when the list
// control is missing); null when none.
const ServerEntry* SelectedServer(HWND hwnd);
// The game path setting becomes `path` (refused when it does not fit): shown
// in the path box and saved.
void ShowGamePath(HWND hwnd, const wchar_t* path);
void BrowseGamePath(HWND hwnd);
void OnStartGameCommand(HWND hwnd);

enum class PatchKind { Normal, Hd };
void OnPatchCommand(HWND hwnd, PatchKind kind);
void OnPatchDone(HWND hwnd, UINT msg, int result);
// The game folder holds the other edition's client, as its files against
// both editions' manifests tell (`own` is the patch's manifest): a box says
// so and the patch is refused. When the other manifest cannot be fetched or
// the folder's edition is unclear, the patch goes on (verify_command.cpp).
bool RefusedForOtherEdition(HWND hwnd, PatchKind kind, const ClientManifest& own, const std::wstring& gameFolder);

enum class AddonPack { A, B };  // A: 大脚 (button 1016), B: 魔盒 (button 1017)
void OnAddonCommand(HWND hwnd, AddonPack pack);
void OnAddonDone(HWND hwnd, int result);

enum class ClientKind { Normal, Hd };
// Asks for a save folder and starts the download, or, while one runs,
// offers to cancel it.
void OnClientCommand(HWND hwnd, ClientKind kind);
void OnClientDone(HWND hwnd, ClientDownloadResult* result);
// The last completed download's folder when it still exists, else the folder
// that holds the game's folder, else the fixed
// non-system drive with the most free space, else the system drive's root.
std::wstring SuggestSaveFolder();

// Checks the client of the game path's folder against its edition's
// manifest, or, while the check runs, offers to cancel it
// (verify_command.cpp).
void OnVerifyCommand(HWND hwnd);
void OnVerifyDone(HWND hwnd, ClientVerifyResult* result);
