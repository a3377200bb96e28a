#pragma once
#include <windows.h>

#include <string>

enum class ClientKind { Normal, Hd };

// The two client buttons: ask for a save folder and start the download, or,
// while one runs, offer to cancel it.
void OnClientCommand(HWND mainWindow, ClientKind kind);
void ClientDownloadThread(HWND window, std::wstring saveFolder, std::string manifestName, std::wstring folderName,
                          int buttonId, std::wstring buttonLabel);
// The last completed download's folder when it still exists, else the fixed
// non-system drive with the most free space, else the system drive's root.
std::wstring SuggestSaveFolder();
int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM lp, LPARAM data);
