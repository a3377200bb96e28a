#pragma once
// The game client's folder on disk: choosing Wow.exe, the realm file, the
// housekeeping after installs, and starting the game.
#include <windows.h>

#include <string>

#include "config/serverlist.h"

// Open-file dialog for Wow.exe, owned by `owner`; true with the chosen path
// on OK. Not validated here.
bool AskForGameExe(HWND owner, std::wstring* path);

// Rewrites Data\zhCN\realmlist.wtf for `realm`. Silent; writes nothing for
// an invalid game path, no realm, a missing Data\zhCN or an unsafe field.
void WriteRealmConfig(const ServerEntry* realm, const std::wstring& gamePath);
// Deletes a folder or file with the shell, silently; true when it is gone.
bool DeleteWithShell(const std::wstring& path);
// Deletes the client's Cache folder without any dialog.
void RemoveClientCache(const std::wstring& gamePath);
// Deletes patch archives that belong to no current patch set.
void RemoveStalePatches(const std::wstring& gamePath);

bool IsProcessRunning(const char* exeName);
bool IsGameRunning();
// Whether the game still holds the client for a job. A game the player has
// closed lingers a moment without a window while it ends: that one is waited
// for, up to `waitMs`. A game with a window of its own still runs: no wait.
bool GameStillRunning(DWORD waitMs);
// How long a job's start waits for a closed game to end.
inline constexpr DWORD kGameExitWaitMs = 5000;
// Opens the game path with the shell, its own folder as working directory.
void StartGame(const std::wstring& gamePath);
