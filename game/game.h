#pragma once
// The game client's folder on disk: choosing Wow.exe, the realm file, the
// housekeeping after installs, and starting the game.
#include <windows.h>

#include <string>

// Open-file dialog for Wow.exe; on OK the choice becomes the game path, is
// shown in the path box and saved. Not validated here.
void BrowseGamePath(HWND owner);

// Rewrites Data\zhCN\realmlist.wtf for the realm selected in the Main
// window's server list. Silent; writes nothing for an invalid game path, no
// selection, a missing Data\zhCN or an unsafe field.
void WriteRealmConfig(HWND mainWindow, const std::wstring& gamePath);
// Deletes the client's Cache folder without any dialog.
void RemoveClientCache(const std::wstring& gamePath);
// Deletes patch archives that belong to no current patch set.
void RemoveStalePatches(const std::wstring& gamePath);

bool IsProcessRunning(const char* exeName);
bool IsGameRunning();
// Opens the game path with the shell, its own folder as working directory.
void StartGame(const std::wstring& gamePath);
// The "开始游戏" button.
void OnStartGameCommand(HWND mainWindow);
